// SPDX-License-Identifier: MIT
#pragma once
// What a file carries besides its bytes, read from the old file and given to
// its replacement. Returns booleans and errnos and throws nothing.

#include "replacement/inodeFlags.hpp"

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace initHashData {

// What a new file must carry from the file it replaces so that nobody gains
// or loses access, as when the old file is opened and written: owner, group,
// permission bits, every inode flag and hint a file can be given (sync,
// nodump, noatime, no-COW, compression, DAX, data journalling, the project id
// and extent sizes, ...), the access ACL and the user.*, security.*, trusted.*
// (seen by CAP_SYS_ADMIN alone) and btrfs.* attributes. File capabilities and
// the integrity attributes that describe the old content are not carried: a
// write drops or voids them.
struct FileMetadata {
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    InodeFlags inode;
    std::vector<std::pair<std::string, std::string>> attributes;
    // False where some of it cannot be read (flags or an attribute the
    // process may not read): only the old file keeps it.
    bool complete = true;
};

// Reads into `metadata` that of the old file open at `fd` (for writing will
// do), whose status `st` the caller already has. Returns 0 or the errno.
[[nodiscard]] int readMetadata(int fd, const struct stat& st, FileMetadata& metadata);

// Gives the file open at `fd` the metadata of the file it replaces, the set-user-ID and set-group-ID bits cleared as a
// write would clear them. An ACL it inherited from its directory is dropped
// when the old file had none, so that its mode means what the old one meant.
// Returns false where the metadata is incomplete or any of it cannot be
// carried, so that only the old file itself, written in place, keeps it.
[[nodiscard]] bool applyMetadata(int fd, const FileMetadata& metadata);

} // namespace initHashData

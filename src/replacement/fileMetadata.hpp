// SPDX-License-Identifier: MIT
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace initHashData {

// What a new file must carry from the file it replaces so that nobody gains
// or loses access, as when the old file is opened and written: owner, group,
// permission bits, the inode flags a write keeps (sync, nodump, noatime,
// no-COW, compression), the access ACL and the user.* and security.*
// attributes (an SELinux label among them). File capabilities and the
// integrity attributes that describe the old content are not carried: a write
// drops or voids them.
struct FileMetadata {
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    int flags = 0;
    std::vector<std::pair<std::string, std::string>> attributes;
    // False where some of it cannot be read (the flags of a file the process
    // may not open, an attribute it may not read): only the old file keeps it.
    bool complete = true;
};

// Whether the process has `capability` (CAP_FSETID, ...) in its effective set.
bool hasCapability(int capability);

// The inode flags (FS_IOC_GETFLAGS) of the file open at `fd`: 0 where the
// file system keeps none, nothing where they cannot be read.
std::optional<int> inodeFlags(int fd);

// Reads the metadata of the file at `path` (a final symbolic link is not
// followed), whose status `st` the caller already has. Throws Failure.
FileMetadata readMetadata(const std::string& path, const struct stat& st, const std::string& displayName);

// Gives the file open at `fd` the metadata of the file it replaces, the
// set-user-ID and set-group-ID bits cleared as a write would clear them. An
// ACL it inherited from its directory is dropped when the old file had none,
// so that its mode means what the old one meant. Returns false when the
// metadata is incomplete or the owner, group or inode flags cannot be
// carried, so that only the old file itself, written in place, keeps them.
// An attribute the file system does not support is skipped; any other
// failure throws Failure.
bool applyMetadata(int fd, const FileMetadata& metadata, const std::string& displayName);

// Gives a file that replaces nothing the permission bits and access ACL of
// `probe`, an empty file that open(O_CREAT) with mode 0666 made beside it, so
// that the kernel's rules decide (a default ACL, else the umask). Without a
// probe (-1), `fallbackMode`, 0666 less the umask.
void applyNewFileAccess(int fd, int probe, mode_t fallbackMode, const std::string& displayName);

} // namespace initHashData

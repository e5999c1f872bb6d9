// SPDX-License-Identifier: MIT
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace initHashData {

// What a new file must carry from the file it replaces so that nobody gains
// or loses access: owner, group, permission bits, the access ACL and the
// user.* and security.* attributes (an SELinux label among them).
struct FileMetadata {
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    std::vector<std::pair<std::string, std::string>> attributes;
};

// Reads the metadata of the file at `path` (a final symbolic link is not
// followed), whose status `st` the caller already has. Throws Failure.
FileMetadata readMetadata(const std::string& path, const struct stat& st, const std::string& displayName);

// Gives the file open at `fd` the metadata of the file it replaces. An ACL it
// inherited from its directory is dropped when the old file had none, so that
// its mode means what the old one meant. An attribute the file system does not
// support is skipped; any other failure throws Failure.
void applyMetadata(int fd, const FileMetadata& metadata, const std::string& displayName);

// Gives a file that replaces nothing its final permission bits.
void applyNewFileMode(int fd, mode_t mode, const std::string& displayName);

} // namespace initHashData

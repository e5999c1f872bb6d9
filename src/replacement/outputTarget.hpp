// SPDX-License-Identifier: MIT
#pragma once

#include "fileIo/uniqueFd.hpp"

#include <sys/stat.h>

#include <optional>
#include <string>

namespace initHashData {

// The directory entry that a plain open() of a name would write, held by an
// open directory so that later steps cannot be steered elsewhere.
struct OutputTarget {
    // Readable where the process may read it (needed to sync it); otherwise
    // only a path handle, and directorySyncErrno says why it cannot be synced.
    UniqueFd directory;
    int directorySyncErrno = 0;
    struct stat directoryStatus {};
    // The file's name in `directory`.
    std::string entry;
    // The path the user knows the file by, for messages.
    std::string displayName;
    // The entry as it was found; never a symbolic link.
    std::optional<struct stat> existing;
    // The chain ends in a descriptor's link in /proc that names no path (a
    // pipe, a socket): the entry must be opened through the link, in place.
    bool throughDescriptorLink = false;
};

// Follows `name` through symbolic links, at every step of every path, to the
// file it names. In a sticky world-writable directory a symbolic link is only
// followed when the process or the directory's owner owns it and it has no
// other hard link, and an existing regular file or FIFO is only accepted when
// the process or the directory's owner owns it. Throws Failure.
OutputTarget resolveOutputTarget(const std::string& name);

// Throws Failure when the sticky-directory rule above forbids writing `file`,
// an entry of the directory whose status is `directory`.
void checkMayWriteExisting(const struct stat& directory, const struct stat& file, const std::string& displayName);

} // namespace initHashData

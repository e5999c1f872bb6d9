// SPDX-License-Identifier: MIT
#pragma once
// The walk from a name, through its symbolic links, to the file it names: for
// the input, which is read, and the output, whose directory entry is written.

#include "fileIo/failure.hpp"
#include "fileIo/uniqueFd.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <optional>
#include <string>

namespace initHashData {

[[nodiscard]] inline bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `entry` of the open `directory` names, without following a link,
// the file whose status is `file`: the check that the name still leads to a
// file once it is opened or locked.
[[nodiscard]] inline bool namesFile(int directory, const char* entry, const struct stat& file)
{
    struct stat named {};
    return ::fstatat(directory, entry, &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(named, file);
}

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
    // The path the user knows the file by, the end of its links, and its
    // name in messages: the full path given, and where a link leads.
    ShownName displayName;
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
[[nodiscard]] OutputTarget resolveOutputTarget(const std::string& name);

// Throws Failure when the sticky-directory rule above forbids writing `file`,
// an entry of the directory whose status is `directory`.
void checkMayWriteExisting(const struct stat& directory, const struct stat& file, const ShownName& displayName);

// Opens `name` for reading, its symbolic links followed under the rule that
// the output's are (another user's file may be read). Throws Failure.
[[nodiscard]] UniqueFd openInput(const std::string& name);

// The directory part of a path as the user wrote it: "." for a bare name.
[[nodiscard]] std::string directoryOf(const std::string& path);

} // namespace initHashData

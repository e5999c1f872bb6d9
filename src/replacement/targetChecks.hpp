// SPDX-License-Identifier: MIT
#pragma once
// What the replacement and the in-place write both ask of the target.

#include "fileIo/failure.hpp"

#include <sys/stat.h>

#include <string>

namespace initHashData {

inline bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

inline Failure replacedDuringRun(const std::string& displayName)
{
    return Failure("cannot replace " + quoteName(displayName) + ": another file took its place during the run");
}

} // namespace initHashData

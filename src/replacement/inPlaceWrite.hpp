// SPDX-License-Identifier: MIT
#pragma once
// The last resort of a replacement: the finished content written into the old
// file itself, which keeps its inode and all that hangs on it.

#include "fileIo/uniqueFd.hpp"
#include "replacement/pathWalk.hpp"

#include <string>

namespace initHashData {

// An empty file in memory for the new content of `displayName`, so that
// writing it in place needs room on the target's own file system alone.
// Throws Failure.
UniqueFd contentInMemory(const std::string& displayName);

// A file in memory holding all of `content`, an open file. Throws Failure.
UniqueFd copyToMemory(int content, const std::string& displayName);

// Writes all of `content`, an open file, to `out` at its offset, by plain
// reads and writes. Returns 0 or the errno.
int copyWhole(int out, int content);

// Writes all of `content` into the existing file that `target` names, to end
// as open(O_WRONLY|O_TRUNC) and a write would; `locked` is that file, open for
// writing and locked, where it is a regular file (targetLock.hpp), else it is
// opened here. Throws Failure: unchanged where the old file keeps its content,
// size, blocks and mode (the message names any set-ID bit a write attempt
// cleared and the process may not put back), damaged where it was left
// holding part of the new content.
void writeInPlace(const OutputTarget& target, int content, UniqueFd locked);

} // namespace initHashData

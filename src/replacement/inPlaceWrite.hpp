// SPDX-License-Identifier: MIT
#pragma once
// The last resort of a replacement: the finished content written into the old
// file itself, which keeps its inode and all that hangs on it.

#include "fileIo/uniqueFd.hpp"
#include "pathWalk/pathWalk.hpp"
#include "replacement/stagedFile.hpp"

namespace initHashData {

// Writes all of `content` into the existing file that `target`
// names, to end as open(O_WRONLY|O_TRUNC) and a write would; `locked` is that
// file, open for writing and locked, where it is a regular file
// (targetLock.hpp), else it is opened here. Throws Failure where the old file
// keeps its content, size, blocks and mode (the message names any set-ID bit
// a write attempt cleared and the process may not put back), DamagedOutput
// where it was left holding part of the new content.
void writeInPlace(const OutputTarget& target, const StagedFile& content, UniqueFd locked);

} // namespace initHashData

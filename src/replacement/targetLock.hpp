// SPDX-License-Identifier: MIT
#pragma once
// Runs at once: from its final decision until its content is in place, each
// run holds an exclusive lock (flock) on the old file, so that no two writes
// mix and the last to commit wins.

#include "fileIo/uniqueFd.hpp"
#include "replacement/pathWalk.hpp"

#include <chrono>

namespace initHashData {

// How long a run waits, in all, for other processes' locks before it gives up.
inline constexpr std::chrono::seconds lockWait{10};

// Opens for writing and locks the regular file that the target's entry names
// now, and records its status as target.existing; where the entry is absent,
// or names no regular file, locks nothing. The open for writing proves the
// right to write it. Throws Failure where the file is still locked by another
// process, or held by a lease, at `deadline`.
UniqueFd lockEntry(OutputTarget& target, std::chrono::steady_clock::time_point deadline);

} // namespace initHashData

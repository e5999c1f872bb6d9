// SPDX-License-Identifier: MIT
#pragma once
// Runs at once: from its final decision until its content is in place, each
// run holds an exclusive lock (flock) on the old file, so that no two writes
// mix and the last to commit wins.

#include "fileIo/failure.hpp"
#include "fileIo/uniqueFd.hpp"
#include "pathWalk/pathWalk.hpp"

#include <chrono>
#include <string>

namespace initHashData {

// How long a run waits, in all, for other processes' locks before it gives up.
inline constexpr std::chrono::seconds lockWait{10};

// Short sleeps that a signal can end, growing from 1 to 128 ms: false, and
// no sleep, once the deadline has come.
class Backoff {
public:
    explicit Backoff(std::chrono::steady_clock::time_point deadline) noexcept : deadline_(deadline) {}
    bool pause();

private:
    std::chrono::steady_clock::time_point deadline_;
    std::chrono::milliseconds pause_{1};
};

// One try at locking what the target's entry names now.
struct TargetLock {
    enum class State {
        locked,     // `file` is the regular file the entry names, open for writing and locked
        unlockable, // the entry is absent or names no regular file: nothing to lock
        busy,       // another process holds a lock on it, or a lease being broken
        moved,      // the entry named another file by the time it was locked
        failed,     // the run cannot go on: "<failedTo> '<name>': <errnum>"
    };
    State state;
    UniqueFd file = UniqueFd();
    int errnum = 0;
    const char* failedTo = "";
};

// Looks up the target's entry, records what it names in target.existing, and
// opens for writing and locks a regular file there, without waiting. The open
// for writing proves the right to write it. A file system that keeps no locks
// is written as it would be without them.
TargetLock tryLockEntry(OutputTarget& target);

Failure lockedByAnother(const std::string& displayName);
Failure replacedDuringRun(const std::string& displayName);

} // namespace initHashData

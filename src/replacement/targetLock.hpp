// SPDX-License-Identifier: MIT
#pragma once
// Runs at once, and other processes that lock the file. Runs coordinate with
// fcntl record locks on the whole file (open file description locks, else
// POSIX ones), which readers cannot turn against them: a write lock can only
// be held by a process that opened the file for writing.
// - A run that renames its new file over the old one holds a read lock on
//   the old file from its final decision until the rename, and a write lock on
//   its new file from before it has a name until the run ends. So it waits
//   only for a writer's write lock, never for a reader, and a run that finds
//   its new file at the name waits until it has ended.
// - A run that writes the old file in place holds a write lock on it, so that
//   no other run writes it or renames over it meanwhile, and a reader holding
//   a read lock never sees the write half done. It waits for another
//   writer's write lock for a bounded time, and for readers' read locks for
//   as long as they are held.
// - A run whose input is the output itself reads it under a read lock, so
//   that it never reads another run's write in place half done; it lets go
//   before it locks the output for itself.
// flock() locks are not looked at.

#include "fileIo/failure.hpp"
#include "fileIo/uniqueFd.hpp"
#include "pathWalk/pathWalk.hpp"

#include <chrono>
#include <string>

namespace initHashData {

// How long a run waits, in all, for another writer before it gives up.
inline constexpr std::chrono::seconds lockWait{10};

// Short sleeps that a signal can end, growing from 1 to 128 ms, and the
// deadline of the waits they make up.
class Backoff {
public:
    explicit Backoff(std::chrono::steady_clock::time_point deadline) noexcept : deadline_(deadline) {}
    // Sleeps; false, and no sleep, once the deadline has come.
    [[nodiscard]] bool pause();
    // Sleeps whatever the deadline.
    void sleep();
    [[nodiscard]] bool expired() const noexcept { return std::chrono::steady_clock::now() >= deadline_; }

private:
    std::chrono::steady_clock::time_point deadline_;
    std::chrono::milliseconds pause_{1};
};

// One try at locking what the target's entry names now, for a rename
// (a read lock) or for a write in place (a write lock).
struct TargetLock {
    enum class Kind { forRename, forWriteInPlace };
    enum class State {
        locked,      // `file` is the regular file the entry names, open and locked
        unlockable,  // the entry is absent or names no regular file: nothing to lock
        writerBusy,  // another process holds a write lock on it
        readersBusy, // for a write in place: read locks alone stand in the way
        leased,      // a lease on it is being broken, which the kernel ends in lease-break-time
        moved,       // the entry named another file by the time it was locked
        statFailed,  // the run cannot go on: the entry cannot be looked up, for `errnum`
        openFailed,  // the run cannot go on: the file there cannot be opened, for `errnum`
    };
    State state;
    UniqueFd file = UniqueFd();
    int errnum = 0;
};

// Looks up the target's entry, records what it names in target.existing, and
// opens and locks a regular file there as `kind` needs, without waiting. A
// file system that keeps no locks is written as it would be without them.
[[nodiscard]] TargetLock tryLockEntry(OutputTarget& target, TargetLock::Kind kind);

// Takes a write lock on `fd`, a file of this run's own; false where another
// process holds a lock on it (where the file system keeps no locks, true).
[[nodiscard]] bool lockOwnFile(int fd) noexcept;
// Takes a write lock on `fd`; true only where it took one, which proves that
// no other process held a lock on it.
[[nodiscard]] bool lockUnheld(int fd) noexcept;

// Takes a read lock on the input open at `fd`, the output itself, waiting
// for another writer's write lock as long as for the output's; throws
// readByAnother() past that. A file system that keeps no locks is read without.
void lockInputForReading(int fd, const std::string& shownInput);
// Lets go of that lock. It must go before the run locks the output: an open
// file description lock of its own would stand in the way of its write lock,
// and a POSIX one would go anyway as the run closes a descriptor of the file.
void unlockInput(int fd) noexcept;

[[nodiscard]] Failure writtenByAnother(const ShownName& displayName);
[[nodiscard]] Failure readByAnother(const std::string& shownInput);
[[nodiscard]] Failure replacedDuringRun(const ShownName& displayName);

} // namespace initHashData

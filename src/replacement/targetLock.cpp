// SPDX-License-Identifier: MIT
#include "replacement/targetLock.hpp"

#include "fileIo/failure.hpp"
#include "replacement/targetChecks.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace initHashData {

namespace {

// Each time the entry turns out to name another file once it is locked, that
// one is locked in turn; a name swapped without end fails the run.
constexpr int lockAttempts = 100;

// Short sleeps that a signal can end, growing from 1 to 128 ms: false, and
// no sleep, once the deadline has come.
class Backoff {
public:
    explicit Backoff(std::chrono::steady_clock::time_point deadline) : deadline_(deadline) {}
    bool pause()
    {
        if (std::chrono::steady_clock::now() >= deadline_) {
            return false;
        }
        std::this_thread::sleep_for(pause_);
        pause_ = std::min(pause_ * 2, std::chrono::milliseconds{128});
        return true;
    }

private:
    std::chrono::steady_clock::time_point deadline_;
    std::chrono::milliseconds pause_{1};
};

// Waits for an exclusive lock on `fd`; false when the deadline comes first. A
// file system that keeps no locks is written as it would be without them.
bool waitForLock(int fd, Backoff& backoff)
{
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return true;
        }
        if (!backoff.pause()) {
            return false;
        }
    }
    return true;
}

Failure lockedByAnother(const OutputTarget& target)
{
    return Failure("cannot write " + quoteName(target.displayName) + ": it is locked by another process");
}

// Opens the regular file the entry names for writing; none where it is
// gone or something else took its place since, for the caller to look again.
UniqueFd openToLock(const OutputTarget& target, Backoff& backoff)
{
    for (;;) {
        UniqueFd file(::openat(target.directory.get(), target.entry.c_str(),
                               O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
        if (file || errno == ENOENT || errno == ELOOP || errno == ENXIO) {
            return file;
        }
        // A lease (an NFS delegation, a Samba oplock) is being broken: a plain
        // open would wait for it, and so does this one, as for a lock.
        if (errno != EWOULDBLOCK) {
            throw systemFailure("cannot write", target.displayName, errno);
        }
        if (!backoff.pause()) {
            throw lockedByAnother(target);
        }
    }
}

} // namespace

UniqueFd lockEntry(OutputTarget& target, std::chrono::steady_clock::time_point deadline)
{
    const int directory = target.directory.get();
    const char* const entry = target.entry.c_str();
    Backoff backoff(deadline);
    for (int attempt = 0; attempt < lockAttempts; ++attempt) {
        struct stat named {};
        if (::fstatat(directory, entry, &named, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                throw systemFailure("cannot replace", target.displayName, errno);
            }
            target.existing.reset();
            return UniqueFd();
        }
        target.existing = named;
        if (!S_ISREG(named.st_mode)) {
            return UniqueFd();
        }
        UniqueFd file = openToLock(target, backoff);
        if (!file) {
            continue;
        }
        if (!waitForLock(file.get(), backoff)) {
            throw lockedByAnother(target);
        }
        struct stat locked {};
        if (::fstat(file.get(), &locked) == 0 && S_ISREG(locked.st_mode) &&
            ::fstatat(directory, entry, &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(locked, named)) {
            target.existing = locked;
            return file;
        }
    }
    throw replacedDuringRun(target.displayName);
}

} // namespace initHashData

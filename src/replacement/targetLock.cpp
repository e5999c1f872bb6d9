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
#include <utility>

namespace initHashData {

namespace {

// Each time the entry turns out to name another file once it is locked, that
// one is locked in turn; a name swapped without end fails the run.
constexpr int lockAttempts = 100;

// Waits for an exclusive lock on `fd`, in short sleeps that a signal can
// end; false when the deadline comes first. A file system that keeps no
// locks is written as it would be without them.
bool waitForLock(int fd, std::chrono::steady_clock::time_point deadline)
{
    std::chrono::milliseconds pause{1};
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds{128});
    }
    return true;
}

} // namespace

UniqueFd lockEntry(OutputTarget& target, std::chrono::steady_clock::time_point deadline, UniqueFd opened)
{
    const int directory = target.directory.get();
    const char* const entry = target.entry.c_str();
    UniqueFd file = std::move(opened);
    for (int attempt = 0; attempt < lockAttempts; ++attempt) {
        struct stat named {};
        if (!file) {
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
            file.reset(::openat(directory, entry, lockOpenFlags));
        }
        if (!file) {
            // Gone, or something else took its place since: look again.
            if (errno == ENOENT || errno == ELOOP || errno == ENXIO) {
                continue;
            }
            throw systemFailure("cannot write", target.displayName, errno);
        }
        if (!waitForLock(file.get(), deadline)) {
            throw Failure("cannot write " + quoteName(target.displayName) + ": it is locked by another process");
        }
        struct stat locked {};
        if (::fstat(file.get(), &locked) == 0 && S_ISREG(locked.st_mode) &&
            ::fstatat(directory, entry, &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(locked, named)) {
            target.existing = locked;
            return file;
        }
        file.reset();
    }
    throw replacedDuringRun(target.displayName);
}

} // namespace initHashData

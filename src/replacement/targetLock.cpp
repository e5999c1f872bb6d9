// SPDX-License-Identifier: MIT
#include "replacement/targetLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace initHashData {

bool Backoff::pause()
{
    if (std::chrono::steady_clock::now() >= deadline_) {
        return false;
    }
    std::this_thread::sleep_for(pause_);
    pause_ = std::min(pause_ * 2, std::chrono::milliseconds{128});
    return true;
}

TargetLock tryLockEntry(OutputTarget& target)
{
    const int directory = target.directory.get();
    const char* const entry = target.entry.c_str();
    struct stat named {};
    if (::fstatat(directory, entry, &named, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            return {TargetLock::State::failed, UniqueFd(), errno, "cannot replace"};
        }
        target.existing.reset();
        return {TargetLock::State::unlockable};
    }
    target.existing = named;
    if (!S_ISREG(named.st_mode)) {
        return {TargetLock::State::unlockable};
    }
    UniqueFd file(::openat(directory, entry, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!file) {
        // Gone, or something else took its place since: look again. A lease
        // (an NFS delegation, a Samba oplock) being broken answers
        // EWOULDBLOCK: a plain open would wait for it, and so does the run.
        if (errno == ENOENT || errno == ELOOP || errno == ENXIO) {
            return {TargetLock::State::moved};
        }
        return {errno == EWOULDBLOCK ? TargetLock::State::busy : TargetLock::State::failed, UniqueFd(), errno,
                "cannot write"};
    }
    if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) {
        return {TargetLock::State::busy};
    }
    struct stat locked {};
    if (::fstat(file.get(), &locked) == 0 && S_ISREG(locked.st_mode) &&
        ::fstatat(directory, entry, &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(locked, named)) {
        target.existing = locked;
        return {TargetLock::State::locked, std::move(file)};
    }
    return {TargetLock::State::moved};
}

Failure lockedByAnother(const std::string& displayName)
{
    return Failure("cannot write " + quoteName(displayName) + ": it is locked by another process");
}

Failure replacedDuringRun(const std::string& displayName)
{
    return Failure("cannot replace " + quoteName(displayName) + ": another file took its place during the run");
}

} // namespace initHashData

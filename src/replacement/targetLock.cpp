// SPDX-License-Identifier: MIT
#include "replacement/targetLock.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <thread>

namespace initHashData {

namespace {

// Open file description locks (Linux 3.15) belong to the descriptor, not the
// process; where they are missing, POSIX record locks do the same for this
// one-threaded run, which never closes another descriptor of a locked file.
[[nodiscard]] int lockCall(int fd, int command, short type)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET; // l_start 0 and l_len 0: the whole file, however long
    const int ofd = command == F_GETLK ? F_OFD_GETLK : F_OFD_SETLK;
    int result = ::fcntl(fd, ofd, &lock);
    if (result != 0 && errno == EINVAL) {
        lock.l_pid = 0;
        result = ::fcntl(fd, command, &lock);
    }
    if (result == 0 && command == F_GETLK) {
        return lock.l_type == F_UNLCK ? 0 : 1; // 1: a lock of another stands in the way
    }
    return result;
}

// Whether the lock failed because another holds one, rather than because
// the file system keeps no locks (which the run then does without).
bool isHeldByAnother(int errnum) { return errnum == EAGAIN || errnum == EACCES; }

std::string waitedForWriter(const std::string& what)
{
    return what + ": waited " + std::to_string(lockWait.count()) +
           " seconds for another process to release its write lock on it (lslocks or fuser -v shows which)";
}

// What an open of the entry to lock it that failed with `errnum` means.
TargetLock openFailure(int errnum)
{
    // Gone, or something else took its place since: look again. A lease
    // (an NFS delegation, a Samba oplock) being broken answers
    // EWOULDBLOCK: a plain open would wait for it, and so does the run.
    if (errnum == ENOENT || errnum == ELOOP || errnum == ENXIO) {
        return {TargetLock::State::moved};
    }
    return {errnum == EWOULDBLOCK ? TargetLock::State::leased : TargetLock::State::openFailed, UniqueFd(), errnum};
}

// Locks the file open at `fd` (for writing where `writing`) as `kind` needs;
// nothing where it holds the lock, or where the file system keeps none, else
// what stands in the way.
std::optional<TargetLock::State> lockOrBusy(int fd, bool writing, TargetLock::Kind kind)
{
    if (lockCall(fd, F_SETLK, writing ? F_WRLCK : F_RDLCK) == 0 || !isHeldByAnother(errno)) {
        return std::nullopt;
    }
    // A read lock meets only write locks; a write lock, read locks too.
    if (!writing || lockCall(fd, F_GETLK, F_RDLCK) != 0) {
        return TargetLock::State::writerBusy;
    }
    if (kind == TargetLock::Kind::forWriteInPlace) {
        return TargetLock::State::readersBusy;
    }
    return std::nullopt;
}

} // namespace

bool Backoff::pause()
{
    if (expired()) {
        return false;
    }
    sleep();
    return true;
}

void Backoff::sleep()
{
    std::this_thread::sleep_for(pause_);
    pause_ = std::min(pause_ * 2, std::chrono::milliseconds{128});
}

TargetLock tryLockEntry(OutputTarget& target, TargetLock::Kind kind)
{
    const int directory = target.directory.get();
    const char* const entry = target.entry.c_str();
    struct stat named {};
    if (::fstatat(directory, entry, &named, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            return {TargetLock::State::statFailed, UniqueFd(), errno};
        }
        target.existing.reset();
        return {TargetLock::State::unlockable};
    }
    target.existing = named;
    if (!S_ISREG(named.st_mode)) {
        return {TargetLock::State::unlockable};
    }
    // Opened for writing only to write it: an open for writing alone can
    // change a file (overlayfs copies it up, XFS frees its room past the end).
    // A file the run may write but not read takes no read lock: a rename
    // write-locks it, and goes on where only readers stand in the way.
    const int flags = O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
    bool writing = kind == TargetLock::Kind::forWriteInPlace;
    UniqueFd file(::openat(directory, entry, (writing ? O_WRONLY : O_RDONLY) | flags));
    if (!file && !writing && errno == EACCES) {
        writing = true;
        file.reset(::openat(directory, entry, O_WRONLY | flags));
    }
    if (!file) {
        return openFailure(errno);
    }
    if (const std::optional<TargetLock::State> busy = lockOrBusy(file.get(), writing, kind)) {
        return {*busy};
    }
    struct stat locked {};
    if (::fstat(file.get(), &locked) == 0 && S_ISREG(locked.st_mode) && namesFile(directory, entry, locked)) {
        target.existing = locked;
        return {TargetLock::State::locked, std::move(file)};
    }
    return {TargetLock::State::moved};
}

bool lockOwnFile(int fd) noexcept { return lockCall(fd, F_SETLK, F_WRLCK) == 0 || !isHeldByAnother(errno); }

bool lockUnheld(int fd) noexcept { return lockCall(fd, F_SETLK, F_WRLCK) == 0; }

void lockInputForReading(int fd, const std::string& shownInput)
{
    Backoff writers(std::chrono::steady_clock::now() + lockWait);
    while (lockCall(fd, F_SETLK, F_RDLCK) != 0 && isHeldByAnother(errno)) {
        if (!writers.pause()) {
            throw readByAnother(shownInput);
        }
    }
}

// Unlocking the whole file splits no lock, so it cannot fail on an open descriptor.
void unlockInput(int fd) noexcept { (void)lockCall(fd, F_SETLK, F_UNLCK); }

Failure writtenByAnother(const ShownName& displayName)
{
    return Failure(waitedForWriter("cannot write " + quoteName(displayName)));
}

Failure readByAnother(const std::string& shownInput)
{
    return Failure(waitedForWriter("cannot read " + quoteName(shownInput)));
}

Failure replacedDuringRun(const ShownName& displayName)
{
    return Failure("cannot replace " + quoteName(displayName) + ": another file took its place during the run");
}

} // namespace initHashData

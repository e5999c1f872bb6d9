// SPDX-License-Identifier: MIT
// The last resort of a replacement: the finished content copied into the old
// file itself, which keeps its inode and all that hangs on it.
#include "replacement/replacementFile.hpp"

#include "fileIo/failure.hpp"
#include "fileIo/systemCall.hpp"
#include "replacement/signalCleanup.hpp"
#include "replacement/targetChecks.hpp"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace initHashData {

namespace {

// Some devices and file systems take no sendfile, and say so with one of these.
bool isSendfileRefused(int errnum)
{
    return errnum == EINVAL || errnum == ENOSYS || errnum == EOPNOTSUPP || errnum == ENOTSUP || errnum == ENOTTY;
}

Failure damaged(const std::string& displayName, const char* what, int errnum)
{
    return Failure(quoteName(displayName) + " is damaged: " + what + ": " + std::strerror(errnum), Outcome::damaged);
}

} // namespace

int ReplacementFile::copyStaged(int out, off_t from, off_t to, off_t& copied) const
{
    off_t offset = from;
    while (offset < to) {
        const ssize_t sent = retryInterrupted(
            [&] { return ::sendfile(out, staged_.fd(), &offset, static_cast<std::size_t>(to - offset)); });
        if (sent > 0) {
            copied += sent;
        } else if (sent == 0) {
            return EIO;
        } else if (isSendfileRefused(errno)) {
            return copyByHand(out, offset, to, copied);
        } else {
            return errno;
        }
    }
    return 0;
}

int ReplacementFile::copyByHand(int out, off_t offset, off_t to, off_t& copied) const
{
    std::array<char, 65536> buffer;
    while (offset < to) {
        const auto want = static_cast<std::size_t>(std::min<off_t>(to - offset, buffer.size()));
        const ssize_t got = retryInterrupted([&] { return ::pread(staged_.fd(), buffer.data(), want, offset); });
        if (got <= 0) {
            return got < 0 ? errno : EIO;
        }
        std::size_t written = 0;
        const int errnum = writeAll(out, buffer.data(), static_cast<std::size_t>(got), written);
        copied += static_cast<off_t>(written);
        if (errnum != 0) {
            return errnum;
        }
        offset += got;
    }
    return 0;
}

// Overwrites the target itself, keeping its inode and all that hangs on it.
// Space is reserved, or the file grown to its new size, before any old byte
// is overwritten, so that a full disk leaves the old content whole.
void ReplacementFile::replaceInPlace()
{
    const std::string& displayName = target_.displayName;
    // Once old bytes of a file may be overwritten, the write runs to its end
    // whatever signal comes (a FIFO may wait for a reader: it stays
    // interruptible), and even a failure that cannot be worded says "damaged".
    if (target_.existing && S_ISREG(target_.existing->st_mode)) {
        holdCleanupSignalsForGood();
    }
    setEmergencyExit(Outcome::damaged,
                     quoteName(displayName) +
                         " may be damaged: writing it in place failed, and no memory was left to say how");
    struct stat staged {};
    if (::fstat(staged_.fd(), &staged) != 0) {
        throw systemFailure("cannot write", displayName, errno);
    }
    struct stat now {};
    UniqueFd out = openTargetInPlace(now);
    const bool regular = S_ISREG(now.st_mode);
    const off_t oldSize = regular ? now.st_size : 0;
    const bool changed = overwrite(out.get(), regular, oldSize, staged.st_size);
    finishInPlace(std::move(out), changed);
}

UniqueFd ReplacementFile::openTargetInPlace(struct stat& now) const
{
    const int noFollow = target_.throughDescriptorLink ? 0 : O_NOFOLLOW;
    UniqueFd out(::openat(target_.directory.get(), target_.entry.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | noFollow));
    if (!out || ::fstat(out.get(), &now) != 0) {
        throw systemFailure("cannot write", target_.displayName, errno);
    }
    if (!target_.existing || !sameFile(now, *target_.existing)) {
        throw replacedDuringRun(target_.displayName);
    }
    return out;
}

bool ReplacementFile::reserveSpace(int out, bool regular, off_t newSize) const
{
    if (!regular || newSize == 0) {
        return true;
    }
    if (::fallocate(out, FALLOC_FL_KEEP_SIZE, 0, newSize) == 0) {
        return true;
    }
    if (errno != EOPNOTSUPP && errno != ENOSYS) {
        throw systemFailure("cannot write", target_.displayName, errno);
    }
    return false;
}

bool ReplacementFile::overwrite(int out, bool regular, off_t oldSize, off_t newSize) const
{
    const std::string& displayName = target_.displayName;
    const bool reserved = reserveSpace(out, regular, newSize);
    off_t overwritten = 0;
    // Puts the old size back when no old byte has been overwritten yet.
    const auto fail = [&](int errnum) -> Failure {
        if (overwritten == 0 && (!regular || ::ftruncate(out, oldSize) == 0)) {
            return systemFailure("cannot write", displayName, errnum);
        }
        return damaged(displayName, "writing it in place failed part-way", errnum);
    };
    if (!reserved && newSize > oldSize) {
        off_t appended = 0;
        if (::lseek(out, oldSize, SEEK_SET) < 0) {
            throw fail(errno);
        }
        if (const int errnum = copyStaged(out, oldSize, newSize, appended); errnum != 0) {
            throw fail(errnum);
        }
        if (::lseek(out, 0, SEEK_SET) < 0) {
            throw fail(errno);
        }
    }
    const off_t head = reserved ? newSize : std::min(newSize, oldSize);
    if (const int errnum = copyStaged(out, 0, head, overwritten); errnum != 0) {
        throw fail(errnum);
    }
    if (regular && newSize < oldSize) {
        if (::ftruncate(out, newSize) != 0) {
            const int errnum = errno;
            throw newSize == 0 ? systemFailure("cannot write", displayName, errnum)
                               : damaged(displayName, "writing it in place failed part-way", errnum);
        }
        overwritten = std::max(overwritten, off_t{1});
    }
    return overwritten > 0 || newSize != oldSize;
}

void ReplacementFile::finishInPlace(UniqueFd out, bool changed) const
{
    const std::string& displayName = target_.displayName;
    if (::fsync(out.get()) != 0 && errno != EINVAL) {
        const int errnum = errno;
        throw changed ? damaged(displayName, "the in-place write could not be synced", errnum)
                      : systemFailure("cannot sync", displayName, errnum);
    }
    if (::close(out.release()) != 0) {
        const int errnum = errno;
        throw changed ? damaged(displayName, "the in-place write could not be completed", errnum)
                      : systemFailure("cannot write", displayName, errnum);
    }
}

} // namespace initHashData

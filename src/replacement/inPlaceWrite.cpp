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
            [&] { return ::sendfile(out, staging_.get(), &offset, static_cast<std::size_t>(to - offset)); });
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
        const ssize_t got = retryInterrupted([&] { return ::pread(staging_.get(), buffer.data(), want, offset); });
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
    if (::fstat(staging_.get(), &staged) != 0) {
        throw systemFailure("cannot write", displayName, errno);
    }
    const off_t newSize = staged.st_size;
    const int noFollow = target_.throughDescriptorLink ? 0 : O_NOFOLLOW;
    UniqueFd out(::openat(target_.directory.get(), target_.entry.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | noFollow));
    struct stat now {};
    if (!out || ::fstat(out.get(), &now) != 0) {
        throw systemFailure("cannot write", displayName, errno);
    }
    if (!target_.existing || !sameFile(now, *target_.existing)) {
        throw replacedDuringRun(displayName);
    }
    const bool regular = S_ISREG(now.st_mode);
    const off_t oldSize = regular ? now.st_size : 0;
    bool reserved = !regular || newSize == 0;
    if (!reserved) {
        reserved = ::fallocate(out.get(), FALLOC_FL_KEEP_SIZE, 0, newSize) == 0;
        if (!reserved && errno != EOPNOTSUPP && errno != ENOSYS) {
            throw systemFailure("cannot write", displayName, errno);
        }
    }
    off_t overwritten = 0;
    // Puts the old size back when no old byte has been overwritten yet.
    const auto fail = [&](int errnum) -> Failure {
        if (overwritten == 0 && (!regular || ::ftruncate(out.get(), oldSize) == 0)) {
            return systemFailure("cannot write", displayName, errnum);
        }
        return damaged(displayName, "writing it in place failed part-way", errnum);
    };
    if (!reserved && newSize > oldSize) {
        off_t appended = 0;
        if (::lseek(out.get(), oldSize, SEEK_SET) < 0) {
            throw fail(errno);
        }
        if (const int errnum = copyStaged(out.get(), oldSize, newSize, appended); errnum != 0) {
            throw fail(errnum);
        }
        if (::lseek(out.get(), 0, SEEK_SET) < 0) {
            throw fail(errno);
        }
    }
    const off_t head = reserved ? newSize : std::min(newSize, oldSize);
    if (const int errnum = copyStaged(out.get(), 0, head, overwritten); errnum != 0) {
        throw fail(errnum);
    }
    if (regular && newSize < oldSize) {
        if (::ftruncate(out.get(), newSize) != 0) {
            const int errnum = errno;
            throw newSize == 0 ? systemFailure("cannot write", displayName, errnum)
                               : damaged(displayName, "writing it in place failed part-way", errnum);
        }
        overwritten = std::max(overwritten, off_t{1});
    }
    const bool changed = overwritten > 0 || newSize != oldSize;
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

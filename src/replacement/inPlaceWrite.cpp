// SPDX-License-Identifier: MIT
#include "replacement/inPlaceWrite.hpp"

#include "fileIo/failure.hpp"
#include "fileIo/systemCall.hpp"
#include "replacement/diskRoom.hpp"
#include "replacement/fileMetadata.hpp"
#include "replacement/signalCleanup.hpp"
#include "replacement/targetLock.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace initHashData {

namespace {

// A full disk or a quota, where a plain open would have freed the old blocks first.
bool isOutOfRoom(int errnum) { return errnum == ENOSPC || errnum == EDQUOT; }

DamagedOutput damaged(const ShownName& displayName, const char* what, int errnum)
{
    return DamagedOutput(quoteName(displayName) + " is damaged: " + what + ": " + std::strerror(errnum));
}

// Frees what a reservation took past the end of the file open at `fd`; false
// where the room stays taken until the file next shrinks.
bool releaseBeyondEnd(int fd) noexcept
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 && ::ftruncate(fd, st.st_size) == 0;
}

// For a message: the set-ID bits among `lost`, as a write attempt cleared them.
std::string clearedBits(mode_t lost)
{
    const bool user = (lost & S_ISUID) != 0;
    const bool group = (lost & S_ISGID) != 0;
    if (!user && !group) {
        return {};
    }
    return std::string("; the attempt cleared its ") + (user ? "set-user-ID" : "") + (user && group ? " and " : "") +
           (group ? "set-group-ID" : "") + (user && group ? " bits" : " bit");
}

// One write of the content into the old file. Old bytes are overwritten only
// once the new size is sure to fit: the room it grows by reserved, or the
// part beyond the old size written first. Where overwriting still runs out of
// room (the holes of a sparse file, a quota), and for a file that is copied on
// write, it ends as a plain open would: the file emptied, then written whole.
class InPlaceWrite {
public:
    InPlaceWrite(const OutputTarget& target, const StagedFile& content, UniqueFd locked);
    void run();

private:
    void checkRoom(const struct statfs& fs) const;
    [[nodiscard]] bool copiesOnWrite(const struct statfs& fs) const;
    [[nodiscard]] bool reserve();
    void grow();
    void overwrite();
    void rewriteWhole();
    void finish();
    [[noreturn]] void refuse(int errnum);
    [[noreturn]] void fail(int errnum);
    std::string restoreModeAndTime() const;

    const ShownName& name_;
    const StagedFile& content_;
    off_t newSize_ = 0;
    UniqueFd out_;
    struct stat before_ {};
    bool regular_ = false;
    off_t oldSize_ = 0;
    // Where overwriting stops: the new size, or the old where the rest was written first.
    off_t headEnd_ = 0;
    // How far the write got, which says what a failure leaves.
    enum class State {
        untouched, // as it was, but for room reserved past its end
        grown,     // the part beyond the old size written, every old byte kept
        changed,   // old bytes or the size may have changed for good
    };
    State state_ = State::untouched;
};

InPlaceWrite::InPlaceWrite(const OutputTarget& target, const StagedFile& content, UniqueFd locked)
    : name_(target.displayName), content_(content), out_(std::move(locked))
{
    newSize_ = headEnd_ = content.size();
    if (newSize_ < 0) {
        throw systemFailure("cannot write", name_, errno);
    }
    if (!out_) {
        const int noFollow = target.throughDescriptorLink ? 0 : O_NOFOLLOW;
        out_.reset(::openat(target.directory.get(), target.entry.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | noFollow));
    }
    if (!out_ || ::fstat(out_.get(), &before_) != 0) {
        throw systemFailure("cannot write", name_, errno);
    }
    if (!target.existing || !sameFile(before_, *target.existing)) {
        throw replacedDuringRun(name_);
    }
    regular_ = S_ISREG(before_.st_mode);
    oldSize_ = regular_ ? before_.st_size : 0;
}

void InPlaceWrite::run()
{
    struct statfs fs {};
    const bool measured = regular_ && ::fstatfs(out_.get(), &fs) == 0;
    if (measured) {
        checkRoom(fs);
    }
    // XFS marks for good a file that room was reserved for, as a plain write
    // never does: there the growth is written first instead.
    const bool marksReservations = measured && static_cast<unsigned long>(fs.f_type) == XFS_SUPER_MAGIC;
    if (regular_ && (marksReservations || !reserve()) && newSize_ > oldSize_) {
        grow();
    }
    // Each overwritten block of a file that is copied on write takes a new
    // one beside the old: it is emptied first, as a plain open empties it.
    if (measured && copiesOnWrite(fs)) {
        rewriteWhole();
    } else {
        overwrite();
    }
    if (regular_ && newSize_ < oldSize_) {
        if (::ftruncate(out_.get(), newSize_) != 0) {
            fail(errno);
        }
        state_ = State::changed;
    } else if (marksReservations && newSize_ > oldSize_) {
        // XFS keeps the room it took ahead of the growth until a remount,
        // where a file written whole gives it back when it is closed.
        releaseBeyondEnd(out_.get());
    }
    finish();
}

// Refuses, before the file is touched, a content that would not fit even
// where a plain open frees the old blocks first.
void InPlaceWrite::checkRoom(const struct statfs& fs) const
{
    if (lacksRoomInPlace(out_.get(), fs, newSize_, before_.st_blocks)) {
        throw systemFailure("cannot write", name_, ENOSPC);
    }
}

bool InPlaceWrite::copiesOnWrite(const struct statfs& fs) const
{
    return static_cast<unsigned long>(fs.f_type) == BTRFS_SUPER_MAGIC &&
           (inodeFlags(out_.get()).value_or(0) & FS_NOCOW_FL) == 0;
}

// Reserves the room the file grows by; false where the file system cannot
// reserve, or a sandbox refuses fallocate, which a plain write never makes.
// Holes within the old size are left to the write: a reservation that fills
// them and then fails could not give their blocks back.
bool InPlaceWrite::reserve()
{
    if (newSize_ <= oldSize_ || ::fallocate(out_.get(), FALLOC_FL_KEEP_SIZE, oldSize_, newSize_ - oldSize_) == 0) {
        return true;
    }
    if (errno == EOPNOTSUPP || isRefusedCall(errno)) {
        return false;
    }
    refuse(errno);
}

// Writes the part beyond the old size first, so that a growth that does not
// fit is found before any old byte is overwritten.
void InPlaceWrite::grow()
{
    off_t appended = 0;
    int errnum =
        ::lseek(out_.get(), oldSize_, SEEK_SET) < 0 ? errno : content_.copyTo(out_.get(), oldSize_, newSize_, appended);
    if (errnum == 0 && ::lseek(out_.get(), 0, SEEK_SET) < 0) {
        errnum = errno;
    }
    if (errnum != 0) {
        refuse(errnum);
    }
    headEnd_ = oldSize_;
    state_ = State::grown;
}

void InPlaceWrite::overwrite()
{
    off_t overwritten = 0;
    const int errnum = content_.copyTo(out_.get(), 0, headEnd_, overwritten);
    if (overwritten > 0) {
        state_ = State::changed;
    }
    if (errnum != 0 && regular_ && isOutOfRoom(errnum)) {
        rewriteWhole();
    } else if (errnum != 0) {
        fail(errnum);
    }
}

void InPlaceWrite::rewriteWhole()
{
    if (::ftruncate(out_.get(), 0) != 0) {
        fail(errno);
    }
    state_ = State::changed;
    off_t written = 0;
    const int errnum = ::lseek(out_.get(), 0, SEEK_SET) < 0 ? errno : content_.copyTo(out_.get(), 0, newSize_, written);
    if (errnum != 0) {
        fail(errnum);
    }
    oldSize_ = newSize_;
}

void InPlaceWrite::finish()
{
    const bool changed = state_ != State::untouched;
    if (::fsync(out_.get()) != 0 && errno != EINVAL) {
        if (changed) {
            throw damaged(name_, "the in-place write could not be synced", errno);
        }
        throw systemFailure("cannot sync", name_, errno);
    }
    if (::close(out_.release()) != 0) {
        if (changed) {
            throw damaged(name_, "the in-place write could not be completed", errno);
        }
        throw systemFailure("cannot write", name_, errno);
    }
}

// A failure once the file was touched, before any old byte was overwritten:
// frees what the reservation or the growth took, and puts back what it can.
void InPlaceWrite::refuse(int errnum)
{
    struct stat now {};
    const bool took =
        regular_ && ::fstat(out_.get(), &now) == 0 && (now.st_size != oldSize_ || now.st_blocks != before_.st_blocks);
    if (took && ::ftruncate(out_.get(), oldSize_) != 0 && now.st_size != oldSize_) {
        throw damaged(name_, "writing it in place failed part-way", errnum);
    }
    throw Failure(systemFailure("cannot write", name_, errnum).what() + restoreModeAndTime());
}

// A failure once old bytes may have been overwritten.
void InPlaceWrite::fail(int errnum)
{
    if (state_ != State::changed) {
        refuse(errnum);
    }
    if (regular_) {
        releaseBeyondEnd(out_.get());
    }
    throw damaged(name_, "writing it in place failed part-way", errnum);
}

// A write attempt by a process without CAP_FSETID clears set-ID bits, and
// any moves the modification time: both are put back where the process may
// (the owner, root); returns the words for the bits it could not.
std::string InPlaceWrite::restoreModeAndTime() const
{
    struct stat now {};
    if (::fstat(out_.get(), &now) != 0) {
        return {};
    }
    if ((now.st_mode & 07777) != (before_.st_mode & 07777)) {
        (void)::fchmod(out_.get(), before_.st_mode & 07777);
    }
    const timespec times[] = {{0, UTIME_OMIT}, before_.st_mtim};
    (void)::futimens(out_.get(), times);
    if (::fstat(out_.get(), &now) != 0) {
        return {};
    }
    return clearedBits(before_.st_mode & ~now.st_mode);
}

} // namespace

void writeInPlace(const OutputTarget& target, const StagedFile& content, UniqueFd locked)
{
    // Once old bytes of a file may be overwritten, the write runs to its end
    // whatever signal comes (a FIFO may wait for a reader: it stays
    // interruptible), and even a failure that cannot be worded says "damaged".
    if (target.existing && S_ISREG(target.existing->st_mode)) {
        holdCleanupSignalsForGood();
    }
    recordInPlaceWrite(quoteName(target.displayName));
    InPlaceWrite(target, content, std::move(locked)).run();
}

} // namespace initHashData

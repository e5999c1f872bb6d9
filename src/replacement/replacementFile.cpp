// SPDX-License-Identifier: MIT
#include "replacement/replacementFile.hpp"

#include "fileIo/failure.hpp"
#include "replacement/fileMetadata.hpp"
#include "replacement/inPlaceWrite.hpp"
#include "replacement/signalCleanup.hpp"
#include "replacement/stagedFile.hpp"
#include "replacement/targetChecks.hpp"
#include "replacement/targetLock.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <utility>

namespace initHashData {

namespace {

constexpr mode_t creationMode = 0666;
// A replacement is private until it takes the old file's mode.
constexpr mode_t stagingMode = 0600;

// Whether the directory is append-only or immutable, and would keep every
// name made in it; also where that cannot be learnt, as from a directory the
// process may not read and so holds by a path handle only.
bool keepsEveryName(int directory)
{
    constexpr auto kept = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;
    struct statx status {};
    if (::statx(directory, "", AT_EMPTY_PATH, 0, &status) == 0 && (status.stx_attributes_mask & kept) == kept) {
        return (status.stx_attributes & kept) != 0;
    }
    const std::optional<int> flags = inodeFlags(directory);
    return !flags || (*flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
}

} // namespace

ReplacementFile::ReplacementFile(const std::string& name)
    : target_(resolveOutputTarget(name)), strategy_(chooseStrategy()), staged_(target_.entry)
{
    int errnum = 0;
    if (strategy_ != Strategy::writeInPlace) {
        // A new file is made as open() would make it, which is harmless while it has no name.
        stagedAsNew_ = !target_.existing;
        errnum = staged_.create(target_.directory.get(), strategy_ == Strategy::renameOver,
                                stagedAsNew_ ? creationMode : stagingMode);
        // The directory is closed to us, or has no inode left, and the file
        // is open: hold the content in memory and write the file in place
        // once it is complete.
        if (target_.existing &&
            (errnum == EACCES || errnum == EPERM || errnum == EROFS || errnum == ENOSPC || errnum == EDQUOT)) {
            strategy_ = Strategy::writeInPlace;
        }
        if (errnum == 0 && target_.existing && !carryFlagsWhileEmpty()) {
            staged_.discard();
            strategy_ = Strategy::writeInPlace;
        }
    }
    if (strategy_ == Strategy::writeInPlace) {
        inMemory_ = contentInMemory(target_.displayName);
        return;
    }
    if (errnum != 0) {
        throw systemFailure("cannot create", target_.displayName, errnum);
    }
}

ReplacementFile::Strategy ReplacementFile::chooseStrategy(bool writable) const
{
    const int directory = target_.directory.get();
    if (target_.existing) {
        // Refuse what a plain open for writing would refuse, before any work.
        const int noFollow = target_.throughDescriptorLink ? 0 : AT_SYMLINK_NOFOLLOW;
        if (!writable && ::faccessat(directory, target_.entry.c_str(), W_OK, AT_EACCESS | noFollow) != 0) {
            throw systemFailure("cannot write", target_.displayName, errno);
        }
        // Renaming over a device, FIFO or pipe would replace the node, not feed it.
        if (!S_ISREG(target_.existing->st_mode) || target_.throughDescriptorLink) {
            return Strategy::writeInPlace;
        }
    }
    if (keepsEveryName(directory)) {
        // Such a directory lets a staged name be made but never renamed or removed.
        return target_.existing ? Strategy::writeInPlace : Strategy::linkAsNew;
    }
    return Strategy::renameOver;
}

bool ReplacementFile::carryFlagsWhileEmpty()
{
    // Opened for reading only: an open for writing alone can change a file
    // (XFS frees its room beyond the end, overlayfs copies it up), and this
    // run may yet fail.
    const UniqueFd file(::openat(target_.directory.get(), target_.entry.c_str(),
                                 O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!file || ::fstat(file.get(), &st) != 0 || !sameFile(st, *target_.existing)) {
        return true; // decided again under the lock, for whatever file is there then
    }
    const std::optional<InodeFlags> old = readInodeFlags(file.get());
    stagedFlags_ = readInodeFlags(staged_.fd());
    // A synchronous file would take its content at a snail's pace: that flag
    // waits for the commit where the old file has it, and goes now where it does not.
    return old && stagedFlags_ &&
           carryInodeFlags(staged_.fd(), *old, *stagedFlags_, carriedFlags & ~(old->flags & FS_SYNC_FL));
}

int ReplacementFile::commit()
{
    // Another run may take the name each time this one has decided; the wait
    // for locks is bounded over all the files it finds there in turn.
    constexpr int decisions = 100;
    const auto deadline = std::chrono::steady_clock::now() + lockWait;
    for (int attempt = 0; attempt < decisions; ++attempt) {
        UniqueFd locked = lockTarget(deadline);
        if (const std::optional<int> syncErrno = commitLocked(locked)) {
            return *syncErrno;
        }
    }
    throw replacedDuringRun(target_.displayName);
}

UniqueFd ReplacementFile::lockTarget(std::chrono::steady_clock::time_point deadline)
{
    if (target_.throughDescriptorLink) {
        return UniqueFd();
    }
    const std::optional<struct stat> found = target_.existing;
    UniqueFd locked = lockEntry(target_, deadline);
    if (target_.existing && (!found || !sameFile(*found, *target_.existing))) {
        // Another run may have put its file there; anything else is not ours to replace.
        if (!S_ISREG(target_.existing->st_mode)) {
            throw replacedDuringRun(target_.displayName);
        }
        checkMayWriteExisting(target_.directoryStatus, *target_.existing, target_.displayName);
    }
    if (inMemory_ && !target_.existing) {
        restageAsNew(); // a plain open would make the file that went
    }
    strategy_ = inMemory_ ? Strategy::writeInPlace : chooseStrategy(static_cast<bool>(locked));
    return locked;
}

std::optional<int> ReplacementFile::commitLocked(UniqueFd& locked)
{
    // Only the old inode keeps what we cannot read or give: write it, as open() would.
    if (strategy_ == Strategy::writeInPlace || !giveStagedItsMetadata(locked.get())) {
        writeStagedInPlace(std::move(locked));
        return 0;
    }
    if (::fsync(staged_.fd()) != 0) {
        throw systemFailure("cannot sync", target_.displayName, errno);
    }
    if (strategy_ == Strategy::renameOver) {
        return renameOver(locked);
    }
    const int errnum = staged_.linkAs(target_.entry);
    if (errnum == EEXIST) {
        return std::nullopt;
    }
    if (errnum != 0) {
        throw systemFailure("cannot create", target_.displayName, errnum);
    }
    return syncDirectory();
}

bool ReplacementFile::giveStagedItsMetadata(int old)
{
    if (!target_.existing) {
        if (!stagedAsNew_) {
            restageAsNew();
        }
        return true;
    }
    if (!stagedFlags_) {
        stagedFlags_ = readInodeFlags(staged_.fd());
    }
    return old >= 0 && stagedFlags_ &&
           applyMetadata(staged_.fd(), readMetadata(old, *target_.existing, target_.displayName), *stagedFlags_);
}

void ReplacementFile::restageAsNew()
{
    const UniqueFd content = inMemory_ ? std::move(inMemory_) : copyToMemory(staged_.fd(), target_.displayName);
    staged_.discard();
    stagedAsNew_ = true;
    stagedFlags_.reset();
    int errnum = staged_.create(target_.directory.get(), !keepsEveryName(target_.directory.get()), creationMode);
    if (errnum == 0) {
        errnum = copyWhole(staged_.fd(), content.get());
    }
    if (errnum != 0) {
        throw systemFailure("cannot create", target_.displayName, errnum);
    }
}

std::optional<int> ReplacementFile::renameOver(UniqueFd& locked)
{
    int errnum = 0;
    bool renaming = false;
    {
        // A staging name lives from the link to the rename, with the signals
        // held back: none can end the run while it is there.
        const CleanupSignalsBlocked blocked;
        errnum = staged_.giveName();
        renaming = errnum == 0;
        if (renaming) {
            errnum = staged_.renameToEntry(target_.existing.has_value());
        }
    }
    if (renaming && errnum == EEXIST) {
        return std::nullopt;
    }
    // A bind-mounted target cannot be renamed over, only written; a directory
    // that gives its project id to every file in it takes no other.
    if (target_.existing && (errnum == EBUSY || errnum == EXDEV)) {
        writeStagedInPlace(std::move(locked));
        return 0;
    }
    if (errnum != 0) {
        throw systemFailure(renaming ? "cannot replace" : "cannot create", target_.displayName, errnum);
    }
    return syncDirectory();
}

void ReplacementFile::writeStagedInPlace(UniqueFd locked)
{
    if (!inMemory_) {
        inMemory_ = copyToMemory(staged_.fd(), target_.displayName);
        staged_.discard();
    }
    writeInPlace(target_, inMemory_.get(), std::move(locked));
}

int ReplacementFile::syncDirectory() const noexcept
{
    if (target_.directorySyncErrno != 0) {
        return target_.directorySyncErrno;
    }
    // Some file systems cannot sync a directory and say so with EINVAL.
    return ::fsync(target_.directory.get()) != 0 && errno != EINVAL ? errno : 0;
}

} // namespace initHashData

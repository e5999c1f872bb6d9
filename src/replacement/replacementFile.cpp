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

mode_t currentUmask() noexcept
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// A path that reaches `entry` through the open `directory`, for the calls
// that have no form taking a directory descriptor.
std::string pathThrough(int directory, const std::string& entry, const std::string& displayName)
{
    if (::access("/proc/self/fd", X_OK) != 0) {
        return directoryOf(displayName) + "/" + entry;
    }
    return "/proc/self/fd/" + std::to_string(directory) + "/" + entry;
}

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
    : target_(resolveOutputTarget(name)), newFileMode_(creationMode & ~currentUmask()), strategy_(chooseStrategy()),
      staged_(target_.entry)
{
    int errnum = 0;
    if (strategy_ != Strategy::writeInPlace) {
        errnum = staged_.create(target_.directory.get(), strategy_ == Strategy::renameOver);
        // The directory is closed to us, the file is not: hold the content in
        // memory and write the file in place once it is complete.
        if (target_.existing && (errnum == EACCES || errnum == EPERM || errnum == EROFS)) {
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

ReplacementFile::Strategy ReplacementFile::chooseStrategy() const
{
    const int directory = target_.directory.get();
    if (target_.existing) {
        // Refuse what a plain open for writing would refuse, before any work.
        const int noFollow = target_.throughDescriptorLink ? 0 : AT_SYMLINK_NOFOLLOW;
        if (::faccessat(directory, target_.entry.c_str(), W_OK, AT_EACCESS | noFollow) != 0) {
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

UniqueFd ReplacementFile::probeNewFile() const
{
    const int directory = target_.directory.get();
    if (UniqueFd probe(::openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, creationMode)); probe) {
        return probe;
    }
    if (!isUnnamedMissing(errno)) {
        throw systemFailure("cannot create", target_.displayName, errno);
    }
    // Without unnamed files a named one lives for two calls, with signals held
    // back; an append-only directory would keep it.
    for (int attempt = 0; attempt < stagingNameAttempts && strategy_ != Strategy::linkAsNew; ++attempt) {
        const std::string name = stagingName(target_.entry);
        const CleanupSignalsBlocked blocked;
        UniqueFd probe(
            ::openat(directory, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, creationMode));
        if (probe) {
            ::unlinkat(directory, name.c_str(), 0);
            return probe;
        }
        if (errno != EEXIST) {
            if (isUnnamedMissing(errno)) {
                break;
            }
            throw systemFailure("cannot create", target_.displayName, errno);
        }
    }
    return UniqueFd();
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
    strategy_ = inMemory_ ? Strategy::writeInPlace : chooseStrategy();
    return locked;
}

std::optional<int> ReplacementFile::commitLocked(UniqueFd& locked)
{
    // Only the old inode keeps what we cannot read or give: write it, as open() would.
    if (strategy_ == Strategy::writeInPlace || !giveStagedItsMetadata()) {
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

bool ReplacementFile::giveStagedItsMetadata()
{
    const std::string& displayName = target_.displayName;
    if (!target_.existing) {
        applyNewFileAccess(staged_.fd(), probeNewFile().get(), newFileMode_, displayName);
        return true;
    }
    const std::string path = pathThrough(target_.directory.get(), target_.entry, displayName);
    return applyMetadata(staged_.fd(), readMetadata(path, *target_.existing, displayName), displayName);
}

std::optional<int> ReplacementFile::renameOver(UniqueFd& locked)
{
    if (const int errnum = staged_.giveName(); errnum != 0) {
        throw systemFailure("cannot create", target_.displayName, errnum);
    }
    const int errnum = staged_.renameToEntry(target_.existing.has_value());
    if (errnum == EEXIST) {
        return std::nullopt;
    }
    // A bind-mounted target cannot be renamed over, only written.
    if (target_.existing && (errnum == EBUSY || errnum == EXDEV)) {
        writeStagedInPlace(std::move(locked));
        return 0;
    }
    if (errnum != 0) {
        throw systemFailure("cannot replace", target_.displayName, errnum);
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

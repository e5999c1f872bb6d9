// SPDX-License-Identifier: MIT
#include "replacement/replacementFile.hpp"

#include "fileIo/failure.hpp"
#include "replacement/fileMetadata.hpp"
#include "replacement/signalCleanup.hpp"
#include "replacement/targetChecks.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

namespace initHashData {

namespace {

constexpr mode_t creationMode = 0666;
// Staging files are the owner's alone until they hold their final mode.
constexpr mode_t stagingMode = 0600;
constexpr int nameAttempts = 100;
constexpr std::size_t suffixLength = 16;

std::string randomSuffix()
{
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        static std::uint64_t counter = 0;
        bits = (static_cast<std::uint64_t>(::getpid()) << 32) ^ ++counter;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

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

// Older kernels and some file systems lack unnamed files.
bool isUnnamedMissing(int errnum) { return errnum == EOPNOTSUPP || errnum == EISDIR || errnum == EINVAL; }

} // namespace

ReplacementFile::ReplacementFile(const std::string& name, Staging staging)
    : target_(resolveOutputTarget(name)), newFileMode_(creationMode & ~currentUmask()), stagingKind_(staging),
      strategy_(chooseStrategy())
{
    int errnum = 0;
    if (strategy_ != Strategy::writeInPlace) {
        errnum = stageIn(target_.directory.get(), strategy_ == Strategy::renameOver);
        // The directory is closed to us, the file is not: stage elsewhere and
        // write the file in place once the content is complete.
        if (target_.existing && (errnum == EACCES || errnum == EPERM || errnum == EROFS)) {
            strategy_ = Strategy::writeInPlace;
        }
    }
    if (strategy_ == Strategy::writeInPlace) {
        elsewhere_.reset(::open(P_tmpdir, O_PATH | O_DIRECTORY | O_CLOEXEC));
        errnum = elsewhere_ ? stageIn(elsewhere_.get(), true) : errno;
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
    if ((inodeFlags(directory).value_or(0) & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0) {
        // Such a directory lets a staged name be made but never renamed or removed.
        return target_.existing ? Strategy::writeInPlace : Strategy::linkAsNew;
    }
    return Strategy::renameOver;
}

ReplacementFile::~ReplacementFile() { removeStagedName(); }

int ReplacementFile::stagedDirectory() const noexcept
{
    return elsewhere_ ? elsewhere_.get() : target_.directory.get();
}

int ReplacementFile::stageIn(int directory, bool namedAllowed)
{
    if (stagingKind_ == Staging::unnamedFirst) {
        staging_.reset(::openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, stagingMode));
        if (staging_) {
            return 0;
        }
        if (!isUnnamedMissing(errno)) {
            return errno;
        }
    }
    if (!namedAllowed) {
        return EPERM;
    }
    return nameStaged(directory, [&](const std::string& name) {
        staging_.reset(
            ::openat(directory, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, stagingMode));
        return staging_ ? 0 : errno;
    });
}

std::string ReplacementFile::stagingName() const
{
    // ".<entry>.<suffix>", the entry cut short where the whole would be too long a name.
    return "." + target_.entry.substr(0, NAME_MAX - suffixLength - 2) + "." + randomSuffix();
}

UniqueFd ReplacementFile::probeNewFile() const
{
    const int directory = target_.directory.get();
    if (stagingKind_ == Staging::unnamedFirst) {
        UniqueFd probe(::openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, creationMode));
        if (probe) {
            return probe;
        }
        if (!isUnnamedMissing(errno)) {
            throw systemFailure("cannot create", target_.displayName, errno);
        }
    }
    // Without unnamed files a named one lives for two calls, with signals held
    // back; an append-only directory would keep it.
    for (int attempt = 0; attempt < nameAttempts && strategy_ != Strategy::linkAsNew; ++attempt) {
        const std::string name = stagingName();
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

template <class Create> int ReplacementFile::nameStaged(int directory, Create create)
{
    for (int attempt = 0; attempt < nameAttempts; ++attempt) {
        const std::string name = stagingName();
        const CleanupSignalsBlocked blocked;
        const int errnum = create(name);
        if (errnum == 0) {
            removeOnSignal(directory, name.c_str());
            stagedName_ = name;
            return 0;
        }
        if (errnum != EEXIST) {
            return errnum;
        }
    }
    return EEXIST;
}

int ReplacementFile::linkStaged(const std::string& name) const
{
    const std::string procPath = "/proc/self/fd/" + std::to_string(staging_.get());
    const int directory = target_.directory.get();
    if (::linkat(AT_FDCWD, procPath.c_str(), directory, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return 0;
    }
    // Without /proc: the same, for processes allowed to link by descriptor.
    if (errno == ENOENT && ::linkat(staging_.get(), "", directory, name.c_str(), AT_EMPTY_PATH) == 0) {
        return 0;
    }
    return errno;
}

void ReplacementFile::refreshExisting()
{
    struct stat now {};
    if (::fstatat(target_.directory.get(), target_.entry.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            throw systemFailure("cannot replace", target_.displayName, errno);
        }
        target_.existing.reset();
        return;
    }
    if (!target_.existing || !sameFile(*target_.existing, now)) {
        // Another run may have put its file there; anything else is not ours to replace.
        if (!S_ISREG(now.st_mode)) {
            throw replacedDuringRun(target_.displayName);
        }
        checkMayWriteExisting(target_.directoryStatus, now, target_.displayName);
    }
    target_.existing = now;
}

int ReplacementFile::commit()
{
    if (strategy_ == Strategy::writeInPlace) {
        replaceInPlace();
        return 0;
    }
    refreshExisting();
    if (!giveStagedItsMetadata()) {
        // Only the old inode keeps an owner, group or flags we cannot give: write it, as open() would.
        removeStagedName();
        replaceInPlace();
        return 0;
    }
    if (::fsync(staging_.get()) != 0) {
        throw systemFailure("cannot sync", target_.displayName, errno);
    }
    if (strategy_ == Strategy::linkAsNew) {
        if (const int errnum = linkStaged(target_.entry); errnum != 0) {
            throw systemFailure("cannot create", target_.displayName, errnum);
        }
        return syncDirectory();
    }
    return renameOver();
}

bool ReplacementFile::giveStagedItsMetadata()
{
    const std::string& displayName = target_.displayName;
    if (!target_.existing) {
        applyNewFileAccess(staging_.get(), probeNewFile().get(), newFileMode_, displayName);
        return true;
    }
    const std::string path = pathThrough(target_.directory.get(), target_.entry, displayName);
    return applyMetadata(staging_.get(), readMetadata(path, *target_.existing, displayName), displayName);
}

int ReplacementFile::renameOver()
{
    const int directory = target_.directory.get();
    const std::string& displayName = target_.displayName;
    if (stagedName_.empty()) {
        if (const int errnum = nameStaged(directory, [this](const std::string& name) { return linkStaged(name); });
            errnum != 0) {
            throw systemFailure("cannot create", displayName, errnum);
        }
    }
    int errnum = 0;
    {
        const CleanupSignalsBlocked blocked;
        if (::renameat(directory, stagedName_.c_str(), directory, target_.entry.c_str()) == 0) {
            forgetRemoveOnSignal();
            stagedName_.clear();
        } else {
            errnum = errno;
        }
    }
    if (errnum != 0) {
        removeStagedName();
        // A bind-mounted target cannot be renamed over, only written.
        if (target_.existing && (errnum == EBUSY || errnum == EXDEV)) {
            replaceInPlace();
            return 0;
        }
        throw systemFailure("cannot replace", displayName, errnum);
    }
    return syncDirectory();
}

int ReplacementFile::syncDirectory() const noexcept
{
    if (target_.directorySyncErrno != 0) {
        return target_.directorySyncErrno;
    }
    // Some file systems cannot sync a directory and say so with EINVAL.
    return ::fsync(target_.directory.get()) != 0 && errno != EINVAL ? errno : 0;
}

void ReplacementFile::removeStagedName() noexcept
{
    if (stagedName_.empty()) {
        return;
    }
    const CleanupSignalsBlocked blocked;
    ::unlinkat(stagedDirectory(), stagedName_.c_str(), 0);
    forgetRemoveOnSignal();
    stagedName_.clear();
}

} // namespace initHashData

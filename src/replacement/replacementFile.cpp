// SPDX-License-Identifier: MIT
#include "replacement/replacementFile.hpp"

#include "fileIo/failure.hpp"
#include "fileIo/uniqueFd.hpp"
#include "pathWalk/pathWalk.hpp"
#include "replacement/decision.hpp"
#include "replacement/fileMetadata.hpp"
#include "replacement/inPlaceWrite.hpp"
#include "replacement/stagedFile.hpp"
#include "replacement/targetLock.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <utility>

namespace initHashData {

namespace {

using Place = StagedFile::Place;

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

// Whether the process may write the entry, by its effective ids, as open()
// would check; false with errno set where it may not. glibc asks faccessat2
// (Linux 5.8) and falls back itself only where the kernel lacks it (ENOSYS);
// where a sandbox refuses it (EPERM), the older faccessat checks the same for
// a process whose real ids are its effective ones.
bool mayWrite(int directory, const char* entry, bool followLink)
{
    if (::faccessat(directory, entry, W_OK, AT_EACCESS | (followLink ? 0 : AT_SYMLINK_NOFOLLOW)) == 0) {
        return true;
    }
    if (errno != EPERM || ::getuid() != ::geteuid() || ::getgid() != ::getegid()) {
        return false;
    }
    return ::syscall(SYS_faccessat, directory, entry, W_OK) == 0;
}

TargetKind kindOf(const OutputTarget& target)
{
    if (!target.existing) {
        return TargetKind::none;
    }
    // Renaming over a device, FIFO or pipe would replace the node, not feed it.
    return S_ISREG(target.existing->st_mode) && !target.throughDescriptorLink ? TargetKind::regular : TargetKind::fed;
}

} // namespace

// The members of ReplacementFile, defined where they are declared.
class ReplacementFile::Replacement {
public:
    explicit Replacement(const std::string& name)
        : target_(resolveOutputTarget(name)), staged_(target_.directory.get(), target_.entry)
    {
        // Refuse what a plain open for writing would refuse, before any work;
        // a file removed since it was found is made anew, as open() would.
        if (target_.existing &&
            !mayWrite(target_.directory.get(), target_.entry.c_str(), target_.throughDescriptorLink)) {
            if (errno != ENOENT || target_.throughDescriptorLink) {
                throw systemFailure("cannot write", target_.displayName, errno);
            }
            target_.existing.reset();
        }
        learnTarget();
        stageFor(decide(facts_));
    }

    void write(std::string_view bytes)
    {
        if (const int errnum = staged_.write(bytes); errnum != 0) {
            throw stagingFailure("cannot write", errnum);
        }
    }
    const ShownName& target() const noexcept { return target_.displayName; }

    int commit(Notice notice)
    {
        // The one retry loop: each pass follows a wait, for another process's
        // lock or for a name that changed under the run. The waits for
        // writers are bounded; those for readers, which a write in place
        // alone makes, last as long as their read locks.
        Backoff writers(std::chrono::steady_clock::now() + lockWait);
        Backoff readers(std::chrono::steady_clock::now() + lockWait);
        // The file the run has checked as its own to write: the one it found
        // first, then each one a lock found and the checks accepted. A pass
        // that only waited checks nothing, and changes nothing here.
        std::optional<struct stat> accepted = target_.existing;
        auto kind = TargetLock::Kind::forRename;
        for (;;) {
            TargetLock lock =
                target_.throughDescriptorLink ? TargetLock{TargetLock::State::unlockable} : tryLockEntry(target_, kind);
            // Readers' read locks hold back a write in place for as long as
            // they are held; a lease, until its holder gives it up or the
            // kernel breaks it, as a plain open waits.
            if (lock.state == TargetLock::State::readersBusy || lock.state == TargetLock::State::leased) {
                if (lock.state == TargetLock::State::readersBusy && readers.expired() && notice != nullptr) {
                    notice("warning: waiting to write " + quoteName(target_.displayName) +
                           " in place: another process holds a read lock on it (lslocks shows which)");
                    notice = nullptr;
                }
                readers.sleep();
                writers = Backoff(std::chrono::steady_clock::now() + lockWait);
                continue;
            }
            if (lock.state == TargetLock::State::writerBusy || lock.state == TargetLock::State::moved) {
                if (!writers.pause()) {
                    throw lock.state == TargetLock::State::writerBusy ? writtenByAnother(target_.displayName)
                                                                      : replacedDuringRun(target_.displayName);
                }
                continue;
            }
            learnLocked(lock, accepted);
            accepted = target_.existing;
            switch (putInPlace(std::move(lock.file), kind == TargetLock::Kind::forWriteInPlace)) {
            case Placed::renamed: return syncDirectory();
            case Placed::written: return 0;
            case Placed::lockForWriting: kind = TargetLock::Kind::forWriteInPlace; continue;
            case Placed::lookAgain: break;
            }
            if (!writers.pause()) {
                throw replacedDuringRun(target_.displayName);
            }
        }
    }

private:
    // The facts that what the entry names gives: its kind and its directory's flags.
    void learnTarget()
    {
        facts_.target = kindOf(target_);
        facts_.directoryKeepsNames = facts_.target != TargetKind::fed && keepsEveryName(target_.directory.get());
    }

    // Stages the content where `way` needs it, and decides again where
    // staging teaches something; throws where staging ends the run.
    Way stageFor(Way way)
    {
        if (way == Way::renameOver) {
            const Place place = facts_.target == TargetKind::none ? Place::besideAsNew : Place::besideAsReplacement;
            if (staged_.place() != place) {
                facts_.stagingErrno = staged_.moveTo(place, !facts_.directoryKeepsNames);
                if (facts_.stagingErrno == 0 && place == Place::besideAsReplacement) {
                    facts_.metadataCarried = carryFlagsWhileEmpty();
                }
                way = decide(facts_);
            }
        }
        // A file beside the old one holds the content for a write in place as
        // well as any place aside, while its file system has room for both.
        if (way == Way::writeInPlace && staged_.place() != Place::besideAsReplacement) {
            if (const int errnum = staged_.moveTo(Place::asideOnDisk, false); errnum != 0) {
                throw stagingFailure("cannot hold aside the new content of", errnum);
            }
        } else if (way == Way::refuse && facts_.stagingErrno != 0) {
            throw systemFailure("cannot create", target_.displayName, facts_.stagingErrno);
        }
        return way;
    }

    // Gives the new temporary file the old file's flags and hints, which some
    // file systems take only while it is empty (one made again during the
    // commit takes them all once more with the rest of the metadata); false
    // where it does not take them.
    bool carryFlagsWhileEmpty()
    {
        // Opened for reading only: an open for writing alone can change a
        // file (XFS frees its room beyond the end, overlayfs copies it up),
        // and this run may yet fail.
        const UniqueFd file(::openat(target_.directory.get(), target_.entry.c_str(),
                                     O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
        struct stat st {};
        if (!file || ::fstat(file.get(), &st) != 0 || !sameFile(st, *target_.existing)) {
            return true; // decided again under the lock, for whatever file is there then
        }
        const std::optional<InodeFlags> old = readInodeFlags(file.get());
        std::optional<InodeFlags> staged = readInodeFlags(staged_.fd());
        // A synchronous file would take its content at a snail's pace: that
        // flag waits for the commit where the old file has it, and goes now
        // where it does not.
        return old && staged && carryInodeFlags(staged_.fd(), *old, *staged, carriedFlags & ~(old->flags & FS_SYNC_FL));
    }

    // Content held aside ends in memory only where no disk has room; where
    // memory is short too, the message says so.
    Failure stagingFailure(const char* action, int errnum) const
    {
        return systemFailure(errnum == ENOMEM ? "cannot hold in memory the new content of" : action,
                             target_.displayName, errnum);
    }

    // Takes what a lock found at the name, where the run had accepted
    // `accepted`; throws where it is not ours to write.
    void learnLocked(const TargetLock& lock, const std::optional<struct stat>& accepted)
    {
        if (lock.state == TargetLock::State::failed) {
            throw systemFailure(lock.failedTo, target_.displayName, lock.errnum);
        }
        if (target_.existing && (!accepted || !sameFile(*accepted, *target_.existing))) {
            // Another run may have put its file there; anything else is not ours to replace.
            if (!S_ISREG(target_.existing->st_mode)) {
                throw replacedDuringRun(target_.displayName);
            }
            checkMayWriteExisting(target_.directoryStatus, *target_.existing, target_.displayName);
            if (!mayWrite(target_.directory.get(), target_.entry.c_str(), false) && errno != ENOENT) {
                throw systemFailure("cannot write", target_.displayName, errno);
            }
        }
        const TargetKind before = facts_.target;
        learnTarget();
        if (facts_.target != before) {
            // What staging and placing learnt for the file that was there holds no more.
            facts_.stagingErrno = 0;
            facts_.metadataCarried = true;
            facts_.placingErrno = 0;
        }
    }

    // What putInPlace did: the content renamed or written in place; nothing,
    // for another process took the name first, or a write in place needs the
    // write lock that `locked` does not hold.
    enum class Placed { renamed, written, lookAgain, lockForWriting };

    // Puts the content in place under the lock, acting on each decision in turn.
    Placed putInPlace(UniqueFd locked, bool writeLocked)
    {
        // A name taken is looked at again; a rename refused, as by a mount
        // point, is so still under the write lock.
        if (facts_.placingErrno == EEXIST) {
            facts_.placingErrno = 0;
        }
        Way way = stageFor(decide(facts_));
        if (way == Way::renameOver && facts_.target == TargetKind::regular) {
            FileMetadata metadata;
            if (const int errnum = readMetadata(locked.get(), *target_.existing, metadata); errnum != 0) {
                throw systemFailure("cannot read the attributes of", target_.displayName, errnum);
            }
            // Only the old inode keeps what cannot be read or given: then it is written, as open() would.
            facts_.metadataCarried = applyMetadata(staged_.fd(), metadata);
            way = stageFor(decide(facts_));
        }
        if (way == Way::renameOver) {
            if (::fsync(staged_.fd()) != 0) {
                throw systemFailure("cannot sync", target_.displayName, errno);
            }
            // A read lock does not keep another rename out: where one put its
            // file at the name meanwhile, a write in place may hold that one.
            if (facts_.target == TargetKind::regular && !stillNamed()) {
                return Placed::lookAgain;
            }
            bool nameGiven = false;
            facts_.placingErrno = staged_.putAtEntry(facts_.target == TargetKind::regular, nameGiven);
            if (facts_.placingErrno == 0) {
                return Placed::renamed;
            }
            const char* const action = nameGiven ? "cannot replace" : "cannot create";
            way = stageFor(decide(facts_));
            if (way == Way::refuse) {
                throw systemFailure(action, target_.displayName, facts_.placingErrno);
            }
        }
        if (way == Way::lookAgain) {
            return Placed::lookAgain;
        }
        if (facts_.target == TargetKind::regular && !writeLocked) {
            return Placed::lockForWriting;
        }
        if (facts_.target == TargetKind::regular) {
            // Content the old file's file system holds must leave room there
            // for the file to grow, as a plain write would; where it cannot
            // move, the write finds out.
            (void)staged_.keepRoomOn(target_.existing->st_dev, staged_.size() - target_.existing->st_size);
        }
        writeInPlace(target_, staged_, std::move(locked));
        // Renamed over while it was written, it is written again where the name leads now.
        return facts_.target == TargetKind::regular && !stillNamed() ? Placed::lookAgain : Placed::written;
    }

    // Whether the name still leads to the file the run locked.
    bool stillNamed() const { return namesFile(target_.directory.get(), target_.entry.c_str(), *target_.existing); }

    int syncDirectory() const noexcept
    {
        if (target_.directorySyncErrno != 0) {
            return target_.directorySyncErrno;
        }
        // Some file systems cannot sync a directory and say so with EINVAL.
        return ::fsync(target_.directory.get()) != 0 && errno != EINVAL ? errno : 0;
    }

    OutputTarget target_;
    Facts facts_;
    StagedFile staged_;
};

ReplacementFile::ReplacementFile(const std::string& name) : replacement_(std::make_unique<Replacement>(name)) {}
ReplacementFile::~ReplacementFile() = default;
void ReplacementFile::write(std::string_view bytes) { replacement_->write(bytes); }
const ShownName& ReplacementFile::target() const noexcept { return replacement_->target(); }
int ReplacementFile::commit(Notice notice) { return replacement_->commit(notice); }

} // namespace initHashData

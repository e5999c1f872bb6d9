// SPDX-License-Identifier: MIT
#include "replacement/replacementFile.hpp"

#include "fileIo/failure.hpp"
#include "fileIo/systemCall.hpp"
#include "fileIo/uniqueFd.hpp"
#include "pathWalk/pathWalk.hpp"
#include "replacement/decision.hpp"
#include "replacement/fileMetadata.hpp"
#include "replacement/inPlaceWrite.hpp"
#include "replacement/stagedFile.hpp"
#include "replacement/targetAccess.hpp"
#include "replacement/targetLock.hpp"

#include <linux/fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <utility>

namespace initHashData {

using Place = StagedFile::Place;

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
            if (lock.state == TargetLock::State::readersBusy || lock.state == TargetLock::State::leased) {
                waitForReaders(lock.state, readers, notice);
                writers = Backoff(std::chrono::steady_clock::now() + lockWait);
                continue;
            }
            if (lock.state == TargetLock::State::writerBusy || lock.state == TargetLock::State::moved) {
                waitForWriters(lock.state, writers);
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
            waitForWriters(TargetLock::State::moved, writers);
        }
    }

private:
    // Readers' read locks hold back a write in place for as long as they are
    // held; a lease, until its holder gives it up or the kernel breaks it, as
    // a plain open waits. Once the wait has lasted, `notice` says so, once.
    void waitForReaders(TargetLock::State state, Backoff& readers, Notice& notice) const
    {
        if (state == TargetLock::State::readersBusy && readers.expired() && notice != nullptr) {
            notice("warning: waiting to write " + quoteName(target_.displayName) +
                   " in place: another process holds a read lock on it (lslocks shows which)");
            notice = nullptr;
        }
        readers.sleep();
    }

    // Waits a while for another writer's write lock to go, or for the name
    // to lead to one file; throws once the wait for writers has lasted.
    void waitForWriters(TargetLock::State state, Backoff& writers) const
    {
        if (!writers.pause()) {
            throw state == TargetLock::State::writerBusy ? writtenByAnother(target_.displayName)
                                                         : replacedDuringRun(target_.displayName);
        }
    }

    // The facts that what the entry names gives: its kind and its directory's flags.
    void learnTarget()
    {
        const TargetKind kind = kindOf(target_);
        facts_.learnTarget(kind, kind != TargetKind::fed && keepsEveryName(target_.directory.get()));
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
    [[nodiscard]] bool carryFlagsWhileEmpty()
    {
        const UniqueFd file = openFoundFile(target_);
        if (!file) {
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
    [[nodiscard]] Failure stagingFailure(const char* action, int errnum) const
    {
        return systemFailure(errnum == ENOMEM ? "cannot hold in memory the new content of" : action,
                             target_.displayName, errnum);
    }

    // Takes what a lock found at the name, where the run had accepted
    // `accepted`; throws where it is not ours to write.
    void learnLocked(const TargetLock& lock, const std::optional<struct stat>& accepted)
    {
        if (lock.state == TargetLock::State::statFailed || lock.state == TargetLock::State::openFailed) {
            const bool statFailed = lock.state == TargetLock::State::statFailed;
            throw systemFailure(statFailed ? "cannot replace" : "cannot write", target_.displayName, lock.errnum);
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
        learnTarget();
    }

    // What putInPlace did: the content renamed or written in place; nothing,
    // for another process took the name first, or a write in place needs the
    // write lock that `locked` does not hold.
    enum class Placed { renamed, written, lookAgain, lockForWriting };

    // Puts the content in place under the lock, acting on each decision in
    // turn until one puts it there or needs another lock.
    [[nodiscard]] Placed putInPlace(UniqueFd locked, bool writeLocked)
    {
        facts_.lookAgainAtTakenName();
        const bool regular = facts_.target == TargetKind::regular;
        bool metadataGiven = false;
        StagedFile::Put put{0, false};
        for (;;) {
            switch (stageFor(decide(facts_))) {
            case Way::renameOver:
                if (regular && !metadataGiven) {
                    giveMetadata(locked.get());
                    metadataGiven = true;
                    break;
                }
                if (::fsync(staged_.fd()) != 0) {
                    throw systemFailure("cannot sync", target_.displayName, errno);
                }
                // A read lock does not keep another rename out: where one put its
                // file at the name meanwhile, a write in place may hold that one.
                if (regular && !stillNamed()) {
                    return Placed::lookAgain;
                }
                put = staged_.putAtEntry(regular);
                if (put.restage) {
                    // A file with a name takes the content, and the old file's metadata again.
                    metadataGiven = false;
                    break;
                }
                facts_.placingErrno = put.errnum;
                if (put.errnum == 0) {
                    return Placed::renamed;
                }
                break;
            case Way::lookAgain: return Placed::lookAgain;
            case Way::refuse:
                throw systemFailure(put.nameGiven ? "cannot replace" : "cannot create", target_.displayName,
                                    facts_.placingErrno);
            case Way::writeInPlace: return writeOver(std::move(locked), writeLocked);
            }
        }
    }

    // Gives the temporary file all that the old one carries; only the old
    // inode keeps what cannot be read or given: then it is written, as open()
    // would.
    void giveMetadata(int locked)
    {
        FileMetadata metadata;
        if (const int errnum = readMetadata(locked, *target_.existing, metadata); errnum != 0) {
            throw systemFailure("cannot read the attributes of", target_.displayName, errnum);
        }
        facts_.metadataCarried = applyMetadata(staged_.fd(), metadata);
    }

    // Writes the content into the old file, where `locked` holds the write
    // lock that needs (`writeLocked`).
    [[nodiscard]] Placed writeOver(UniqueFd locked, bool writeLocked)
    {
        const bool regular = facts_.target == TargetKind::regular;
        if (regular && !writeLocked) {
            return Placed::lockForWriting;
        }
        if (regular) {
            // Content the old file's file system holds must leave room there
            // for the file to grow, as a plain write would; where it cannot
            // move, the write finds out.
            (void)staged_.keepRoomOn(target_.existing->st_dev, staged_.size() - target_.existing->st_size);
        }
        writeInPlace(target_, staged_, std::move(locked));
        // Renamed over while it was written, it is written again where the name leads now.
        return regular && !stillNamed() ? Placed::lookAgain : Placed::written;
    }

    // Whether the name still leads to the file the run locked.
    [[nodiscard]] bool stillNamed() const
    {
        return namesFile(target_.directory.get(), target_.entry.c_str(), *target_.existing);
    }

    [[nodiscard]] int syncDirectory() const noexcept
    {
        const int earlier = target_.directorySyncErrno;
        return earlier != 0 ? earlier : initHashData::syncDirectory(target_.directory.get());
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

// SPDX-License-Identifier: MIT
#pragma once
// The output's replacement: what the rest of the tool uses of it.

#include "fileIo/failure.hpp"
#include "fileIo/uniqueFd.hpp"
#include "replacement/fileMetadata.hpp"
#include "replacement/pathWalk.hpp"
#include "replacement/stagedFile.hpp"

#include <chrono>
#include <optional>
#include <string>

namespace initHashData {

// The new content of a file, staged aside and put in place by commit(); the
// manual page states the whole contract.
//
// Until commit() the file is untouched. Where it can, commit() renames the
// staged file over the target, so that a crash leaves it entirely old or
// entirely new, carrying what a write would keep (fileMetadata.hpp); a new
// file is staged as open(O_CREAT) with mode 0666 makes one. Otherwise the
// content is held in memory and written into the old file itself
// (inPlaceWrite.hpp). Links are followed as pathWalk.hpp says. A staging name
// outlives neither the object nor a signal that can be caught, and a Failure
// says whether the target is as it was.
class ReplacementFile {
public:
    // Throws Failure when the target cannot or may not be replaced, before
    // staging anything.
    explicit ReplacementFile(const std::string& name);
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    ReplacementFile(ReplacementFile&&) = delete;
    ReplacementFile& operator=(ReplacementFile&&) = delete;
    ~ReplacementFile() = default;

    // Where the new content is written.
    int fd() const noexcept { return inMemory_ ? inMemory_.get() : staged_.fd(); }

    // The file that receives the content: the name given, or the end of its
    // chain of symbolic links.
    const std::string& target() const noexcept { return target_.displayName; }

    // Puts the staged content in place durably. Throws Failure, whose outcome
    // says whether the target is as it was. Returns 0, or the errno for which
    // the directory could not be synced once the new content was in place.
    int commit();

private:
    // How the content is put in place: renamed over the target; linked under
    // the target's name, where none is there yet and an append-only directory
    // lets names be added but not replaced or removed; or written into the
    // old file itself.
    enum class Strategy { renameOver, linkAsNew, writeInPlace };
    // `writable`: the old file is open for writing, which proved the right to write it.
    Strategy chooseStrategy(bool writable = false) const;
    // Gives the empty staged file the old file's flags and hints, which some
    // file systems take only now; false where it does not take them.
    bool carryFlagsWhileEmpty();
    // Locks the file the entry names now (none for a new file, or a node that
    // is fed rather than replaced), holds one that took the old one's place to
    // the checks that the old one passed, and decides again how to write it.
    UniqueFd lockTarget(std::chrono::steady_clock::time_point deadline);
    // Puts the content in place while the lock is held; nothing where another
    // file took the name first, so that the decision must be made again.
    std::optional<int> commitLocked(UniqueFd& locked);
    // Gives the staged file the metadata of `old`, the locked old file, or a
    // new file's where there is none now; false where only `old` can keep it.
    bool giveStagedItsMetadata(int old);
    // Stages the content, from memory or the staged file, again as open()
    // would make a new file, for an old file that went during the run.
    void restageAsNew();
    std::optional<int> renameOver(UniqueFd& locked);
    // Writes the content into the old file from memory; a staged file beside
    // it is closed first, so that the room it took is free for the write.
    void writeStagedInPlace(UniqueFd locked);

    int syncDirectory() const noexcept;

    OutputTarget target_;
    Strategy strategy_;
    StagedFile staged_;
    // Made as a new file (open's mode), not as a replacement (private).
    bool stagedAsNew_ = false;
    // The flags of the staged file, where known.
    std::optional<InodeFlags> stagedFlags_;
    // The content of an in-place write; none while it is staged beside the target.
    UniqueFd inMemory_;
};

} // namespace initHashData

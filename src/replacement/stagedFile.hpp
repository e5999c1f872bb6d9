// SPDX-License-Identifier: MIT
#pragma once

#include "fileIo/uniqueFd.hpp"

#include <string>

namespace initHashData {

// Where the new content of the output waits until it is put in place. The
// run writes it through fd() wherever it is:
// - beside the target, in its directory, so that it can be renamed over the
//   target or linked under its name: an unnamed temporary file (O_TMPFILE)
//   where the file system has them, else one under a hidden staging name,
//   ".<entry>.<16 hex digits>";
// - aside, in memory, for a write in place, so that the write needs room on
//   the target's file system alone.
// Beside a new file it is made as open(O_CREAT) with mode 0666 makes one (the
// umask or the directory's default ACL applied by the kernel), which is
// harmless while it has no name; beside an existing file it is private (0600)
// until it takes that file's metadata. A file beside the target is write
// locked from the start until the object goes (targetLock.hpp). A staging
// name it holds is removed when the object goes, or when a signal that can be
// caught ends the process, unless it was put in place. Returns errnos and
// throws nothing.
class StagedFile {
public:
    // Nowhere: not staged yet, or in a file that can no longer be linked.
    enum class Place { nowhere, besideAsNew, besideAsReplacement, aside };

    // `directory`, open, must outlive the object; `entry` is the target's name in it.
    StagedFile(int directory, std::string entry) noexcept;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    StagedFile(StagedFile&&) = delete;
    StagedFile& operator=(StagedFile&&) = delete;
    ~StagedFile() { discard(); }

    // Moves the content written so far to `place`, making the file there; a
    // staging name is given beside the target only where `namedAllowed` (a
    // directory that keeps every name must not see one). Returns 0 or the
    // errno; the content then stays where it was, without any staging name.
    int moveTo(Place place, bool namedAllowed);
    Place place() const noexcept { return place_; }
    int fd() const noexcept { return fd_.get(); }

    // Puts the file at the entry: renamed over the file there where
    // `replace`; else, only while the name is free, linked there at once (an
    // unnamed file) or renamed there (a named one). The signals that end a
    // process are held back while a staging name lives. Returns 0 or the
    // errno; `nameGiven` says whether a staging name was given and the rename
    // tried.
    int putAtEntry(bool replace, bool& nameGiven);

    // Removes the staging name, if any, and closes the file, whose room is then free.
    void discard() noexcept;

private:
    int makeBeside(Place place, bool namedAllowed);
    int makeAside();
    int linkAs(const std::string& name) const;
    // Gives the file a staging name made by `make(name)` (0 or the errno) and
    // records it for removal. Call with the signals held back.
    template <class Make> int takeName(Make make);
    // Removes the staging files that runs of this user's which have ended
    // left under the names every run tries first.
    void removeLeftOvers() const;
    void removeName() noexcept;

    int directory_;
    std::string entry_;
    UniqueFd fd_;
    std::string name_;
    Place place_ = Place::nowhere;
};

} // namespace initHashData

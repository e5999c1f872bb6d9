// SPDX-License-Identifier: MIT
#pragma once

#include "fileIo/uniqueFd.hpp"
#include "replacement/mappedContent.hpp"

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace initHashData {

// Where the new content of the output waits until it is put in place. The
// run writes it through write() wherever it is:
// - beside the target, in its directory, so that it can be renamed over the
//   target or linked under its name: an unnamed temporary file (O_TMPFILE)
//   where the file system has them and the process may link them, else one
//   under a hidden staging name, ".<entry>.<16 hex digits>";
// - aside, for a write in place, where it costs no one else: an unnamed
//   temporary file that can never be linked (O_TMPFILE|O_EXCL, mode 0600) in
//   a disk-backed /var/tmp or /tmp, the one with the most room first, moving
//   on to the next when one fills up; in memory (mappedContent.hpp) only
//   where no disk has room.
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
    enum class Place { nowhere, besideAsNew, besideAsReplacement, asideOnDisk, inMemory };

    // `directory`, open, must outlive the object; `entry` is the target's name in it.
    StagedFile(int directory, std::string entry) noexcept;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    StagedFile(StagedFile&&) = delete;
    StagedFile& operator=(StagedFile&&) = delete;
    ~StagedFile() { discard(); }

    // Moves the content written so far to `place`, making the file there; a
    // staging name is given beside the target only where `namedAllowed` (a
    // directory that keeps every name must not see one). Asked for
    // asideOnDisk, it ends in memory where no disk has room. Returns 0 or the
    // errno; the content then stays where it was, without any staging name.
    [[nodiscard]] int moveTo(Place place, bool namedAllowed);
    Place place() const noexcept { return place_; }
    bool isAside() const noexcept { return place_ == Place::asideOnDisk || place_ == Place::inMemory; }
    // The file beside the target, to give it metadata; -1 where there is none.
    int fd() const noexcept { return place_ == Place::inMemory ? -1 : fd_.get(); }

    // Appends `bytes`; content aside moves on where its disk fills up.
    // Returns 0 or the errno.
    [[nodiscard]] int write(std::string_view bytes);
    // Writes bytes `from` to `to` of the content to `out` at its file offset,
    // adding to `copied` what went out. Returns 0 or the errno.
    [[nodiscard]] int copyTo(int out, off_t from, off_t to, off_t& copied) const noexcept;
    // The size of the content, or -1 with errno set.
    [[nodiscard]] off_t size() const noexcept;
    // Moves content aside off the file system `device` where that has less
    // than `room` bytes free, so that a write in place there can grow by
    // `room`. Returns 0 or the errno.
    [[nodiscard]] int keepRoomOn(dev_t device, off_t room);

    // What putAtEntry did: 0 or the errno, and whether a staging name was
    // given and the rename tried; or nothing, for the kernel or a sandbox
    // refused to link an unnamed file (`restage`): the content is then
    // nowhere, to be moved to a named file and put again.
    struct Put {
        int errnum;
        bool nameGiven;
        bool restage = false;
    };
    // Puts the file at the entry: renamed over the file there where
    // `replace`; else, only while the name is free, linked there at once (an
    // unnamed file) or renamed there (a named one). The signals that end a
    // process are held back while a staging name lives.
    [[nodiscard]] Put putAtEntry(bool replace);

    // Removes the staging name, if any, and closes the file, whose room is then free.
    void discard() noexcept;

private:
    [[nodiscard]] int makeBeside(Place place, bool namedAllowed);
    // Makes the file aside, on the disk with the most room that has not
    // filled up, and copies the file `content` there; in memory where none
    // takes it.
    [[nodiscard]] int makeAside(int content);
    // Moves the content aside from the file it is in now, or from none.
    [[nodiscard]] int moveAside();
    // Gives the file a staging name made by `make(name)` (0 or the errno) and
    // records it for removal. Call with the signals held back.
    template <class Make> [[nodiscard]] int takeName(Make make);
    void removeName() noexcept;
    // What a link of the unnamed file that answered `errnum` did: where it
    // was refused, unnamed files are made no more.
    [[nodiscard]] Put linkedUnnamed(int errnum) noexcept;

    int directory_;
    std::string entry_;
    UniqueFd fd_;
    MappedContent memory_;
    // The file systems aside that filled up during this run.
    std::vector<dev_t> full_;
    std::string name_;
    Place place_ = Place::nowhere;
    // Whether an unnamed file can be linked beside the target: false once a
    // sandbox refused it (ENOSYS, EPERM, EACCES), as a plain write never links.
    bool unnamedLinkable_ = true;
};

} // namespace initHashData

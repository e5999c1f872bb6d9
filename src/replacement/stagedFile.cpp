// SPDX-License-Identifier: MIT
#include "replacement/stagedFile.hpp"

#include "fileIo/systemCall.hpp"
#include "pathWalk/pathWalk.hpp"
#include "replacement/diskRoom.hpp"
#include "replacement/signalCleanup.hpp"
#include "replacement/stagingName.hpp"
#include "replacement/targetLock.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <utility>

namespace initHashData {

namespace {

constexpr mode_t creationMode = 0666;
constexpr mode_t privateMode = 0600;
// How often a staging name is drawn again while the names drawn are taken.
constexpr int nameAttempts = 100;

// Older kernels and some file systems have no unnamed files, and say so with
// one of these; a sandbox may refuse them even for a new file, where a named
// one meets any true denial again.
bool isUnnamedMissing(int errnum) noexcept
{
    return errnum == EOPNOTSUPP || errnum == EISDIR || errnum == EINVAL || isRefusedCall(errnum);
}

// Appends `bytes` to the file `out` at its file offset; 0 or the errno.
[[nodiscard]] int appendTo(int out, std::string_view bytes) noexcept
{
    std::size_t written = 0;
    return writeAll(out, bytes.data(), bytes.size(), written);
}

} // namespace

StagedFile::StagedFile(int directory, std::string entry) noexcept : directory_(directory), entry_(std::move(entry)) {}

int StagedFile::moveTo(Place place, bool namedAllowed)
{
    if (place == Place::asideOnDisk || place == Place::inMemory) {
        return isAside() ? 0 : moveAside();
    }
    if (place == place_) {
        return 0;
    }
    // The name goes first: one name at a time is recorded for removal on a signal.
    removeName();
    UniqueFd content = std::move(fd_);
    MappedContent inMemory = std::move(memory_);
    const Place from = std::exchange(place_, Place::nowhere);
    int errnum = makeBeside(place, namedAllowed);
    if (errnum == 0) {
        errnum = readWhole(content.get(), inMemory.view(),
                           [this](std::string_view bytes) { return appendTo(fd_.get(), bytes); });
        place_ = place;
    }
    if (errnum != 0) {
        discard();
        fd_ = std::move(content);
        memory_ = std::move(inMemory);
        place_ = from;
    }
    return errnum;
}

int StagedFile::makeAside(int content)
{
    for (const AsideDisk& disk : asideDisks(full_)) {
        // Unnamed, and never to be linked (O_EXCL): only this run can reach
        // it, and nothing is left if the run is killed.
        fd_.reset(::open(disk.directory, O_TMPFILE | O_EXCL | O_RDWR | O_CLOEXEC, privateMode));
        if (!fd_) {
            continue;
        }
        const int errnum = readWhole(content, {}, [this](std::string_view bytes) {
            std::size_t written = 0;
            return appendAside(fd_.get(), bytes, written);
        });
        if (errnum == 0) {
            place_ = Place::asideOnDisk;
            return 0;
        }
        fd_.reset();
        if (!isFullAside(errnum)) {
            return errnum;
        }
        full_.push_back(disk.device);
    }
    const int errnum = readWhole(content, {}, [this](std::string_view bytes) { return memory_.append(bytes); });
    if (errnum != 0) {
        memory_.release();
        return errnum;
    }
    place_ = Place::inMemory;
    return 0;
}

int StagedFile::moveAside()
{
    removeName();
    UniqueFd content = std::move(fd_);
    const Place from = std::exchange(place_, Place::nowhere);
    const int errnum = makeAside(content.get());
    if (errnum != 0) {
        fd_ = std::move(content);
        place_ = from;
    }
    return errnum;
}

int StagedFile::write(std::string_view bytes)
{
    for (;;) {
        if (place_ == Place::inMemory) {
            return memory_.append(bytes);
        }
        std::size_t written = 0;
        int errnum = place_ == Place::asideOnDisk ? appendAside(fd_.get(), bytes, written)
                                                  : writeAll(fd_.get(), bytes.data(), bytes.size(), written);
        struct stat st {};
        if (errnum == 0 || place_ != Place::asideOnDisk || !isFullAside(errnum) || ::fstat(fd_.get(), &st) != 0) {
            return errnum;
        }
        // The disk filled up: the content moves on, to another disk or to memory.
        bytes.remove_prefix(written);
        full_.push_back(st.st_dev);
        if (errnum = moveAside(); errnum != 0) {
            return errnum;
        }
    }
}

int StagedFile::copyTo(int out, off_t from, off_t to, off_t& copied) const noexcept
{
    if (place_ != Place::inMemory) {
        return copyRange(out, fd_.get(), from, to, copied);
    }
    std::size_t written = 0;
    const std::string_view content = memory_.view();
    const int errnum = writeAll(out, content.data() + from, static_cast<std::size_t>(to - from), written);
    copied += static_cast<off_t>(written);
    return errnum;
}

off_t StagedFile::size() const noexcept
{
    struct stat st {};
    if (place_ == Place::inMemory) {
        return static_cast<off_t>(memory_.view().size());
    }
    return ::fstat(fd_.get(), &st) == 0 ? st.st_size : -1;
}

int StagedFile::keepRoomOn(dev_t device, off_t room)
{
    struct stat st {};
    struct statfs fs {};
    if (place_ == Place::inMemory || room <= 0 || ::fstat(fd_.get(), &st) != 0 || st.st_dev != device ||
        ::fstatfs(fd_.get(), &fs) != 0 || roomOf(fd_.get(), fs) >= static_cast<std::uint64_t>(room)) {
        return 0;
    }
    full_.push_back(device);
    return moveAside();
}

int StagedFile::makeBeside(Place place, bool namedAllowed)
{
    const mode_t mode = place == Place::besideAsNew ? creationMode : privateMode;
    if (unnamedLinkable_) {
        fd_.reset(::openat(directory_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
        if (fd_) {
            (void)lockOwnFile(fd_.get()); // no other process can reach a file without a name
            removeLeftOvers(directory_, entry_, name_);
            return 0;
        }
        if (!isUnnamedMissing(errno)) {
            return errno;
        }
    }
    if (!namedAllowed) {
        return EPERM;
    }
    // The content is written under this name, signals free to come.
    const CleanupSignalsBlocked blocked;
    // Locked at once; a name that another run removed as a leftover in the
    // meantime, taking its lock first, is given up.
    const int errnum = takeName([this, mode](const std::string& name) {
        fd_.reset(::openat(directory_, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, mode));
        struct stat opened {};
        if (fd_ && (!lockOwnFile(fd_.get()) || ::fstat(fd_.get(), &opened) != 0 ||
                    !namesFile(directory_, name.c_str(), opened))) {
            fd_.reset();
            return EEXIST;
        }
        return fd_ ? 0 : errno;
    });
    if (errnum == 0) {
        removeLeftOvers(directory_, entry_, name_);
        removeOnSignal();
    }
    return errnum;
}

template <class Make> int StagedFile::takeName(Make make)
{
    for (int attempt = 0; attempt < stagingSlots + nameAttempts; ++attempt) {
        const std::string name = stagingName(entry_, attempt);
        const int errnum = make(name);
        if (errnum == 0) {
            recordForRemoval(directory_, name.c_str());
            name_ = name;
            return 0;
        }
        if (errnum != EEXIST) {
            return errnum;
        }
    }
    return EEXIST;
}

StagedFile::Put StagedFile::putAtEntry(bool replace)
{
    // An unnamed file for a free name is linked there at once: the link
    // refuses a taken name, and no staging name is ever made.
    if (!replace && name_.empty()) {
        return linkedUnnamed(linkByDescriptor(fd_.get(), directory_, entry_.c_str()));
    }
    // A staging name lives from the link to the rename, with the signals held
    // back: none can end the run while it is there.
    const CleanupSignalsBlocked blocked;
    const auto link = [this](const std::string& name) { return linkByDescriptor(fd_.get(), directory_, name.c_str()); };
    if (const int errnum = name_.empty() ? takeName(link) : 0; errnum != 0) {
        return linkedUnnamed(errnum);
    }
    const int errnum = renameWithin(directory_, name_.c_str(), entry_.c_str(), replace);
    if (errnum != 0) {
        // A file whose last link is gone cannot be linked again: the
        // content must move to a new file before it can be put in place.
        removeName();
        place_ = Place::nowhere;
    }
    forgetRemoval();
    name_.clear();
    return {errnum, true};
}

StagedFile::Put StagedFile::linkedUnnamed(int errnum) noexcept
{
    if (!isRefusedCall(errnum)) {
        return {errnum, false};
    }
    // The content stays readable in the file that cannot be linked, for the
    // move to one with a name.
    unnamedLinkable_ = false;
    place_ = Place::nowhere;
    return {errnum, false, true};
}

void StagedFile::removeName() noexcept
{
    if (name_.empty()) {
        return;
    }
    const CleanupSignalsBlocked blocked;
    ::unlinkat(directory_, name_.c_str(), 0);
    forgetRemoval();
    name_.clear();
}

void StagedFile::discard() noexcept
{
    removeName();
    fd_.reset();
    memory_.release();
    place_ = Place::nowhere;
}

} // namespace initHashData

// SPDX-License-Identifier: MIT
#pragma once

#include "fileIo/uniqueFd.hpp"

#include <sys/types.h>

#include <string>
#include <utility>

namespace initHashData {

// A hidden name for a file beside `entry`: ".<entry>.<random suffix>", the
// entry cut short where the whole would be too long a name.
std::string stagingName(const std::string& entry);

// How often a staging name is drawn again while the names drawn are taken.
inline constexpr int stagingNameAttempts = 100;

// Whether creating an unnamed file failed for want of them: older kernels and
// some file systems have none.
bool isUnnamedMissing(int errnum) noexcept;

// The new content of `entry` in an open directory: an unnamed file where the
// file system has them, else a file under a staging name. A name it holds is
// removed when the object goes, or when a signal that can be caught ends the
// process, unless it was renamed into place.
class StagedFile {
public:
    explicit StagedFile(std::string entry) noexcept : entry_(std::move(entry)) {}
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    StagedFile(StagedFile&&) = delete;
    StagedFile& operator=(StagedFile&&) = delete;
    ~StagedFile() { remove(); }

    // Creates the file in the open `directory`, which must outlive the
    // object, as open(O_CREAT) with `mode` would; named only where
    // `namedAllowed` (a directory that keeps every name given must not see
    // one). Returns 0 or the errno.
    int create(int directory, bool namedAllowed, mode_t mode);
    int fd() const noexcept { return fd_.get(); }

    // Links the file under `name` in the directory; returns 0 or the errno.
    int linkAs(const std::string& name) const;
    // Gives the file a staging name, where it has none; returns 0 or the
    // errno. With renameToEntry, call with the cleanup signals blocked
    // (signalCleanup.hpp): the name then lives while none can come.
    int giveName();
    // Renames the staging name to the entry, over a file there only where
    // `replace`; returns 0 or the errno, and then holds no name.
    int renameToEntry(bool replace);
    // Removes the staging name it holds, if any.
    void remove() noexcept;
    // Removes the name and closes the file, whose room is then free.
    void discard() noexcept
    {
        remove();
        fd_.reset();
    }

private:
    // Gives the file a staging name made by `make(name)` (0 or the errno),
    // and records it for removal; returns 0 or the errno. Call with the
    // cleanup signals blocked.
    template <class Make> int takeName(Make make);

    int directory_ = -1;
    std::string entry_;
    UniqueFd fd_;
    std::string name_;
};

} // namespace initHashData

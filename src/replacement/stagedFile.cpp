// SPDX-License-Identifier: MIT
#include "replacement/stagedFile.hpp"

#include "replacement/signalCleanup.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>

namespace initHashData {

namespace {

constexpr std::size_t suffixLength = 16;

std::string randomSuffix()
{
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        static std::uint64_t counter = 0;
        bits = (static_cast<std::uint64_t>(::getpid()) << 32) ^ ++counter;
    }
    char text[suffixLength + 1];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

// renameat, over a file at `to` only where `replace`; a file system that
// cannot refuse to replace is asked to rename all the same.
int renameWithin(int directory, const char* from, const char* to, bool replace)
{
    if (!replace) {
        const int renamed = ::renameat2(directory, from, directory, to, RENAME_NOREPLACE);
        if (renamed == 0 || errno != EINVAL) {
            return renamed;
        }
    }
    return ::renameat(directory, from, directory, to);
}

} // namespace

std::string stagingName(const std::string& entry)
{
    return "." + entry.substr(0, NAME_MAX - suffixLength - 2) + "." + randomSuffix();
}

bool isUnnamedMissing(int errnum) noexcept { return errnum == EOPNOTSUPP || errnum == EISDIR || errnum == EINVAL; }

int StagedFile::create(int directory, bool namedAllowed, mode_t mode)
{
    directory_ = directory;
    fd_.reset(::openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
    if (fd_) {
        return 0;
    }
    if (!isUnnamedMissing(errno)) {
        return errno;
    }
    if (!namedAllowed) {
        return EPERM;
    }
    // The content is written under this name, signals free to come.
    const CleanupSignalsBlocked blocked;
    const int errnum = takeName([this, mode](const std::string& name) {
        fd_.reset(::openat(directory_, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, mode));
        return fd_ ? 0 : errno;
    });
    if (errnum == 0) {
        removeOnSignal();
    }
    return errnum;
}

template <class Make> int StagedFile::takeName(Make make)
{
    for (int attempt = 0; attempt < stagingNameAttempts; ++attempt) {
        const std::string name = stagingName(entry_);
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

int StagedFile::linkAs(const std::string& name) const
{
    const std::string procPath = "/proc/self/fd/" + std::to_string(fd_.get());
    if (::linkat(AT_FDCWD, procPath.c_str(), directory_, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return 0;
    }
    // Without /proc: the same, for processes allowed to link by descriptor.
    if (errno == ENOENT && ::linkat(fd_.get(), "", directory_, name.c_str(), AT_EMPTY_PATH) == 0) {
        return 0;
    }
    return errno;
}

int StagedFile::giveName()
{
    return name_.empty() ? takeName([this](const std::string& name) { return linkAs(name); }) : 0;
}

int StagedFile::renameToEntry(bool replace)
{
    if (renameWithin(directory_, name_.c_str(), entry_.c_str(), replace) != 0) {
        const int errnum = errno;
        remove();
        return errnum;
    }
    forgetRemoval();
    name_.clear();
    return 0;
}

void StagedFile::remove() noexcept
{
    if (name_.empty()) {
        return;
    }
    const CleanupSignalsBlocked blocked;
    ::unlinkat(directory_, name_.c_str(), 0);
    forgetRemoval();
    name_.clear();
}

} // namespace initHashData

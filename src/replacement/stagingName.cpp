// SPDX-License-Identifier: MIT
#include "replacement/stagingName.hpp"

#include "fileIo/uniqueFd.hpp"
#include "pathWalk/pathWalk.hpp"
#include "replacement/targetAccess.hpp"
#include "replacement/targetLock.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <ctime>

namespace initHashData {

namespace {

constexpr std::size_t suffixLength = 16;

// splitmix64's finaliser: every bit of `x` reaches every bit of the result.
std::uint64_t mixed(std::uint64_t x)
{
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9U;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebU;
    return x ^ (x >> 31);
}

std::uint64_t randomBits()
{
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        // Without getrandom (an older kernel, a sandbox), what another user
        // cannot foresee so as to take the names first: the clock to the
        // nanosecond, and where the stack lies.
        static std::uint64_t counter = 0;
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        bits = mixed((static_cast<std::uint64_t>(::getpid()) << 32) ^ ++counter) ^
               mixed(static_cast<std::uint64_t>(now.tv_sec) * 1000000000U + static_cast<std::uint64_t>(now.tv_nsec)) ^
               mixed(reinterpret_cast<std::uintptr_t>(&now));
    }
    return bits;
}

// Sets the last 16 bytes of `name` to the hex digits of `bits`.
void setSuffix(std::string& name, std::uint64_t bits)
{
    for (auto digit = name.rbegin(); digit != name.rbegin() + suffixLength; ++digit, bits >>= 4) {
        *digit = "0123456789abcdef"[bits & 0xf];
    }
}

// The bits of this user's slot `slot`.
std::uint64_t slotBits(int slot)
{
    return mixed(((static_cast<std::uint64_t>(::geteuid()) << 8) | static_cast<std::uint64_t>(slot)) ^
                 0x9e3779b97f4a7c15U);
}

// Removes the staging file at `name` that a run which has ended left behind:
// a regular file with one link, whose write lock no live run holds (the
// remover takes it while it removes the name). Where `anyOwner`, no other
// user can have made the name, and a run killed after it gave the file the
// old file's owner left it as surely as one killed before; elsewhere only a
// file of this user's is taken for one. It is looked at before it is opened,
// so that another user's file, a link, a FIFO or a device is not even opened.
void removeIfLeftOver(int directory, const std::string& name, bool anyOwner)
{
    struct stat named {};
    if (::fstatat(directory, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode) ||
        (!anyOwner && named.st_uid != ::geteuid()) || named.st_nlink != 1) {
        return;
    }
    const UniqueFd file(::openat(directory, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened {};
    if (file && ::fstat(file.get(), &opened) == 0 && sameFile(opened, named) && opened.st_nlink == 1 &&
        lockUnheld(file.get()) && namesFile(directory, name.c_str(), opened)) {
        ::unlinkat(directory, name.c_str(), 0);
    }
}

} // namespace

std::string stagingName(const std::string& entry, int attempt)
{
    std::string name(1, '.');
    name.reserve(NAME_MAX);
    name.append(entry, 0, NAME_MAX - suffixLength - 2).append(1, '.').append(suffixLength, '0');
    setSuffix(name, attempt < stagingSlots ? slotBits(attempt) : randomBits());
    return name;
}

void removeLeftOvers(int directory, const std::string& entry, const std::string& own)
{
    std::string name = stagingName(entry, 0);
    const bool anyOwner = !othersMayAddNames(directory);
    for (int slot = 0; slot < stagingSlots; ++slot) {
        setSuffix(name, slotBits(slot));
        // Its own name is not a leftover, even where POSIX locks, which a
        // process never meets with its own, stand in for descriptors' locks.
        if (name != own) {
            removeIfLeftOver(directory, name, anyOwner);
        }
    }
}

} // namespace initHashData

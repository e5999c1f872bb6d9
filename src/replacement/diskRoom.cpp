// SPDX-License-Identifier: MIT
#include "replacement/diskRoom.hpp"

#include "fileIo/procFile.hpp"
#include "fileIo/systemCall.hpp"

#include <linux/capability.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <string_view>

namespace initHashData {

namespace {

std::uint64_t unitOf(const struct statfs& fs) noexcept
{
    return static_cast<std::uint64_t>(fs.f_frsize > 0 ? fs.f_frsize : fs.f_bsize);
}

// Whether ext4 keeps its reserved blocks for this process: its resuid or
// resgid, which the kernel shows among the options of the mounted device.
bool reservedForUs(int fd)
{
    struct stat st {};
    std::array<char, 256> link{};
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    const std::string device =
        "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ':' + std::to_string(minor(st.st_dev));
    const ssize_t length = ::readlink(device.c_str(), link.data(), link.size() - 1);
    if (length <= 0) {
        return false;
    }
    const std::string_view target(link.data(), static_cast<std::size_t>(length));
    const std::string options =
        readSmallFile("/proc/fs/ext4/" + std::string(target.substr(target.rfind('/') + 1)) + "/options");
    constexpr std::uint64_t none = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t user = valueAfter(options, "resuid=", 1, none);
    const std::uint64_t group = valueAfter(options, "resgid=", 1, none);
    // The kernel never lets the root group in by resgid.
    if (user == ::geteuid() || (group != 0 && group == ::getegid())) {
        return true;
    }
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    const int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
    return group != 0 && count > 0 &&
           std::find(groups.begin(), groups.begin() + count, group) != groups.begin() + count;
}

// The temporary directories that may hold content aside.
constexpr std::array<const char*, 2> asideDirectories{"/var/tmp", "/tmp"};

} // namespace

bool hasCapability(int capability)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    return ::syscall(SYS_capget, &header, data) == 0 &&
           (data[CAP_TO_INDEX(capability)].effective & CAP_TO_MASK(capability)) != 0;
}

unsigned long long usableBlocks(int fd, const struct statfs& fs) noexcept
{
    if (fs.f_bfree <= fs.f_bavail || ::geteuid() == 0 || hasCapability(CAP_SYS_RESOURCE)) {
        return fs.f_bfree;
    }
    try {
        return static_cast<unsigned long>(fs.f_type) == EXT4_SUPER_MAGIC && reservedForUs(fd) ? fs.f_bfree
                                                                                              : fs.f_bavail;
    } catch (...) {
        return fs.f_bavail;
    }
}

std::uint64_t roomOf(int fd, const struct statfs& fs) noexcept
{
    return static_cast<std::uint64_t>(usableBlocks(fd, fs)) * unitOf(fs);
}

std::uint64_t asideRoom(const struct statfs& fs) noexcept
{
    const std::uint64_t spared = std::max<std::uint64_t>(std::uint64_t{64} << 20, fs.f_blocks * unitOf(fs) / 20);
    const std::uint64_t room = fs.f_bavail * unitOf(fs);
    return room > spared ? room - spared : 0;
}

std::vector<AsideDisk> asideDisks(const std::vector<dev_t>& full)
{
    std::vector<AsideDisk> disks;
    const auto seen = [&disks, &full](dev_t device) {
        return std::find(full.begin(), full.end(), device) != full.end() ||
               std::any_of(disks.begin(), disks.end(),
                           [device](const AsideDisk& other) { return other.device == device; });
    };
    for (const char* directory : asideDirectories) {
        struct statfs fs {};
        struct stat st {};
        if (::statfs(directory, &fs) != 0 || ::stat(directory, &st) != 0 || (fs.f_flags & ST_RDONLY) != 0) {
            continue;
        }
        // A file system in memory would hold the content where nothing
        // counts it as this process's: memory is then taken as its own.
        const auto type = static_cast<unsigned long>(fs.f_type);
        if (type != TMPFS_MAGIC && type != RAMFS_MAGIC && !seen(st.st_dev)) {
            disks.push_back({directory, st.st_dev, asideRoom(fs)});
        }
    }
    std::stable_sort(disks.begin(), disks.end(),
                     [](const AsideDisk& a, const AsideDisk& b) { return a.room > b.room; });
    std::erase_if(disks, [](const AsideDisk& disk) { return disk.room == 0; });
    return disks;
}

bool lacksRoomInPlace(int fd, const struct statfs& fs, off_t newSize, blkcnt_t heldBlocks) noexcept
{
    if (fs.f_bsize <= 0) {
        return false; // the reservation will tell
    }
    const unsigned long long unit = unitOf(fs);
    const unsigned long long needed = (static_cast<unsigned long long>(newSize) + unit - 1) / unit;
    const unsigned long long held = static_cast<unsigned long long>(heldBlocks) * 512 / unit;
    return needed > 1 && needed > held + usableBlocks(fd, fs);
}

int appendAside(int out, std::string_view bytes, std::size_t& written) noexcept
{
    struct statfs fs {};
    if (::fstatfs(out, &fs) == 0 && asideRoom(fs) < bytes.size()) {
        return ENOSPC;
    }
    return writeAll(out, bytes.data(), bytes.size(), written);
}

} // namespace initHashData

// SPDX-License-Identifier: MIT
#include "replacement/inodeFlags.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>

namespace initHashData {

namespace {

// The extended flags a write keeps that only FS_IOC_FSSETXATTR sets; the
// others mirror inode flags.
constexpr std::uint32_t carriedExtendedFlags =
    FS_XFLAG_REALTIME | FS_XFLAG_EXTSIZE | FS_XFLAG_NODEFRAG | FS_XFLAG_FILESTREAM | FS_XFLAG_COWEXTSIZE;

// What a file system without flags, or a layer that passes none on, answers.
bool isAbsent(int errnum)
{
    return errnum == ENOTTY || errnum == EINVAL || errnum == ENOTSUP || errnum == EOPNOTSUPP || errnum == ENOSYS;
}

// Whether the file system of the file open at `fd` keeps inode flags, as
// statx's attribute mask shows; also where statx cannot tell.
bool keepsInodeFlags(int fd)
{
    constexpr auto flagAttributes =
        STATX_ATTR_COMPRESSED | STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND | STATX_ATTR_NODUMP;
    struct statx status {};
    return ::statx(fd, "", AT_EMPTY_PATH, 0, &status) != 0 || (status.stx_attributes_mask & flagAttributes) != 0;
}

bool sameExtended(const InodeFlags& a, const InodeFlags& b)
{
    return (a.xflags & carriedExtendedFlags) == (b.xflags & carriedExtendedFlags) && a.projectId == b.projectId &&
           a.extentSize == b.extentSize && a.cowExtentSize == b.cowExtentSize;
}

bool sameCarried(const InodeFlags& a, const InodeFlags& b, int flagMask)
{
    return (a.flags & flagMask) == (b.flags & flagMask) && sameExtended(a, b);
}

// Reads the flags of `fd` back into `current`; false where they cannot be read.
bool readBack(int fd, InodeFlags& current)
{
    const std::optional<InodeFlags> now = readInodeFlags(fd);
    if (now) {
        current = *now;
    }
    return now.has_value();
}

} // namespace

std::optional<int> inodeFlags(int fd)
{
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        return flags;
    }
    // A file system without flags answers so; from one with them, the same
    // answer comes from a sandbox that refuses the ioctl, and hides flags
    // that a new file would lose.
    if (isAbsent(errno) && !keepsInodeFlags(fd)) {
        return 0;
    }
    return std::nullopt;
}

std::optional<InodeFlags> readInodeFlags(int fd)
{
    const std::optional<int> flags = inodeFlags(fd);
    if (!flags) {
        return std::nullopt;
    }
    InodeFlags result{*flags};
    struct fsxattr extended {};
    if (::ioctl(fd, FS_IOC_FSGETXATTR, &extended) == 0) {
        result.xflags = extended.fsx_xflags;
        result.projectId = extended.fsx_projid;
        result.extentSize = extended.fsx_extsize;
        result.cowExtentSize = extended.fsx_cowextsize;
    } else if (!isAbsent(errno)) {
        return std::nullopt;
    }
    return result;
}

bool carryInodeFlags(int fd, const InodeFlags& old, InodeFlags& current, int flagMask)
{
    if (sameCarried(old, current, flagMask)) {
        return true;
    }
    int flags = (current.flags & ~flagMask) | (old.flags & flagMask);
    // The inode flags show among the extended ones: set them first and read both again.
    if (flags != current.flags && (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0 || !readBack(fd, current))) {
        return false;
    }
    if (!sameExtended(old, current)) {
        struct fsxattr extended {};
        extended.fsx_xflags = (current.xflags & ~carriedExtendedFlags) | (old.xflags & carriedExtendedFlags);
        extended.fsx_projid = old.projectId;
        extended.fsx_extsize = old.extentSize;
        extended.fsx_cowextsize = old.cowExtentSize;
        if (::ioctl(fd, FS_IOC_FSSETXATTR, &extended) != 0 || !readBack(fd, current)) {
            return false;
        }
    }
    // Some file systems say yes to a flag and do not take it.
    return sameCarried(old, current, flagMask);
}

} // namespace initHashData

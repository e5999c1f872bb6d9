// SPDX-License-Identifier: MIT
#include "replacement/fileMetadata.hpp"

#include "replacement/diskRoom.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <vector>

namespace initHashData {

namespace {

constexpr const char* accessAcl = "system.posix_acl_access";
// The extended flags a write keeps that only FS_IOC_FSSETXATTR sets; the
// others mirror inode flags.
constexpr std::uint32_t carriedExtendedFlags =
    FS_XFLAG_REALTIME | FS_XFLAG_EXTSIZE | FS_XFLAG_NODEFRAG | FS_XFLAG_FILESTREAM | FS_XFLAG_COWEXTSIZE;

// A write drops file capabilities, and the integrity hashes no longer match the content.
bool isDropped(std::string_view name)
{
    return name == "security.capability" || name == "security.ima" || name == "security.evm";
}

bool isCarried(std::string_view name)
{
    return name == accessAcl || name.starts_with("user.") || name.starts_with("security.") ||
           name.starts_with("trusted.") || name.starts_with("btrfs.");
}

bool isUnsupported(int errnum) { return errnum == ENOTSUP || errnum == EOPNOTSUPP; }

// Calls `get(buffer, size)` (a listxattr or getxattr), growing the buffer while the value grows.
template <typename Get> [[nodiscard]] bool readSized(std::string& value, Get get)
{
    for (;;) {
        const ssize_t size = get(nullptr, 0);
        if (size < 0) {
            return false;
        }
        value.resize(static_cast<std::size_t>(size));
        const ssize_t got = get(value.data(), value.size());
        if (got >= 0) {
            value.resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE) {
            return false;
        }
    }
}

bool isAbsent(int errnum) { return errnum == ENOTTY || errnum == EINVAL || isUnsupported(errnum) || errnum == ENOSYS; }

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

// The kernel's rule for a write by a process without CAP_FSETID: set-user-ID
// goes, and set-group-ID where group execution is allowed. Where the writer
// is not of the file's group, fchmod itself drops set-group-ID.
mode_t modeAfterWrite(mode_t mode)
{
    if ((mode & (S_ISUID | S_ISGID)) == 0 || hasCapability(CAP_FSETID)) {
        return mode;
    }
    mode &= ~static_cast<mode_t>(S_ISUID);
    if ((mode & S_IXGRP) != 0) {
        mode &= ~static_cast<mode_t>(S_ISGID);
    }
    return mode;
}

// Drops an access ACL the file inherited; true where it has none now.
bool removeAccessAcl(int fd) { return ::fremovexattr(fd, accessAcl) == 0 || errno == ENODATA || isUnsupported(errno); }

// Whether a read failed because the process may not read it.
bool isDenied(int errnum) { return errnum == EACCES || errnum == EPERM; }

// Reads into `metadata` the attributes named in `names`, a listing of the
// file open at `fd`, that a new file carries. Returns 0 or the errno.
[[nodiscard]] int readAttributes(int fd, const std::string& names, FileMetadata& metadata)
{
    for (std::size_t begin = 0; begin < names.size();) {
        const std::string name = names.c_str() + begin;
        begin += name.size() + 1;
        if (isDropped(name)) {
            continue;
        }
        // Another kind of ACL (NFSv4's, a rich ACL) or a file system's own
        // attribute: only the old file keeps it.
        if (!isCarried(name)) {
            metadata.complete = false;
            continue;
        }
        std::string value;
        if (!readSized(value,
                       [&](char* buffer, std::size_t size) { return ::fgetxattr(fd, name.c_str(), buffer, size); })) {
            if (errno == ENODATA) {
                continue; // removed since it was listed
            }
            if (isDenied(errno) || isUnsupported(errno)) {
                metadata.complete = false;
                continue;
            }
            return errno;
        }
        metadata.attributes.emplace_back(name, std::move(value));
    }
    return 0;
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

int readMetadata(int fd, const struct stat& st, FileMetadata& metadata)
{
    metadata = FileMetadata{st.st_mode & 07777, st.st_uid, st.st_gid, {}, {}, true};
    // A FUSE layer may show owners and modes other than those it keeps
    // underneath (bindfs's --force-user, --perms): what it shows, and reads
    // back, proves nothing of what a new file would keep.
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0 || static_cast<unsigned long>(fs.f_type) == FUSE_SUPER_MAGIC) {
        metadata.complete = false;
        return 0;
    }
    const std::optional<InodeFlags> flags = readInodeFlags(fd);
    metadata.inode = flags.value_or(InodeFlags{});
    metadata.complete = flags.has_value();
    std::string names;
    if (!readSized(names, [&](char* buffer, std::size_t size) { return ::flistxattr(fd, buffer, size); })) {
        // A layer that refuses the listing (sshfs, 9p, NFSv3, many FUSE file
        // systems) may still keep an ACL and attributes underneath: hidden
        // ones cannot be told from none, so none are taken as carried.
        if (isDenied(errno) || isUnsupported(errno)) {
            metadata.complete = false;
            return 0;
        }
        return errno;
    }
    return readAttributes(fd, names, metadata);
}

namespace {

// Whether the file open at `fd` holds the value `value` of the attribute `name`.
bool holdsAttribute(int fd, const std::string& name, const std::string& value)
{
    std::string current;
    return readSized(current,
                     [&](char* buffer, std::size_t size) { return ::fgetxattr(fd, name.c_str(), buffer, size); }) &&
           current == value;
}

// Gives `fd` the old file's extended attributes; an old file without an
// access ACL leaves the new one without one too. False where one cannot be set.
bool carryAttributes(int fd, const std::vector<std::pair<std::string, std::string>>& attributes)
{
    bool hasAccessAcl = false;
    for (const auto& attribute : attributes) {
        const std::string& name = attribute.first;
        const std::string& value = attribute.second;
        hasAccessAcl = hasAccessAcl || name == accessAcl;
        // An equal label set at creation needs no permission to relabel.
        if (holdsAttribute(fd, name, value)) {
            continue;
        }
        if (::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0) {
            return false;
        }
    }
    return hasAccessAcl || removeAccessAcl(fd);
}

// Whether the file open at `fd` now carries all that `metadata` gave it:
// some layers answer chown, chmod or setxattr with success and keep nothing
// (a FUSE file system that ignores them, one that stores no ACL).
bool carriesAll(int fd, const FileMetadata& metadata)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_uid != metadata.owner || st.st_gid != metadata.group ||
        (st.st_mode & 07777) != modeAfterWrite(metadata.mode)) {
        return false;
    }
    bool hasAccessAcl = false;
    for (const auto& attribute : metadata.attributes) {
        hasAccessAcl = hasAccessAcl || attribute.first == accessAcl;
        if (!holdsAttribute(fd, attribute.first, attribute.second)) {
            return false;
        }
    }
    return hasAccessAcl || (::fgetxattr(fd, accessAcl, nullptr, 0) < 0 && (errno == ENODATA || isUnsupported(errno)));
}

} // namespace

bool applyMetadata(int fd, const FileMetadata& metadata)
{
    struct stat st {};
    if (!metadata.complete || ::fstat(fd, &st) != 0) {
        return false;
    }
    std::optional<InodeFlags> current = readInodeFlags(fd);
    if (!current) {
        return false;
    }
    // Only root may give a file away, and only a member may give it a group.
    if ((metadata.owner != st.st_uid || metadata.group != st.st_gid) &&
        ::fchown(fd, metadata.owner, metadata.group) != 0) {
        return false;
    }
    // The flags before the attributes, since setting them resets btrfs's
    // compression property; the mode last, since a change of owner clears
    // set-ID bits, and with an ACL the group bits are its mask.
    return carryInodeFlags(fd, metadata.inode, *current, carriedFlags) && carryAttributes(fd, metadata.attributes) &&
           ::fchmod(fd, modeAfterWrite(metadata.mode)) == 0 && carriesAll(fd, metadata);
}

} // namespace initHashData

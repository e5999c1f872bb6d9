// SPDX-License-Identifier: MIT
#include "replacement/fileMetadata.hpp"

#include "replacement/diskRoom.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/magic.h>
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

// SPDX-License-Identifier: MIT
#include "replacement/fileMetadata.hpp"

#include "fileIo/failure.hpp"
#include "fileIo/uniqueFd.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

namespace initHashData {

namespace {

constexpr const char* accessAcl = "system.posix_acl_access";
// The flags an open and a write leave on a file, and a new file lacks.
constexpr int carriedFlags = FS_SYNC_FL | FS_NODUMP_FL | FS_NOATIME_FL | FS_NOCOW_FL | FS_COMPR_FL | FS_NOCOMP_FL;

bool isCarried(std::string_view name)
{
    // A write drops file capabilities, and the integrity hashes no longer match the content.
    if (name == "security.capability" || name == "security.ima" || name == "security.evm") {
        return false;
    }
    return name == accessAcl || name.starts_with("user.") || name.starts_with("security.");
}

bool isUnsupported(int errnum) { return errnum == ENOTSUP || errnum == EOPNOTSUPP; }

// Calls `get(buffer, size)` (a listxattr or getxattr), growing the buffer while the value grows.
template <typename Get> bool readSized(std::string& value, Get get)
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

bool carryFlags(int fd, int oldFlags)
{
    const std::optional<int> current = inodeFlags(fd);
    if (!current) {
        return false;
    }
    int wanted = (*current & ~carriedFlags) | (oldFlags & carriedFlags);
    return wanted == *current || ::ioctl(fd, FS_IOC_SETFLAGS, &wanted) == 0;
}

bool inGroup(gid_t group)
{
    if (::getegid() == group) {
        return true;
    }
    gid_t groups[NGROUPS_MAX];
    const int count = ::getgroups(NGROUPS_MAX, groups);
    return std::find(groups, groups + std::max(count, 0), group) != groups + std::max(count, 0);
}

// The kernel's rule for a write by a process without CAP_FSETID: set-user-ID
// goes, and set-group-ID where group execution is allowed or the writer is
// not of the file's group.
mode_t modeAfterWrite(mode_t mode, gid_t group)
{
    if ((mode & (S_ISUID | S_ISGID)) == 0 || hasCapability(CAP_FSETID)) {
        return mode;
    }
    mode &= ~static_cast<mode_t>(S_ISUID);
    if ((mode & S_IXGRP) != 0 || !inGroup(group)) {
        mode &= ~static_cast<mode_t>(S_ISGID);
    }
    return mode;
}

void setMode(int fd, mode_t mode, const std::string& displayName)
{
    if (::fchmod(fd, mode) != 0) {
        throw systemFailure("cannot set the permissions of", displayName, errno);
    }
}

void removeAccessAcl(int fd, const std::string& displayName)
{
    if (::fremovexattr(fd, accessAcl) != 0 && errno != ENODATA && !isUnsupported(errno)) {
        throw systemFailure("cannot carry the access ACL to", displayName, errno);
    }
}

// An open file to ask for the flags; an owner who may only write the file
// opens it for writing, which changes nothing.
UniqueFd openToAsk(const std::string& path, const struct stat& st)
{
    constexpr int how = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd old(::open(path.c_str(), O_RDONLY | how));
    if (!old && errno == EACCES && st.st_uid == ::geteuid()) {
        old.reset(::open(path.c_str(), O_WRONLY | how));
    }
    return old;
}

// Whether a read failed because the process may not read it.
bool isDenied(int errnum) { return errnum == EACCES || errnum == EPERM; }

} // namespace

bool hasCapability(int capability)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    return ::syscall(SYS_capget, &header, data) == 0 &&
           (data[CAP_TO_INDEX(capability)].effective & CAP_TO_MASK(capability)) != 0;
}

std::optional<int> inodeFlags(int fd)
{
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        return flags;
    }
    if (errno == ENOTTY || errno == EINVAL || isUnsupported(errno) || errno == ENOSYS) {
        return 0;
    }
    return std::nullopt;
}

FileMetadata readMetadata(const std::string& path, const struct stat& st, const std::string& displayName)
{
    FileMetadata metadata{st.st_mode & 07777, st.st_uid, st.st_gid, 0, {}, true};
    const UniqueFd old = openToAsk(path, st);
    const std::optional<int> flags = old ? inodeFlags(old.get()) : std::nullopt;
    metadata.flags = flags.value_or(0);
    metadata.complete = flags.has_value();
    std::string names;
    if (!readSized(names, [&](char* buffer, std::size_t size) { return ::llistxattr(path.c_str(), buffer, size); })) {
        if (isDenied(errno)) {
            metadata.complete = false;
            return metadata;
        }
        if (isUnsupported(errno)) {
            return metadata;
        }
        throw systemFailure("cannot read the attributes of", displayName, errno);
    }
    for (std::size_t begin = 0; begin < names.size();) {
        const std::string name = names.c_str() + begin;
        begin += name.size() + 1;
        if (!isCarried(name)) {
            continue;
        }
        std::string value;
        if (!readSized(value, [&](char* buffer, std::size_t size) {
                return ::lgetxattr(path.c_str(), name.c_str(), buffer, size);
            })) {
            if (errno == ENODATA) {
                continue; // removed since it was listed
            }
            if (isDenied(errno)) {
                metadata.complete = false;
                continue;
            }
            throw systemFailure("cannot read the attributes of", displayName, errno);
        }
        metadata.attributes.emplace_back(name, std::move(value));
    }
    return metadata;
}

namespace {

// Gives `fd` the old file's extended attributes; an old file without an
// access ACL leaves the new one without one too.
void carryAttributes(int fd, const std::vector<std::pair<std::string, std::string>>& attributes,
                     const std::string& displayName)
{
    bool hasAccessAcl = false;
    for (const auto& attribute : attributes) {
        // Named, not bound: a lambda below takes the name.
        const std::string& name = attribute.first;
        const std::string& value = attribute.second;
        hasAccessAcl = hasAccessAcl || name == accessAcl;
        std::string current;
        // An equal label set at creation needs no permission to relabel.
        if (readSized(current,
                      [&](char* buffer, std::size_t size) { return ::fgetxattr(fd, name.c_str(), buffer, size); }) &&
            current == value) {
            continue;
        }
        if (::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0 && !isUnsupported(errno)) {
            throw systemFailure("cannot carry the attribute " + name + " to", displayName, errno);
        }
    }
    if (!hasAccessAcl) {
        removeAccessAcl(fd, displayName);
    }
}

} // namespace

bool applyMetadata(int fd, const FileMetadata& metadata, const std::string& displayName)
{
    struct stat st {};
    if (!metadata.complete) {
        return false;
    }
    if (::fstat(fd, &st) != 0) {
        throw systemFailure("cannot set the owner of", displayName, errno);
    }
    // Only root may give a file away, and only a member may give it a group.
    if ((metadata.owner != st.st_uid || metadata.group != st.st_gid) &&
        ::fchown(fd, metadata.owner, metadata.group) != 0) {
        if (errno != EPERM) {
            throw systemFailure("cannot set the owner of", displayName, errno);
        }
        return false;
    }
    carryAttributes(fd, metadata.attributes, displayName);
    // After the owner, since a change of owner clears set-user-ID bits; with
    // an ACL the group bits are its mask, the same as the old file's.
    setMode(fd, modeAfterWrite(metadata.mode, metadata.group), displayName);
    // Last: a file made synchronous writes its metadata at every change.
    return carryFlags(fd, metadata.flags);
}

void applyNewFileAccess(int fd, int probe, mode_t fallbackMode, const std::string& displayName)
{
    struct stat st {};
    if (probe < 0) {
        setMode(fd, fallbackMode, displayName);
        return;
    }
    if (::fstat(probe, &st) != 0) {
        throw systemFailure("cannot create", displayName, errno);
    }
    std::string acl;
    if (readSized(acl, [&](char* buffer, std::size_t size) { return ::fgetxattr(probe, accessAcl, buffer, size); })) {
        if (::fsetxattr(fd, accessAcl, acl.data(), acl.size(), 0) != 0) {
            throw systemFailure("cannot carry the access ACL to", displayName, errno);
        }
    } else if (errno == ENODATA || isUnsupported(errno)) {
        removeAccessAcl(fd, displayName);
    } else {
        throw systemFailure("cannot read the attributes of", displayName, errno);
    }
    setMode(fd, st.st_mode & 07777, displayName);
}

} // namespace initHashData

// SPDX-License-Identifier: MIT
#include "fileIo/fileMetadata.hpp"

#include "fileIo/failure.hpp"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace initHashData {

namespace {

constexpr const char* accessAcl = "system.posix_acl_access";

bool isCarried(std::string_view name)
{
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

} // namespace

FileMetadata readMetadata(const std::string& path, const struct stat& st, const std::string& displayName)
{
    FileMetadata metadata{st.st_mode & 07777, st.st_uid, st.st_gid, {}};
    std::string names;
    if (!readSized(names, [&](char* buffer, std::size_t size) { return ::llistxattr(path.c_str(), buffer, size); })) {
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
            throw systemFailure("cannot read the attributes of", displayName, errno);
        }
        metadata.attributes.emplace_back(name, std::move(value));
    }
    return metadata;
}

void applyMetadata(int fd, const FileMetadata& metadata, const std::string& displayName)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        throw systemFailure("cannot set the owner of", displayName, errno);
    }
    // Only root may give a file away; others keep the owner they are.
    if ((metadata.owner != st.st_uid || metadata.group != st.st_gid) &&
        ::fchown(fd, metadata.owner, metadata.group) != 0 && errno != EPERM) {
        throw systemFailure("cannot set the owner of", displayName, errno);
    }
    bool hasAccessAcl = false;
    for (const auto& attribute : metadata.attributes) {
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
    if (!hasAccessAcl && ::fremovexattr(fd, accessAcl) != 0 && errno != ENODATA && !isUnsupported(errno)) {
        throw systemFailure("cannot carry the access ACL to", displayName, errno);
    }
    // Last, since a change of owner clears set-user-ID bits; with an ACL the
    // group bits are its mask, the same as the old file's.
    applyNewFileMode(fd, metadata.mode, displayName);
}

void applyNewFileMode(int fd, mode_t mode, const std::string& displayName)
{
    if (::fchmod(fd, mode) != 0) {
        throw systemFailure("cannot set the permissions of", displayName, errno);
    }
}

} // namespace initHashData

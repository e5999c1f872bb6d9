// SPDX-License-Identifier: MIT
#include "replacement/targetAccess.hpp"

#include "replacement/fileMetadata.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>

namespace initHashData {

namespace {

// File systems whose server, not this kernel, decides who may add names: the
// mode seen here says nothing of other clients or of the server's own users.
bool permissionsCheckedElsewhere(int directory)
{
    constexpr std::array<unsigned long, 10> remote = {
        NFS_SUPER_MAGIC, SMB_SUPER_MAGIC,  CIFS_SUPER_MAGIC, SMB2_SUPER_MAGIC, FUSE_SUPER_MAGIC,
        V9FS_MAGIC,      CEPH_SUPER_MAGIC, AFS_SUPER_MAGIC,  AFS_FS_MAGIC,     CODA_SUPER_MAGIC,
    };
    struct statfs fs {};
    return ::fstatfs(directory, &fs) != 0 ||
           std::ranges::find(remote, static_cast<unsigned long>(fs.f_type)) != remote.end();
}

} // namespace

bool othersMayAddNames(int directory)
{
    struct stat st {};
    if (::fstat(directory, &st) != 0 || (st.st_uid != ::geteuid() && st.st_uid != 0) ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return true;
    }
    // With an access ACL the group bits are its mask, which bounds what any
    // named user or group entry grants: no write there, none for them.
    return permissionsCheckedElsewhere(directory);
}

bool keepsEveryName(int directory)
{
    constexpr auto kept = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;
    struct statx status {};
    if (::statx(directory, "", AT_EMPTY_PATH, 0, &status) == 0 && (status.stx_attributes_mask & kept) == kept) {
        return (status.stx_attributes & kept) != 0;
    }
    const std::optional<int> flags = inodeFlags(directory);
    return !flags || (*flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
}

bool mayWrite(int directory, const char* entry, bool followLink)
{
    if (::faccessat(directory, entry, W_OK, AT_EACCESS | (followLink ? 0 : AT_SYMLINK_NOFOLLOW)) == 0) {
        return true;
    }
    // glibc asks faccessat2 (Linux 5.8) and falls back itself only where the
    // kernel lacks it (ENOSYS); where a sandbox refuses it (EPERM), the older
    // faccessat checks the same for a process whose real ids are its
    // effective ones.
    if (errno != EPERM || ::getuid() != ::geteuid() || ::getgid() != ::getegid()) {
        return false;
    }
    return ::syscall(SYS_faccessat, directory, entry, W_OK) == 0;
}

TargetKind kindOf(const OutputTarget& target)
{
    if (!target.existing) {
        return TargetKind::none;
    }
    // Renaming over a device, FIFO or pipe would replace the node, not feed it.
    return S_ISREG(target.existing->st_mode) && !target.throughDescriptorLink ? TargetKind::regular : TargetKind::fed;
}

UniqueFd openFoundFile(const OutputTarget& target)
{
    UniqueFd file(::openat(target.directory.get(), target.entry.c_str(),
                           O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (file && (::fstat(file.get(), &st) != 0 || !target.existing || !sameFile(st, *target.existing))) {
        file.reset();
    }
    return file;
}

} // namespace initHashData

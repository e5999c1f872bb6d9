// SPDX-License-Identifier: MIT
#include "replacement/targetAccess.hpp"

#include "replacement/fileMetadata.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace initHashData {

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

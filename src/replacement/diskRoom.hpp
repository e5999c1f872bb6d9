// SPDX-License-Identifier: MIT
#pragma once
// The room a run may take on a disk: the blocks kept back for some users, the
// room content held aside leaves for others, and whether the new content can
// fit in the old file at all.

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

struct statfs;

namespace initHashData {

// Whether the process has `capability` (CAP_FSETID, ...) in its effective set.
[[nodiscard]] bool hasCapability(int capability);

// The blocks of the file system `fs` of the file open at `fd` that a write by
// this process may take: the free ones, less those kept back for root and
// for the user or group that ext4's resuid and resgid name, unless the
// process is one of those or has CAP_SYS_RESOURCE.
[[nodiscard]] unsigned long long usableBlocks(int fd, const struct statfs& fs) noexcept;

// The bytes of the file system `fs` of the file open at `fd` that a write by
// this process may take.
[[nodiscard]] std::uint64_t roomOf(int fd, const struct statfs& fs) noexcept;

// The bytes content aside may take on the file system `fs`: what every user
// may take, never the blocks kept back for some, less a twentieth of the disk
// and at least 64 MiB, spared for the logs and files of others.
[[nodiscard]] std::uint64_t asideRoom(const struct statfs& fs) noexcept;

// A disk aside that cannot take more: full, or kept from filling up, a
// quota, or a file size limit, which a FIFO or device target does not meet.
[[nodiscard]] inline bool isFullAside(int errnum) noexcept
{
    return errnum == ENOSPC || errnum == EDQUOT || errnum == EFBIG;
}

// Appends `bytes` to the file aside `out` while its disk keeps the room it
// spares, adding to `written` what went out; ENOSPC where it would not.
[[nodiscard]] int appendAside(int out, std::string_view bytes, std::size_t& written) noexcept;

// A temporary directory that may hold content aside, and the room it has.
struct AsideDisk {
    const char* directory;
    dev_t device;
    std::uint64_t room;
};

// The disks aside with room left, the most room first: /var/tmp and /tmp,
// fixed places never taken from the environment, which a caller could point
// at another user's directory. Each disk comes once; none is read-only, in
// memory, or among `full`.
[[nodiscard]] std::vector<AsideDisk> asideDisks(const std::vector<dev_t>& full);

// Whether `newSize` bytes cannot fit in the file open at `fd`, which holds
// `heldBlocks` 512-byte blocks on the file system `fs`, even where a plain
// open frees the old blocks first. Only a shortfall beyond doubt counts: a
// content of one block may be kept in the inode itself.
[[nodiscard]] bool lacksRoomInPlace(int fd, const struct statfs& fs, off_t newSize, blkcnt_t heldBlocks) noexcept;

} // namespace initHashData

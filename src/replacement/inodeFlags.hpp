// SPDX-License-Identifier: MIT
#pragma once
// The flags and hints of a file's inode (FS_IOC_GETFLAGS, FS_IOC_FSGETXATTR),
// read from the old file and given to its replacement. Returns booleans and
// optionals and throws nothing.

#include <linux/fs.h>

#include <cstdint>
#include <optional>

namespace initHashData {

// The inode flags (FS_IOC_GETFLAGS), and the extended flags, project id and
// extent size hints (FS_IOC_FSGETXATTR) of a file.
struct InodeFlags {
    int flags = 0;
    std::uint32_t xflags = 0;
    std::uint32_t projectId = 0;
    std::uint32_t extentSize = 0;
    std::uint32_t cowExtentSize = 0;
};

// The inode flags (FS_IOC_GETFLAGS) of the file open at `fd`: 0 where the
// file system keeps none (statx tells), nothing where they cannot be read.
[[nodiscard]] std::optional<int> inodeFlags(int fd);

// All the flags and hints of the file open at `fd`: zeros where the file
// system keeps none, nothing where they cannot be read.
[[nodiscard]] std::optional<InodeFlags> readInodeFlags(int fd);

// The inode flags a write keeps and a file can be given: s u c S d A t j C x m.
inline constexpr int carriedFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL | FS_NOATIME_FL |
                                    FS_NOTAIL_FL | FS_JOURNAL_DATA_FL | FS_NOCOW_FL | FS_DAX_FL | FS_NOCOMP_FL;

// Gives the file open at `fd`, whose flags are `current`, the old file's
// flags under `flagMask` and its extended flags and hints; `current` ends as
// read back. False where the file does not take them all: some file systems
// take no-COW and extent sizes only while the file is empty.
[[nodiscard]] bool carryInodeFlags(int fd, const InodeFlags& old, InodeFlags& current, int flagMask);

} // namespace initHashData

// SPDX-License-Identifier: MIT
#include "fileIo/systemCall.hpp"

#include "fileIo/uniqueFd.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cstdio>

namespace initHashData {

int writeAll(int fd, iovec* pieces, std::size_t count, std::size_t& written) noexcept
{
    std::size_t first = 0;
    while (first < count && pieces[first].iov_len == 0) {
        ++first;
    }
    while (first < count) {
        // One piece goes out by write(), the call that a lone buffer is expected to make.
        const ssize_t done = retryInterrupted([&] {
            return count - first == 1 ? ::write(fd, pieces[first].iov_base, pieces[first].iov_len)
                                      : ::writev(fd, pieces + first, static_cast<int>(count - first));
        });
        if (done < 0) {
            return errno;
        }
        if (done == 0) {
            return EIO;
        }
        written += static_cast<std::size_t>(done);
        auto left = static_cast<std::size_t>(done);
        for (; first < count && left >= pieces[first].iov_len; ++first) {
            left -= pieces[first].iov_len;
        }
        if (first < count) {
            pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + left;
            pieces[first].iov_len -= left;
        }
    }
    return 0;
}

ssize_t OffsetReader::read(char* buffer, std::size_t size, off_t offset) noexcept
{
    if (resume_ < 0) {
        const ssize_t got = retryInterrupted([&] { return ::pread(fd_, buffer, size, offset); });
        if (got >= 0 || !isRefusedCall(errno)) {
            return got;
        }
        resume_ = ::lseek(fd_, 0, SEEK_CUR);
        if (resume_ < 0) {
            return -1;
        }
    }
    if (::lseek(fd_, offset, SEEK_SET) < 0) {
        return -1;
    }
    return retryInterrupted([&] { return ::read(fd_, buffer, size); });
}

int OffsetReader::finish() const noexcept { return resume_ < 0 || ::lseek(fd_, resume_, SEEK_SET) >= 0 ? 0 : errno; }

int copyRange(int out, int content, off_t from, off_t to, off_t& copied) noexcept
{
    return readRange(content, from, to, [&](std::string_view piece) {
        std::size_t written = 0;
        const int errnum = writeAll(out, piece.data(), piece.size(), written);
        copied += static_cast<off_t>(written);
        return errnum;
    });
}

int syncDirectory(int directory) noexcept { return ::fsync(directory) != 0 && errno != EINVAL ? errno : 0; }

int renameWithin(int directory, const char* from, const char* to, bool replace) noexcept
{
    if (!replace) {
        if (::renameat2(directory, from, directory, to, RENAME_NOREPLACE) == 0) {
            return 0;
        }
        if (errno != EINVAL && !isRefusedCall(errno)) {
            return errno;
        }
        if (::linkat(directory, from, directory, to, 0) == 0) {
            ::unlinkat(directory, from, 0);
            return 0;
        }
        // Private, and empty: it holds the name only until the rename.
        constexpr mode_t privateMode = 0600;
        if (errno == EEXIST ||
            !UniqueFd(::openat(directory, to, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, privateMode))) {
            return errno;
        }
    }
    return ::renameat(directory, from, directory, to) == 0 ? 0 : errno;
}

int linkByDescriptor(int fd, int directory, const char* name) noexcept
{
    std::array<char, 32> procPath{};
    std::snprintf(procPath.data(), procPath.size(), "/proc/self/fd/%d", fd);
    if (::linkat(AT_FDCWD, procPath.data(), directory, name, AT_SYMLINK_FOLLOW) == 0) {
        return 0;
    }
    // Without /proc: the same, for processes allowed to link by descriptor.
    if (errno == ENOENT && ::linkat(fd, "", directory, name, AT_EMPTY_PATH) == 0) {
        return 0;
    }
    return errno;
}

} // namespace initHashData

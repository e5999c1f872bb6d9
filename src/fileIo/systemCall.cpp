// SPDX-License-Identifier: MIT
#include "fileIo/systemCall.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>

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

int copyRange(int out, int content, off_t from, off_t to, off_t& copied) noexcept
{
    std::array<char, 65536> buffer;
    for (off_t offset = from; offset < to;) {
        const auto want = static_cast<std::size_t>(std::min<off_t>(to - offset, buffer.size()));
        const ssize_t got = retryInterrupted([&] { return ::pread(content, buffer.data(), want, offset); });
        if (got <= 0) {
            return got < 0 ? errno : EIO;
        }
        std::size_t written = 0;
        const int errnum = writeAll(out, buffer.data(), static_cast<std::size_t>(got), written);
        copied += static_cast<off_t>(written);
        if (errnum != 0) {
            return errnum;
        }
        offset += got;
    }
    return 0;
}

} // namespace initHashData

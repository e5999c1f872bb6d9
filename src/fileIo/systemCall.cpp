// SPDX-License-Identifier: MIT
#include "fileIo/systemCall.hpp"

#include <unistd.h>

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
    return readRange(content, from, to, [&](std::string_view piece) {
        std::size_t written = 0;
        const int errnum = writeAll(out, piece.data(), piece.size(), written);
        copied += static_cast<off_t>(written);
        return errnum;
    });
}

} // namespace initHashData

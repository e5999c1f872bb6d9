// SPDX-License-Identifier: MIT
#pragma once
// The two loops of the calls a signal may cut short (reads, writes, copies):
// a retry when a signal interrupts one, and a write that carries on after a
// short one.

#include <sys/uio.h>

#include <cerrno>
#include <cstddef>

namespace initHashData {

// Makes `call` (returning a count or -1 with errno) again while a signal
// interrupts it; returns its last result.
template <class Call> auto retryInterrupted(Call call) noexcept(noexcept(call()))
{
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}

// Writes all of `pieces` (which it advances) to `fd`, adding to `written`
// what went out. Needs no memory. Returns 0, the errno, or EIO where a write
// takes nothing.
int writeAll(int fd, iovec* pieces, std::size_t count, std::size_t& written) noexcept;

inline int writeAll(int fd, const char* bytes, std::size_t length, std::size_t& written) noexcept
{
    iovec piece{const_cast<char*>(bytes), length};
    return writeAll(fd, &piece, 1, written);
}

} // namespace initHashData

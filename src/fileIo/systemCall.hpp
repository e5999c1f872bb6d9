// SPDX-License-Identifier: MIT
#pragma once
// The loops around the calls a signal may cut short (reads, writes, copies):
// a retry on EINTR, a write that carries on after a short write, and a copy
// between files; and the rename and link that older kernels make without
// the newer calls. Each returns 0 or an errno and throws nothing: the callers
// word the failure.

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <string_view>

namespace initHashData {

// Makes `call` (returning a count or -1 with errno) again while a signal
// interrupts it (EINTR); returns its last result.
template <class Call> auto retryInterrupted(Call call) noexcept(noexcept(call()))
{
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}

// Writes all of `pieces` (which it advances) to `fd`, after every short write
// too, adding to `written` what went out. Needs no memory. Returns 0, the
// errno, or EIO where a write takes nothing.
[[nodiscard]] int writeAll(int fd, iovec* pieces, std::size_t count, std::size_t& written) noexcept;

[[nodiscard]] inline int writeAll(int fd, const char* bytes, std::size_t length, std::size_t& written) noexcept
{
    iovec piece{const_cast<char*>(bytes), length};
    return writeAll(fd, &piece, 1, written);
}

// Reads a file at the offsets asked for: by pread, or where a sandbox refuses
// pread, which a plain write never makes, by a seek and a read, the file
// offset put back by finish() for the writes that append at it.
class OffsetReader {
public:
    explicit OffsetReader(int fd) noexcept : fd_(fd) {}
    // Reads up to `size` bytes at `offset`; the count, or -1 with errno set.
    [[nodiscard]] ssize_t read(char* buffer, std::size_t size, off_t offset) noexcept;
    // Puts back the file offset that seeks moved. Returns 0 or the errno.
    [[nodiscard]] int finish() const noexcept;

private:
    int fd_;
    off_t resume_ = -1; // the file offset to put back, once a seek moved it
};

// Hands bytes `from` to `to` of the file `content`, read at those offsets
// (OffsetReader), to `take(bytes)` (0 or the errno) a piece at a time.
// Returns 0, the errno, or EIO where `content` ends early.
template <class Take> [[nodiscard]] int readRange(int content, off_t from, off_t to, Take take)
{
    std::array<char, 65536> buffer;
    OffsetReader reader(content);
    int errnum = 0;
    for (off_t offset = from; offset < to && errnum == 0;) {
        const auto want = static_cast<std::size_t>(std::min<off_t>(to - offset, buffer.size()));
        const ssize_t got = reader.read(buffer.data(), want, offset);
        if (got <= 0) {
            errnum = got < 0 ? errno : EIO;
            break;
        }
        errnum = take(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
        offset += got;
    }
    const int resumed = reader.finish();
    return errnum != 0 ? errnum : resumed;
}

// Hands all of the content, the file `content` from its start to its end or,
// where it is -1, `inMemory`, to `take(bytes)` (0 or the errno); 0 or the errno.
template <class Take> [[nodiscard]] int readWhole(int content, std::string_view inMemory, Take take)
{
    if (content < 0) {
        return take(inMemory);
    }
    struct stat st {};
    return ::fstat(content, &st) != 0 ? errno : readRange(content, 0, st.st_size, take);
}

// Copies bytes `from` to `to` of the file `content`, read at those offsets
// (OffsetReader), to `out` at its own file offset by plain writes, which every file,
// device and pipe takes; adds to `copied` what went out. Returns 0, the
// errno, or EIO where `content` ends early.
[[nodiscard]] int copyRange(int out, int content, off_t from, off_t to, off_t& copied) noexcept;

// Writes all of `pieces` to `fd`, joined by the kernel so that no memory is
// needed. Returns 0 or the errno.
template <std::size_t count>
[[nodiscard]] int writeJoined(int fd, const std::array<std::string_view, count>& pieces) noexcept
{
    std::array<iovec, count> vector{};
    for (std::size_t i = 0; i < count; ++i) {
        vector[i] = {const_cast<char*>(pieces[i].data()), pieces[i].size()};
    }
    std::size_t written = 0;
    return writeAll(fd, vector.data(), count, written);
}

// fsync of the directory open at `directory`: 0 or the errno. Some file
// systems cannot sync a directory and say so with EINVAL, which counts as done.
[[nodiscard]] int syncDirectory(int directory) noexcept;

// A newer system call that an older kernel, a sandbox's seccomp filter or an
// emulator does not offer, or that a sandbox's policy denies (EACCES) where
// a plain open and write would pass. Callers fall back to the calls a plain
// write makes, which meet a true denial again.
[[nodiscard]] inline bool isRefusedCall(int errnum) noexcept
{
    return errnum == ENOSYS || errnum == EPERM || errnum == EACCES;
}

// renameat within `directory`, over a file at `to` only where `replace`.
// Where RENAME_NOREPLACE is not offered, a hard link refuses a taken name as
// well, and the old name goes after it; on a file system without hard links,
// an empty file made with O_EXCL takes the free name first, to be renamed
// over. Returns 0 or the errno.
[[nodiscard]] int renameWithin(int directory, const char* from, const char* to, bool replace) noexcept;

// Links the file open at `fd` under `name` in `directory`, through
// /proc/self/fd, or without /proc by the descriptor itself where the process
// may (CAP_DAC_READ_SEARCH). Returns 0 or the errno.
[[nodiscard]] int linkByDescriptor(int fd, int directory, const char* name) noexcept;

} // namespace initHashData

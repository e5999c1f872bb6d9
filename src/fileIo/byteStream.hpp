// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace initHashData {

// Large enough that system calls cost little next to the bytes they move,
// small enough to stay in the L2 cache.
inline constexpr std::size_t defaultBlockSize = std::size_t{256} * 1024;

// Reads a file descriptor (regular file, pipe, FIFO, device) block by block.
class ByteReader {
public:
    // `name` is only used in failure messages. Does not own `fd`.
    ByteReader(int fd, std::string name, std::size_t blockSize = defaultBlockSize);

    // Bytes read and not yet consumed.
    std::string_view buffered() const noexcept { return {next_, static_cast<std::size_t>(end_ - next_)}; }
    void consume(std::size_t count) noexcept { next_ += count; }

    // Reads the next block in place of the current one, whose bytes must all be
    // consumed. Returns false at the end of the input; throws Failure when a read fails.
    bool refill();

    const std::string& name() const noexcept { return name_; }

private:
    int fd_;
    std::string name_;
    std::size_t blockSize_;
    std::unique_ptr<char[]> block_;
    const char* next_;
    const char* end_;
};

// Writes a file descriptor through a block buffer; every write is checked.
class ByteWriter {
public:
    // `name` is only used in failure messages. Does not own `fd`.
    ByteWriter(int fd, std::string name, std::size_t blockSize = defaultBlockSize);

    void append(std::string_view bytes)
    {
        if (bytes.size() <= static_cast<std::size_t>(limit_ - free_)) {
            std::memcpy(free_, bytes.data(), bytes.size());
            free_ += bytes.size();
        } else {
            appendSlow(bytes);
        }
    }

    void put(char byte)
    {
        if (free_ == limit_) {
            flush();
        }
        *free_++ = byte;
    }

    // Room for `count` contiguous bytes, flushing first if need be, to be
    // filled and then handed to commit(); nullptr when `count` exceeds a block.
    char* reserve(std::size_t count)
    {
        if (count > static_cast<std::size_t>(limit_ - free_)) {
            if (count > blockSize_) {
                return nullptr;
            }
            flush();
        }
        return free_;
    }
    void commit(char* end) noexcept { free_ = end; }

    // Writes what is buffered. Throws Failure when a write fails.
    void flush();

private:
    void appendSlow(std::string_view bytes);
    void writeAll(const char* bytes, std::size_t count);

    int fd_;
    std::string name_;
    std::size_t blockSize_;
    std::unique_ptr<char[]> block_;
    char* free_;
    char* limit_;
};

} // namespace initHashData

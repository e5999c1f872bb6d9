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

// Bytes that a reader keeps readable past the end of what it holds, for a
// scanner that loads them without a bounds check: `size` bytes, the first of
// them `start`, the rest zero.
struct ReadPadding {
    std::size_t size = 0;
    std::string_view start;
};

// A block of memory aligned to a page, so that the kernel copies whole pages.
struct FreeBlock {
    void operator()(char* block) const noexcept;
};
using PageBlock = std::unique_ptr<char[], FreeBlock>;
[[nodiscard]] PageBlock allocatePageBlock(std::size_t size);

// Reads a file descriptor (regular file, pipe, FIFO, device) block by block.
class ByteReader {
public:
    // `name` is only used in failure messages. Does not own `fd`.
    ByteReader(int fd, std::string name, std::size_t blockSize = defaultBlockSize, ReadPadding padding = {});

    // Bytes read and not yet consumed, followed by the padding; the byte
    // before them is the reader's too, so a scan may point there.
    std::string_view buffered() const noexcept { return {next_, static_cast<std::size_t>(end_ - next_)}; }
    void consume(std::size_t count) noexcept { next_ += count; }

    // Reads the next block. The bytes not yet consumed, at most a block, are
    // kept in front of it, so that a record cut by the end of one block can be
    // read whole in the next. Returns false at the end of the input; throws
    // Failure when a read fails.
    [[nodiscard]] bool refill();

    std::size_t blockSize() const noexcept { return blockSize_; }
    const std::string& name() const noexcept { return name_; }
    const ReadPadding& padding() const noexcept { return padding_; }

private:
    void markEnd() noexcept;

    int fd_;
    std::string name_;
    std::size_t blockSize_;
    ReadPadding padding_;
    std::size_t keptRoom_; // more than a block, in whole pages, before the block read
    PageBlock block_;      // the room for bytes kept, the block read, the padding
    const char* next_;
    const char* end_;
};

// Where a writer's blocks go when not straight to a file descriptor:
// write(context, bytes) takes all of them, or throws Failure. A plain function
// rather than a virtual one, which a sanitizer's type checks would probe with
// writes of their own, and so shift the writes a fault test counts.
struct ByteSink {
    void* context;
    void (*write)(void* context, std::string_view bytes);
};

// Writes a file descriptor through a block buffer; every write is checked.
// Content goes out in whole blocks at offsets that are multiples of the block
// size (only the last flush writes less), so the kernel never copies part of a
// page at the start of a write: the buffer runs past its block into a slack
// area, and whatever passes the block is moved to the front once it is written.
class ByteWriter {
public:
    // `name` is only used in failure messages. Does not own `fd`.
    ByteWriter(int fd, std::string name, std::size_t blockSize = defaultBlockSize);
    // Writes to `sink`, whose context must outlive the writer.
    explicit ByteWriter(ByteSink sink, std::size_t blockSize = defaultBlockSize);

    void append(std::string_view bytes)
    {
        if (bytes.size() <= static_cast<std::size_t>(hardEnd_ - free_)) {
            std::memcpy(free_, bytes.data(), bytes.size());
            free_ += bytes.size();
            drainIfFull();
        } else {
            appendSlow(bytes);
        }
    }

    void put(char byte)
    {
        *free_++ = byte;
        drainIfFull();
    }

    // Hands back a cursor taken from cursor() and moved past what was written.
    void handBack(char* end)
    {
        free_ = end;
        drainIfFull();
    }

    // Writes what is buffered. Throws Failure when a write fails.
    void flush();

    // For loops that write many pieces through a cursor of their own: where
    // the next byte goes, the end of the room (never less than the slack
    // ahead of the cursor while the cursor is short of drainPoint()), and the
    // point at which the cursor must be handed back through handBack().
    char* cursor() const noexcept { return free_; }
    const char* roomEnd() const noexcept { return hardEnd_; }
    const char* drainPoint() const noexcept { return blockEnd_; }

private:
    void drainIfFull()
    {
        if (free_ >= blockEnd_) {
            drain();
        }
    }
    void drain();
    void appendSlow(std::string_view bytes);
    void writeOut(const char* bytes, std::size_t count);

    int fd_;
    ByteSink sink_{nullptr, nullptr};
    std::string name_;
    std::size_t blockSize_;
    PageBlock block_;
    char* free_;
    char* blockEnd_;
    char* hardEnd_;
};

} // namespace initHashData

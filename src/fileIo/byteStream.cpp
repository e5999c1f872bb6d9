// SPDX-License-Identifier: MIT
#include "fileIo/byteStream.hpp"

#include "fileIo/failure.hpp"
#include "fileIo/systemCall.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace initHashData {

namespace {

constexpr std::size_t pageSize = 4096;
// Enough for any ordinary record; longer ones take the slow path.
constexpr std::size_t maxSlack = std::size_t{64} * 1024;

// The room a writer keeps past its block.
std::size_t slackFor(std::size_t blockSize) { return std::min(maxSlack, std::max(blockSize, pageSize)); }

} // namespace

void FreeBlock::operator()(char* block) const noexcept { std::free(block); }

PageBlock allocatePageBlock(std::size_t size)
{
    const std::size_t rounded = (size + pageSize - 1) / pageSize * pageSize;
    auto* block = static_cast<char*>(std::aligned_alloc(pageSize, rounded));
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return PageBlock(block);
}

ByteReader::ByteReader(int fd, std::string name, std::size_t blockSize, ReadPadding padding)
    : fd_(fd), name_(std::move(name)), blockSize_(blockSize), padding_(padding),
      keptRoom_((blockSize / pageSize + 1) * pageSize), block_(allocatePageBlock(keptRoom_ + blockSize + padding.size)),
      next_(block_.get() + keptRoom_), end_(next_)
{
    markEnd();
}

void ByteReader::markEnd() noexcept
{
    char* const end = block_.get() + (end_ - block_.get());
    std::memset(end, 0, padding_.size);
    if (!padding_.start.empty()) {
        std::memcpy(end, padding_.start.data(), std::min(padding_.start.size(), padding_.size));
    }
}

bool ByteReader::refill()
{
    const auto kept = static_cast<std::size_t>(end_ - next_);
    if (kept > blockSize_) {
        throw std::logic_error("ByteReader::refill keeps at most a block");
    }
    // The kept bytes move first: the read lands where they may lie.
    char* const block = block_.get() + keptRoom_;
    std::memmove(block - kept, next_, kept);
    next_ = block - kept;
    end_ = block;
    const ssize_t got = retryInterrupted([this, block] { return ::read(fd_, block, blockSize_); });
    if (got < 0) {
        throw systemFailure("cannot read", name_, errno);
    }
    end_ = block + got;
    markEnd();
    return got > 0;
}

ByteWriter::ByteWriter(int fd, std::string name, std::size_t blockSize)
    : fd_(fd), name_(std::move(name)), blockSize_(blockSize),
      block_(allocatePageBlock(blockSize + slackFor(blockSize))), free_(block_.get()),
      blockEnd_(block_.get() + blockSize), hardEnd_(blockEnd_ + slackFor(blockSize))
{
}

ByteWriter::ByteWriter(ByteSink sink, std::size_t blockSize) : ByteWriter(-1, std::string(), blockSize)
{
    sink_ = sink;
}

void ByteWriter::flush()
{
    writeOut(block_.get(), static_cast<std::size_t>(free_ - block_.get()));
    free_ = block_.get();
}

void ByteWriter::drain()
{
    const auto held = static_cast<std::size_t>(free_ - block_.get());
    const std::size_t whole = held / blockSize_ * blockSize_;
    writeOut(block_.get(), whole);
    std::memmove(block_.get(), block_.get() + whole, held - whole);
    free_ -= whole;
}

void ByteWriter::appendSlow(std::string_view bytes)
{
    // Fill the block, so that what follows starts at a block boundary.
    const auto room = static_cast<std::size_t>(blockEnd_ - free_);
    std::memcpy(free_, bytes.data(), room);
    free_ = blockEnd_;
    drain();
    bytes.remove_prefix(room);
    const std::size_t whole = bytes.size() / blockSize_ * blockSize_;
    writeOut(bytes.data(), whole);
    bytes.remove_prefix(whole);
    std::memcpy(free_, bytes.data(), bytes.size());
    free_ += bytes.size();
}

void ByteWriter::writeOut(const char* bytes, std::size_t count)
{
    if (sink_.write != nullptr) {
        sink_.write(sink_.context, std::string_view(bytes, count));
        return;
    }
    std::size_t written = 0;
    if (const int errnum = initHashData::writeAll(fd_, bytes, count, written); errnum != 0) {
        throw systemFailure("cannot write", name_, errnum);
    }
}

} // namespace initHashData

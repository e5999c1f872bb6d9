// SPDX-License-Identifier: MIT
#include "fileIo/byteStream.hpp"

#include "fileIo/failure.hpp"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace initHashData {

ByteReader::ByteReader(int fd, std::string name, std::size_t blockSize)
    : fd_(fd), name_(std::move(name)), blockSize_(blockSize), block_(new char[blockSize]), next_(block_.get()),
      end_(block_.get())
{
}

bool ByteReader::refill()
{
    for (;;) {
        const ssize_t got = ::read(fd_, block_.get(), blockSize_);
        if (got > 0) {
            next_ = block_.get();
            end_ = block_.get() + got;
            return true;
        }
        if (got == 0) {
            return false;
        }
        if (errno != EINTR) {
            throw systemFailure("cannot read", name_, errno);
        }
    }
}

ByteWriter::ByteWriter(int fd, std::string name, std::size_t blockSize)
    : fd_(fd), name_(std::move(name)), blockSize_(blockSize), block_(new char[blockSize]), free_(block_.get()),
      limit_(block_.get() + blockSize)
{
}

void ByteWriter::flush()
{
    writeAll(block_.get(), static_cast<std::size_t>(free_ - block_.get()));
    free_ = block_.get();
}

void ByteWriter::appendSlow(std::string_view bytes)
{
    flush();
    if (bytes.size() >= blockSize_) {
        writeAll(bytes.data(), bytes.size());
    } else {
        std::memcpy(free_, bytes.data(), bytes.size());
        free_ += bytes.size();
    }
}

void ByteWriter::writeAll(const char* bytes, std::size_t count)
{
    while (count > 0) {
        const ssize_t done = ::write(fd_, bytes, count);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw systemFailure("cannot write", name_, errno);
        }
        bytes += done;
        count -= static_cast<std::size_t>(done);
    }
}

} // namespace initHashData

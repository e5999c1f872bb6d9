// SPDX-License-Identifier: MIT
#include "memoryConversion.hpp"

#include "fileIo/byteStream.hpp"
#include "fileIo/uniqueFd.hpp"

#include <sys/mman.h>
#include <unistd.h>

namespace initHashData::testing {

int memoryFile(std::string_view bytes)
{
    UniqueFd fd(::memfd_create("records", MFD_CLOEXEC));
    if (!fd || ::write(fd.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        ::lseek(fd.get(), 0, SEEK_SET) != 0) {
        return -1;
    }
    return fd.release();
}

std::string contentsOf(int fd)
{
    std::string bytes;
    char block[4096];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t got; (got = ::read(fd, block, sizeof block)) > 0;) {
        bytes.append(block, static_cast<std::size_t>(got));
    }
    return bytes;
}

Converted convertInMemory(std::string_view input, const ConversionSettings& settings)
{
    const UniqueFd in(memoryFile(input));
    const UniqueFd out(memoryFile(""));
    ByteWriter writer(out.get(), "out", settings.blockSize);
    std::string field2;
    Converted converted;
    converted.records = static_cast<int>(convertRecords(in.get(), "in", writer, field2, settings, &converted.notes));
    writer.flush();
    converted.output = contentsOf(out.get());
    return converted;
}

} // namespace initHashData::testing

// SPDX-License-Identifier: MIT
#include "fileIo/procFile.hpp"

#include "fileIo/systemCall.hpp"
#include "fileIo/uniqueFd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdlib>

namespace initHashData {

std::string readSmallFile(const std::string& path)
{
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::array<char, 16384> buffer{};
    const ssize_t got = file ? retryInterrupted([&] { return ::read(file.get(), buffer.data(), buffer.size()); }) : -1;
    return got > 0 ? std::string(buffer.data(), static_cast<std::size_t>(got)) : std::string();
}

std::uint64_t valueAfter(std::string_view text, std::string_view key, std::uint64_t unit, std::uint64_t fallback)
{
    for (std::size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + 1)) {
        if (at == 0 || text[at - 1] == '\n') {
            const char* digits = text.data() + at + key.size();
            while (*digits == ' ' || *digits == '\t') {
                ++digits;
            }
            return std::strtoull(digits, nullptr, 10) * unit;
        }
    }
    return fallback;
}

} // namespace initHashData

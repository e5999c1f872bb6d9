// SPDX-License-Identifier: MIT
// Built by a 32-bit x86 cross compiler and linked statically: prints the GNU
// C++ library's own std::hash<std::string> of each length-prefixed byte string
// (4-byte little-endian length, then the bytes) read from standard input.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

static_assert(sizeof(std::size_t) == 4, "the probe must be built for a 32-bit target");

int main()
{
    unsigned char length[4];
    std::string bytes;
    while (std::fread(length, 1, 4, stdin) == 4) {
        const std::uint32_t size = length[0] | (length[1] << 8) | (length[2] << 16) | (std::uint32_t{length[3]} << 24);
        bytes.resize(size);
        if (std::fread(bytes.data(), 1, size, stdin) != size) {
            return 1;
        }
        std::printf("%lu\n", static_cast<unsigned long>(std::hash<std::string>{}(bytes)));
    }
    return 0;
}

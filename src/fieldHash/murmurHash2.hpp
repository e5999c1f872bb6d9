// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

namespace initHashData {

namespace murmur {

inline constexpr std::uint32_t multiplier = 0x5bd1e995U;
inline constexpr int shift = 24;

// Bytes are taken as unsigned so that 0x80..0xFF count as 128..255 on every platform.
inline std::uint32_t byteAt(const unsigned char* p, std::size_t i) noexcept { return static_cast<std::uint32_t>(p[i]); }

inline std::uint32_t littleEndianWord(const unsigned char* p) noexcept
{
    return byteAt(p, 0) | (byteAt(p, 1) << 8) | (byteAt(p, 2) << 16) | (byteAt(p, 3) << 24);
}

} // namespace murmur

// The body of murmurHash2, for the record loop to inline.
[[gnu::always_inline]] inline std::uint32_t murmurHash2Inline(const char* bytes, std::size_t length,
                                                              std::uint32_t seed) noexcept
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    std::uint32_t h = seed ^ static_cast<std::uint32_t>(length);

    const unsigned char* const blocksEnd = p + (length & ~std::size_t{3});
    while (p != blocksEnd) {
        std::uint32_t k = murmur::littleEndianWord(p);
        k *= murmur::multiplier;
        k ^= k >> murmur::shift;
        k *= murmur::multiplier;
        h *= murmur::multiplier;
        h ^= k;
        p += 4;
    }
    const std::size_t left = length & 3;

    if (length >= 4) {
        // The tail is the top of the input's last word: read that way, its
        // length, random from field to field, costs no mispredicted branch.
        // With no tail the shift is 32 and the factor 1, as if nothing were done.
        const std::uint64_t lastWord = murmur::littleEndianWord(p + left - 4);
        h ^= static_cast<std::uint32_t>(lastWord >> (8 * (4 - left)));
        h *= left != 0 ? murmur::multiplier : 1U;
    } else {
        switch (left) {
        case 3: h ^= murmur::byteAt(p, 2) << 16; [[fallthrough]];
        case 2: h ^= murmur::byteAt(p, 1) << 8; [[fallthrough]];
        case 1:
            h ^= murmur::byteAt(p, 0);
            h *= murmur::multiplier;
            break;
        default: break;
        }
    }

    h ^= h >> 13;
    h *= murmur::multiplier;
    h ^= h >> 15;
    return h;
}

} // namespace initHashData

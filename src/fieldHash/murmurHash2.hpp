// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

namespace initHashData {

namespace murmur {

inline constexpr std::uint32_t multiplier = 0x5bd1e995U;
inline constexpr int shift = 24;
// The shifts of the final mix, in turn.
inline constexpr int finalShift1 = 13;
inline constexpr int finalShift2 = 15;

// Bytes are taken as unsigned so that 0x80..0xFF count as 128..255 on every platform.
inline std::uint32_t byteAt(const unsigned char* p, std::size_t i) noexcept { return static_cast<std::uint32_t>(p[i]); }

inline std::uint32_t littleEndianWord(const unsigned char* p) noexcept
{
    return byteAt(p, 0) | (byteAt(p, 1) << 8) | (byteAt(p, 2) << 16) | (byteAt(p, 3) << 24);
}

// One 4-byte block mixed into the state.
inline std::uint32_t mixBlock(std::uint32_t h, std::uint32_t k) noexcept
{
    k *= multiplier;
    k ^= k >> shift;
    k *= multiplier;
    return (h * multiplier) ^ k;
}

// The last `left` (0 to 3) bytes, at `p`, of an input of `length` bytes.
inline std::uint32_t mixTail(std::uint32_t h, const unsigned char* p, std::size_t left, std::size_t length) noexcept
{
    if (length >= 4) {
        // The tail is the top of the input's last word: read that way, its
        // length, random from field to field, costs no mispredicted branch.
        // With no tail the shift is 32 and the factor 1, as if nothing were done.
        const std::uint64_t lastWord = littleEndianWord(p + left - 4);
        h ^= static_cast<std::uint32_t>(lastWord >> (8 * (4 - left)));
        return h * (left != 0 ? multiplier : 1U);
    }
    switch (left) {
    case 3: h ^= byteAt(p, 2) << 16; [[fallthrough]];
    case 2: h ^= byteAt(p, 1) << 8; [[fallthrough]];
    case 1:
        h ^= byteAt(p, 0);
        h *= multiplier;
        break;
    default: break;
    }
    return h;
}

// Spreads the last bytes' bits over the whole result.
inline std::uint32_t finalMix(std::uint32_t h) noexcept
{
    h ^= h >> finalShift1;
    h *= multiplier;
    h ^= h >> finalShift2;
    return h;
}

} // namespace murmur

// The body of murmurHash2, for the record loop to inline.
[[gnu::always_inline]] inline std::uint32_t murmurHash2Inline(const char* bytes, std::size_t length,
                                                              std::uint32_t seed) noexcept
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    std::uint32_t h = seed ^ static_cast<std::uint32_t>(length);
    const unsigned char* const blocksEnd = p + (length & ~std::size_t{3});
    for (; p != blocksEnd; p += 4) {
        h = murmur::mixBlock(h, murmur::littleEndianWord(p));
    }
    return murmur::finalMix(murmur::mixTail(h, p, length & 3, length));
}

} // namespace initHashData

#include "fieldHash/fieldHash.hpp"

#include <charconv>

namespace initHashData {

namespace {

constexpr std::uint32_t multiplier = 0x5bd1e995U;
constexpr int shift = 24;

// Bytes are taken as unsigned so that 0x80..0xFF count as 128..255 on every platform.
std::uint32_t byteAt(const unsigned char* p, std::size_t i) noexcept
{
    return static_cast<std::uint32_t>(p[i]);
}

std::uint32_t littleEndianWord(const unsigned char* p) noexcept
{
    return byteAt(p, 0) | (byteAt(p, 1) << 8) | (byteAt(p, 2) << 16) | (byteAt(p, 3) << 24);
}

} // namespace

std::uint32_t murmurHash2(const char* bytes, std::size_t length, std::uint32_t seed) noexcept
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    std::uint32_t h = seed ^ static_cast<std::uint32_t>(length);

    std::size_t left = length;
    while (left >= 4) {
        std::uint32_t k = littleEndianWord(p);
        k *= multiplier;
        k ^= k >> shift;
        k *= multiplier;
        h *= multiplier;
        h ^= k;
        p += 4;
        left -= 4;
    }

    switch (left) {
    case 3:
        h ^= byteAt(p, 2) << 16;
        [[fallthrough]];
    case 2:
        h ^= byteAt(p, 1) << 8;
        [[fallthrough]];
    case 1:
        h ^= byteAt(p, 0);
        h *= multiplier;
        break;
    default:
        break;
    }

    h ^= h >> 13;
    h *= multiplier;
    h ^= h >> 15;
    return h;
}

HashText renderHash(std::uint32_t hash) noexcept
{
    HashText text;
    // to_chars never consults the locale, and ten digits always fit.
    const auto result = std::to_chars(text.digits_, text.digits_ + sizeof text.digits_, hash);
    text.length_ = static_cast<std::size_t>(result.ptr - text.digits_);
    return text;
}

} // namespace initHashData

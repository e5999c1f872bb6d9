// SPDX-License-Identifier: MIT
#include <initHashData/fieldHash.hpp>

#include <cstring>

namespace initHashData {

namespace {

constexpr std::uint32_t multiplier = 0x5bd1e995U;
constexpr int shift = 24;

// Bytes are taken as unsigned so that 0x80..0xFF count as 128..255 on every platform.
std::uint32_t byteAt(const unsigned char* p, std::size_t i) noexcept { return static_cast<std::uint32_t>(p[i]); }

std::uint32_t littleEndianWord(const unsigned char* p) noexcept
{
    return byteAt(p, 0) | (byteAt(p, 1) << 8) | (byteAt(p, 2) << 16) | (byteAt(p, 3) << 24);
}

// Two digits at a time halves the divisions, each of which the compiler turns
// into a multiplication.
void putDigitPair(char* at, std::uint32_t pair) noexcept
{
    static constexpr char digitPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    std::memcpy(at, digitPairs + std::size_t{2} * pair, 2);
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

    if (length >= 4) {
        // The tail is the top of the input's last word: read that way, its
        // length, random from field to field, costs no mispredicted branch.
        // With no tail the shift is 32 and the factor 1, as if nothing were done.
        const std::uint64_t lastWord = littleEndianWord(p + left - 4);
        h ^= static_cast<std::uint32_t>(lastWord >> (8 * (4 - left)));
        h *= left != 0 ? multiplier : 1U;
    } else {
        switch (left) {
        case 3: h ^= byteAt(p, 2) << 16; [[fallthrough]];
        case 2: h ^= byteAt(p, 1) << 8; [[fallthrough]];
        case 1:
            h ^= byteAt(p, 0);
            h *= multiplier;
            break;
        default: break;
        }
    }

    h ^= h >> 13;
    h *= multiplier;
    h ^= h >> 15;
    return h;
}

HashText renderHash(std::uint32_t hash) noexcept
{
    HashText text;
    char* const end = text.digits_ + sizeof text.digits_;
    char* first = end;
    // Most hashes have ten digits: their last eight are written without a loop.
    if (hash >= 100000000U) {
        const std::uint32_t low = hash % 100000000U;
        hash /= 100000000U;
        const std::uint32_t lowHigh = low / 10000U;
        const std::uint32_t lowLow = low % 10000U;
        first -= 8;
        putDigitPair(first, lowHigh / 100U);
        putDigitPair(first + 2, lowHigh % 100U);
        putDigitPair(first + 4, lowLow / 100U);
        putDigitPair(first + 6, lowLow % 100U);
    }
    while (hash >= 100U) {
        first -= 2;
        putDigitPair(first, hash % 100U);
        hash /= 100U;
    }
    if (hash >= 10U) {
        first -= 2;
        putDigitPair(first, hash);
    } else {
        *--first = static_cast<char>('0' + hash);
    }
    text.first_ = static_cast<std::size_t>(first - text.digits_);
    return text;
}

} // namespace initHashData

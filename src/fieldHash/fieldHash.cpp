// SPDX-License-Identifier: MIT
#include <initHashData/fieldHash.hpp>

#include "fieldHash/murmurHash2.hpp"

#include <array>
#include <cstring>

namespace initHashData {

namespace {

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
    return murmurHash2Inline(bytes, length, seed);
}

namespace {

// Writes the digits of `hash` so that they end at `end`; returns the first.
char* putDigitsBefore(char* end, std::uint32_t hash) noexcept
{
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
    return first;
}

} // namespace

HashText renderHash(std::uint32_t hash) noexcept
{
    HashText text;
    const char* first = putDigitsBefore(text.digits_ + sizeof text.digits_, hash);
    text.first_ = static_cast<std::size_t>(first - text.digits_);
    return text;
}

namespace {

// The four digits of every number below 10^4, with leading zeros.
constexpr auto fourDigits = [] {
    std::array<char, std::size_t{4} * 10000> digits{};
    for (std::size_t n = 0; n < 10000; ++n) {
        digits[4 * n] = static_cast<char>('0' + n / 1000);
        digits[4 * n + 1] = static_cast<char>('0' + n / 100 % 10);
        digits[4 * n + 2] = static_cast<char>('0' + n / 10 % 10);
        digits[4 * n + 3] = static_cast<char>('0' + n % 10);
    }
    return digits;
}();

// Writes the eight digits of `n` (below 10^8, with leading zeros) at `to`, as
// two table entries.
void putEightDigits(char* to, std::uint32_t n) noexcept
{
    const std::uint32_t high = n / 10000U;
    std::memcpy(to, fourDigits.data() + std::size_t{4} * high, 4);
    std::memcpy(to + 4, fourDigits.data() + std::size_t{4} * (n - high * 10000U), 4);
}

} // namespace

char* writeHashText(char* to, std::uint32_t hash) noexcept
{
    // Three hashes in four have ten digits, nearly all the rest nine.
    if (hash >= 100000000U) {
        const std::uint32_t high = hash / 100000000U;
        if (high >= 10U) {
            putDigitPair(to, high);
            to += 2;
        } else {
            *to++ = static_cast<char>('0' + high);
        }
        putEightDigits(to, hash - high * 100000000U);
        return to + 8;
    }
    // The digit count from the bit length: log10(2) is close to 1233 / 4096.
    static constexpr std::uint32_t powersOfTen[] = {1U,      10U,      100U,      1000U,     10000U,
                                                    100000U, 1000000U, 10000000U, 100000000U};
    const auto bits = 32U - static_cast<std::uint32_t>(__builtin_clz(hash | 1U));
    const std::uint32_t guess = bits * 1233U >> 12;
    char* const end = to + guess + ((hash | 1U) >= powersOfTen[guess] ? 1 : 0);
    putDigitsBefore(end, hash);
    return end;
}

} // namespace initHashData

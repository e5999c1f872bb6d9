// SPDX-License-Identifier: MIT
#pragma once
// The decimal text of a field hash, for renderHash and for the record loop
// to inline.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace initHashData {

namespace hashText {

// The four digits of every number below 10^4, with leading zeros: one load
// writes four digits, and the divisions that remain become multiplications.
inline constexpr auto fourDigits = [] {
    std::array<char, std::size_t{4} * 10000> digits{};
    for (std::size_t n = 0; n < 10000; ++n) {
        digits[4 * n] = static_cast<char>('0' + n / 1000);
        digits[4 * n + 1] = static_cast<char>('0' + n / 100 % 10);
        digits[4 * n + 2] = static_cast<char>('0' + n / 10 % 10);
        digits[4 * n + 3] = static_cast<char>('0' + n % 10);
    }
    return digits;
}();

// The last `count` (1 to 4) digits of the table entry of `n`, below 10^4 and
// of `count` digits. Four bytes are always written, so that the copy is one
// store; what lies past the digits is overwritten by the caller or unused.
inline void putDigitsOf(char* to, std::uint32_t n, std::size_t count) noexcept
{
    std::memcpy(to, fourDigits.data() + std::size_t{4} * n + (4 - count), 4);
}

// The eight digits of `n`, below 10^8, with leading zeros.
inline void putEightDigits(char* to, std::uint32_t n) noexcept
{
    const std::uint32_t high = n / 10000U;
    putDigitsOf(to, high, 4);
    putDigitsOf(to + 4, n - high * 10000U, 4);
}

// How many digits `n`, below 10^4, has.
inline std::size_t digitCount(std::uint32_t n) noexcept { return n >= 1000U ? 4 : n >= 100U ? 3 : n >= 10U ? 2 : 1; }

} // namespace hashText

// Writes the decimal text of `hash` at `to`, which has room for ten bytes;
// returns the end of the text. Bytes past the text, within the ten, may be
// written too.
[[gnu::always_inline]] inline char* writeHashText(char* to, std::uint32_t hash) noexcept
{
    using namespace hashText;
    // Three hashes in four have ten digits, nearly all the rest nine.
    if (hash >= 100000000U) {
        const std::uint32_t high = hash / 100000000U;
        const std::size_t count = high >= 10U ? 2 : 1;
        putDigitsOf(to, high, count);
        putEightDigits(to + count, hash - high * 100000000U);
        return to + count + 8;
    }
    if (hash >= 10000U) {
        const std::uint32_t high = hash / 10000U;
        const std::size_t count = digitCount(high);
        putDigitsOf(to, high, count);
        putDigitsOf(to + count, hash - high * 10000U, 4);
        return to + count + 4;
    }
    const std::size_t count = digitCount(hash);
    putDigitsOf(to, hash, count);
    return to + count;
}

} // namespace initHashData

// SPDX-License-Identifier: MIT
//
// The field hash of initHashData's user data files: the 32-bit MurmurHash2
// that replaces field 2 of every record in userData.txt, written as unsigned
// decimal text. The same on every word size and byte order, so a program that
// reads userData.txt can hash a password and compare. Needs C++17.
#pragma once

// Older C++ would stop at the first C++17 construct below with errors that do
// not say why; this one says why, and alone.
#if !defined(__cplusplus) || __cplusplus < 201703L
#error "initHashData/fieldHash.hpp needs C++17 or later: compile with -std=c++17"
#else

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace initHashData {

// The seed of the 32-bit GNU C++ library's string hash; stored files depend on it.
inline constexpr std::uint32_t hashSeed = 0xc70f6907U;

// 32-bit MurmurHash2 of `length` bytes with the given seed, identical on every
// word size and byte order. `length` must be below 2^32.
std::uint32_t murmurHash2(const char* bytes, std::size_t length, std::uint32_t seed) noexcept;

// The hash that replaces field 2 of a user record.
inline std::uint32_t fieldHash(const char* bytes, std::size_t length) noexcept
{
    return murmurHash2(bytes, length, hashSeed);
}

inline std::uint32_t fieldHash(std::string_view bytes) noexcept { return fieldHash(bytes.data(), bytes.size()); }

// Decimal text of a field hash: 1 to 10 ASCII digits, whatever the locale.
class HashText {
public:
    std::string_view view() const noexcept { return {digits_, length_}; }

private:
    friend HashText renderHash(std::uint32_t hash) noexcept;
    char digits_[10];
    std::size_t length_;
};

// The text that stands in field 2 of userData.txt for `hash`.
HashText renderHash(std::uint32_t hash) noexcept;

} // namespace initHashData

#endif // C++17

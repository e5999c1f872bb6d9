// SPDX-License-Identifier: MIT
#include <initHashData/fieldHash.hpp>

#include "fieldHash/hashText.hpp"
#include "fieldHash/murmurHash2.hpp"

namespace initHashData {

std::uint32_t murmurHash2(const char* bytes, std::size_t length, std::uint32_t seed) noexcept
{
    return murmurHash2Inline(bytes, length, seed);
}

HashText renderHash(std::uint32_t hash) noexcept
{
    HashText text;
    text.length_ = static_cast<std::size_t>(writeHashText(text.digits_, hash) - text.digits_);
    return text;
}

} // namespace initHashData

// SPDX-License-Identifier: MIT
#pragma once
// Finding the colons and newlines of records a chunk of bytes at a time, with
// the widest vector instructions at hand or with plain 64-bit words.

// Which chunk classes this machine's compiler can build.
#include "fieldHash/instructionSets.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace initHashData {

// What a scan may read past the end of a block: the block is followed by
// these bytes, a sentinel record first, which ends any record cut short at
// the end of the block within its four bytes, so that a scan needs no bounds
// check per chunk.
inline constexpr std::size_t scanPadding = 128;
inline constexpr std::string_view sentinelRecord = ":::\n";

// Where the colons and newlines lie among the bytes of one chunk: bit i
// stands for byte i.
struct TerminatorMasks {
    std::uint64_t colons;
    std::uint64_t newlines;
};

// 16 bytes at a time in two 64-bit words, on any machine.
struct WordChunk {
    static constexpr std::size_t width = 16;

    // The high bit of every byte of `word` that is zero, exactly.
    static std::uint64_t zeroBytes(std::uint64_t word) noexcept
    {
        constexpr std::uint64_t low7 = 0x7f7f7f7f7f7f7f7fULL;
        return ~(((word & low7) + low7) | word | low7);
    }

    // The high bits of the eight bytes gathered into the low eight bits, byte 0 first.
    static std::uint64_t gatherHighBits(std::uint64_t highBits) noexcept
    {
        return (highBits >> 7) * 0x0102040810204080ULL >> 56;
    }

    TerminatorMasks classify(const char* p) const noexcept
    {
        TerminatorMasks masks{0, 0};
        for (std::size_t i = 0; i < 2; ++i) {
            std::uint64_t word = 0;
            std::memcpy(&word, p + 8 * i, 8);
            if constexpr (std::endian::native == std::endian::big) {
                word = __builtin_bswap64(word);
            }
            masks.colons |= gatherHighBits(zeroBytes(word ^ 0x3a3a3a3a3a3a3a3aULL)) << (8 * i);
            masks.newlines |= gatherHighBits(zeroBytes(word ^ 0x0a0a0a0a0a0a0a0aULL)) << (8 * i);
        }
        return masks;
    }
};

#if INITHASHDATA_SSE2
// 16 bytes at a time, on every x86-64.
class Sse2Chunk {
public:
    static constexpr std::size_t width = 16;
    TerminatorMasks classify(const char* p) const noexcept
    {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        return {static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, colon_))),
                static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, newline_)))};
    }

private:
    __m128i colon_ = _mm_set1_epi8(':');
    __m128i newline_ = _mm_set1_epi8('\n');
};
#endif

#if INITHASHDATA_AVX2
// 32 bytes at a time, where the processor has AVX2.
class Avx2Chunk {
public:
    static constexpr std::size_t width = 32;
    // The compiler would make the constants afresh at every use; held in
    // registers for the whole scan, they cost nothing per chunk.
    [[gnu::target("avx2")]] Avx2Chunk() noexcept
        : colon_(opaque(_mm256_set1_epi8(':'))), newline_(opaque(_mm256_set1_epi8('\n')))
    {
    }

    [[gnu::target("avx2")]] TerminatorMasks classify(const char* p) const noexcept
    {
        const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        return {static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(chunk, colon_))),
                static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(chunk, newline_)))};
    }

private:
    [[gnu::target("avx2")]] static __m256i opaque(__m256i value) noexcept
    {
        asm("" : "+x"(value));
        return value;
    }

    __m256i colon_;
    __m256i newline_;
};
#endif

// Finds the terminators of whole records in one block, a chunk at a time:
// each byte is classified once, and each terminator costs a few instructions.
// The block is followed by scanPadding, so the scan always finds a record's
// end and needs no bounds check per chunk; a record whose newline lies past
// the block is not a record of the block.
template <class Chunk> class TerminatorScanner {
public:
    [[gnu::always_inline]] explicit TerminatorScanner(const char* begin) noexcept
        : base_(begin), masks_(chunk_.classify(begin))
    {
    }

    [[gnu::always_inline]] const char* nextColon() noexcept
    {
        while (masks_.colons == 0) {
            advance();
        }
        const int bit = std::countr_zero(masks_.colons);
        masks_.colons &= masks_.colons - 1;
        lastColon_ = bit;
        return base_ + bit;
    }

    // The next newline after the last colon; newlines before that colon are
    // field bytes, and colons before the newline bytes of field 4.
    [[gnu::always_inline]] const char* nextNewline() noexcept
    {
        for (;;) {
            while (masks_.newlines == 0) {
                advance();
            }
            const int bit = std::countr_zero(masks_.newlines);
            masks_.newlines &= masks_.newlines - 1;
            // One compare, where masking off the newlines before the colon
            // would cost as much, and no more to note those passed over.
            if (bit >= lastColon_) [[likely]] {
                masks_.colons &= (~std::uint64_t{0} << bit) << 1;
                return base_ + bit;
            }
            strayNewlines_ = 1;
        }
    }

    // Whether a newline was passed over as a field byte (a record that spans
    // lines, a blank line) since the scan began: here or past the last
    // record of the block, so a hint for a closer look, never a finding.
    bool passedNewlines() const noexcept { return strayNewlines_ != 0; }

private:
    [[gnu::always_inline]] void advance() noexcept
    {
        // Newlines left in a chunk the scan leaves lie in fields.
        strayNewlines_ |= masks_.newlines;
        base_ += Chunk::width;
        masks_ = chunk_.classify(base_);
        lastColon_ = 0;
    }

    Chunk chunk_;
    const char* base_;
    TerminatorMasks masks_;
    int lastColon_ = 0;
    std::uint64_t strayNewlines_ = 0;
};

} // namespace initHashData

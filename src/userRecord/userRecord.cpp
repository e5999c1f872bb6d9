// SPDX-License-Identifier: MIT
#include "userRecord/userRecord.hpp"

#include "fieldHash/hashText.hpp"
#include "fieldHash/murmurHash2.hpp"
#include "fileIo/failure.hpp"
#include <initHashData/fieldHash.hpp>

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace initHashData {

namespace {

void appendHashOf(std::string_view field2, ByteWriter& out) { out.append(renderHash(fieldHash(field2)).view()); }

enum class FieldEnd { terminator, endOfInput };

// Hands the bytes of the current field, up to `terminator`, to `take` in one or
// more pieces and consumes the terminator.
template <class Take> FieldEnd streamField(ByteReader& in, char terminator, Take take)
{
    for (;;) {
        const std::string_view block = in.buffered();
        if (const void* hit = std::memchr(block.data(), terminator, block.size())) {
            const auto length = static_cast<std::size_t>(static_cast<const char*>(hit) - block.data());
            take(block.substr(0, length));
            in.consume(length + 1);
            return FieldEnd::terminator;
        }
        take(block);
        in.consume(block.size());
        if (!in.refill()) {
            return FieldEnd::endOfInput;
        }
    }
}

// Where the colons and newlines lie among the bytes of one chunk: bit i
// stands for byte i.
struct TerminatorMasks {
    std::uint32_t colons;
    std::uint32_t newlines;
};

#if defined(__SSE2__)
// 16 bytes at a time, on every x86-64.
class Sse2Chunk {
public:
    static constexpr std::size_t width = 16;
    TerminatorMasks classify(const char* p) const noexcept
    {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        return {static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, colon_))),
                static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, newline_)))};
    }

private:
    __m128i colon_ = _mm_set1_epi8(':');
    __m128i newline_ = _mm_set1_epi8('\n');
};
using PortableChunk = Sse2Chunk;
#else
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
    static std::uint32_t gatherHighBits(std::uint64_t highBits) noexcept
    {
        return static_cast<std::uint32_t>((highBits >> 7) * 0x0102040810204080ULL >> 56);
    }

    TerminatorMasks classify(const char* p) const noexcept
    {
        TerminatorMasks masks{0, 0};
        for (int i = 0; i < 2; ++i) {
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
using PortableChunk = WordChunk;
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#define INITHASHDATA_AVX2 1
template <std::size_t count> constexpr std::array<char, count> filled(char byte)
{
    std::array<char, count> bytes{};
    for (char& b : bytes) {
        b = byte;
    }
    return bytes;
}

// 32 bytes at a time, where the processor has AVX2.
class Avx2Chunk {
public:
    static constexpr std::size_t width = 32;
    [[gnu::target("avx2")]] TerminatorMasks classify(const char* p) const noexcept
    {
        // Compared from memory: one instruction, where a broadcast takes three.
        const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i colons = _mm256_load_si256(reinterpret_cast<const __m256i*>(colons_.data()));
        const __m256i newlines = _mm256_load_si256(reinterpret_cast<const __m256i*>(newlines_.data()));
        return {static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(chunk, colons))),
                static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(chunk, newlines)))};
    }

private:
    alignas(32) static constexpr std::array<char, width> colons_ = filled<width>(':');
    alignas(32) static constexpr std::array<char, width> newlines_ = filled<width>('\n');
};
#endif

// Finds the terminators of whole records in one block, a chunk at a time:
// each byte is classified once, and each terminator costs a few instructions.
// The block is followed by a sentinel record (ByteReader's padding), so the
// scan always finds a record's end and needs no bounds check per chunk; a
// record whose newline lies past the block is not a record of the block.
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
        masks_.newlines &= ~std::uint32_t{0} << lastColon_;
        while (masks_.newlines == 0) {
            advance();
        }
        const int bit = std::countr_zero(masks_.newlines);
        masks_.newlines &= masks_.newlines - 1;
        masks_.colons &= (~std::uint32_t{0} << bit) << 1;
        return base_ + bit;
    }

private:
    [[gnu::always_inline]] void advance() noexcept
    {
        base_ += Chunk::width;
        masks_ = chunk_.classify(base_);
        lastColon_ = 0;
    }

    Chunk chunk_;
    const char* base_;
    TerminatorMasks masks_;
    int lastColon_ = 0;
};

// How many bytes a copy moves before it looks at the length: most spans
// between two fields 2 (fields 3 and 4 and the next field 1) are shorter.
constexpr std::size_t copyAhead = 96;

// Copies [from, to) in moves of `width` bytes, at least copyAhead of them,
// which may write up to copyAhead - 1 bytes past the end and read as many past
// `to`: both buffers have room for that.
template <std::size_t width>
[[gnu::always_inline]] inline char* copyOverrunning(char* out, const char* from, const char* to) noexcept
{
    static_assert(copyAhead % width == 0 && copyAhead < readPadding);
#pragma GCC unroll 8
    for (std::size_t done = 0; done < copyAhead; done += width) {
        std::memcpy(out + done, from + done, width);
    }
    const auto length = static_cast<std::size_t>(to - from);
    for (std::size_t done = copyAhead; done < length; done += width) {
        std::memcpy(out + done, from + done, width);
    }
    return out + length;
}

// Converts the records that lie wholly in the block `in` holds and consumes
// them; returns how many. Output is the input with each field 2 replaced, so
// the bytes between two fields 2 go out in one copy.
template <class Chunk> [[gnu::always_inline]] inline std::uint64_t convertWholeRecords(ByteReader& in, ByteWriter& out)
{
    const std::string_view block = in.buffered();
    const char* const start = block.data();
    const char* const end = start + block.size();
    TerminatorScanner<Chunk> scanner(start);
    // The writer's cursor is kept here, where no byte written can alias it.
    char* to = out.cursor();
    const char* const roomEnd = out.roomEnd();
    const char* const drainPoint = out.drainPoint();
    const char* pending = start; // input not yet copied out
    const char* next = start;    // where the next record starts
    std::uint64_t records = 0;
    for (;;) {
        const char* const colon1 = scanner.nextColon();
        const char* const colon2 = scanner.nextColon();
        scanner.nextColon();
        const char* const newline = scanner.nextNewline();
        if (newline >= end) {
            break;
        }
        const char* const field2 = colon1 + 1;
        const std::uint32_t hash = murmurHash2Inline(field2, static_cast<std::size_t>(colon2 - field2), hashSeed);
        const auto span = static_cast<std::size_t>(field2 - pending);
        // Room for the overrun of the copy and for the ten digits.
        if (span + copyAhead + 16 <= static_cast<std::size_t>(roomEnd - to)) [[likely]] {
            to = copyOverrunning<Chunk::width>(to, pending, field2);
        } else {
            out.commit(to);
            out.append(std::string_view(pending, span));
            to = out.cursor();
        }
        to = writeHashText(to, hash);
        if (to >= drainPoint) {
            out.commit(to);
            to = out.cursor();
        }
        pending = colon2;
        next = newline + 1;
        ++records;
    }
    out.commit(to);
    out.append(std::string_view(pending, static_cast<std::size_t>(next - pending)));
    in.consume(static_cast<std::size_t>(next - start));
    return records;
}

std::uint64_t convertWholeRecordsPortably(ByteReader& in, ByteWriter& out)
{
    return convertWholeRecords<PortableChunk>(in, out);
}

#if INITHASHDATA_AVX2
// Everything of the loop is inlined here, where AVX2 is allowed.
[[gnu::target("avx2")]] std::uint64_t convertWholeRecordsAvx2(ByteReader& in, ByteWriter& out)
{
    return convertWholeRecords<Avx2Chunk>(in, out);
}
#endif

using WholeRecordConverter = std::uint64_t (*)(ByteReader&, ByteWriter&);

WholeRecordConverter wholeRecordConverter(RecordScan scan)
{
#if INITHASHDATA_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    if (scan == RecordScan::fastest && avx2) {
        return convertWholeRecordsAvx2;
    }
#endif
    (void)scan;
    return convertWholeRecordsPortably;
}

} // namespace

bool readUserRecord(ByteReader& in, ByteWriter& out, std::string& field2, std::uint64_t field2Limit)
{
    if (in.buffered().empty() && !in.refill()) {
        return false;
    }
    // Each field that the input reaches is streamed, across blocks where it
    // spans them; the ones it does not reach stay empty.
    const auto copy = [&out](std::string_view piece) { out.append(piece); };
    FieldEnd end = streamField(in, ':', copy);
    out.put(':');

    field2.clear();
    if (end == FieldEnd::terminator) {
        end = streamField(in, ':', [&](std::string_view piece) {
            if (piece.size() > field2Limit - field2.size()) {
                throw Failure("cannot convert " + quoteName(in.name()) +
                              ": a record's second field is too long to hash (4 GiB or more)");
            }
            field2.append(piece);
        });
    }
    appendHashOf(field2, out);
    out.put(':');

    if (end == FieldEnd::terminator) {
        end = streamField(in, ':', copy);
    }
    out.put(':');
    if (end == FieldEnd::terminator) {
        streamField(in, '\n', copy);
    }
    out.put('\n');
    return true;
}

std::uint64_t convertRecords(ByteReader& in, ByteWriter& out, std::string& field2, std::uint64_t field2Limit,
                             RecordScan scan)
{
    const WholeRecordConverter convertWhole = wholeRecordConverter(scan);
    std::uint64_t records = 0;
    for (;;) {
        records += convertWhole(in, out);
        if (in.buffered().empty()) {
            if (!in.refill()) {
                return records;
            }
            continue;
        }
        // What is left of the block is the start of a record that spans blocks
        // or that the input ends inside.
        readUserRecord(in, out, field2, field2Limit);
        ++records;
    }
}

} // namespace initHashData

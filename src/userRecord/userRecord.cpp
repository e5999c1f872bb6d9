// SPDX-License-Identifier: MIT
#include "userRecord/userRecord.hpp"

#include "fieldHash/hashText.hpp"
#include "fieldHash/murmurHash2.hpp"
#include "fileIo/failure.hpp"
#include "userRecord/terminatorScanner.hpp"
#include <initHashData/fieldHash.hpp>

#include <cstdint>
#include <cstring>
#include <stdexcept>

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

// How many bytes a copy moves before it looks at the length: most spans
// between two fields 2 (fields 3 and 4 and the next field 1) are shorter.
constexpr std::size_t copyAhead = 96;

// Copies [from, to) in moves of `width` bytes, at least copyAhead of them,
// which may write up to copyAhead - 1 bytes past the end and read as many past
// `to`: both buffers have room for that.
template <std::size_t width>
[[gnu::always_inline]] inline char* copyOverrunning(char* out, const char* from, const char* to) noexcept
{
    static_assert(copyAhead % width == 0 && copyAhead < scanPadding);
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

std::uint64_t convertWholeRecordsByWords(ByteReader& in, ByteWriter& out)
{
    return convertWholeRecords<WordChunk>(in, out);
}

#if INITHASHDATA_SSE2
std::uint64_t convertWholeRecordsSse2(ByteReader& in, ByteWriter& out)
{
    return convertWholeRecords<Sse2Chunk>(in, out);
}
#endif

#if INITHASHDATA_AVX2
// Everything of the loop is inlined here, where AVX2 is allowed.
[[gnu::target("avx2")]] std::uint64_t convertWholeRecordsAvx2(ByteReader& in, ByteWriter& out)
{
    return convertWholeRecords<Avx2Chunk>(in, out);
}
#endif

using WholeRecordConverter = std::uint64_t (*)(ByteReader&, ByteWriter&);

WholeRecordConverter wholeRecordConverter(RecordScan scan) noexcept
{
    switch (scan) {
#if INITHASHDATA_AVX2
    case RecordScan::avx2: return convertWholeRecordsAvx2;
#endif
#if INITHASHDATA_SSE2
    case RecordScan::sse2: return convertWholeRecordsSse2;
#endif
    default: return convertWholeRecordsByWords;
    }
}

} // namespace

namespace {

// Every scan below the fastest is built and runs too: AVX2 comes only with SSE2.
RecordScan fastestScan() noexcept
{
#if INITHASHDATA_AVX2
    if (__builtin_cpu_supports("avx2") != 0) {
        return RecordScan::avx2;
    }
#endif
#if INITHASHDATA_SSE2
    return RecordScan::sse2;
#else
    return RecordScan::word;
#endif
}

} // namespace

std::vector<RecordScan> availableScans()
{
    std::vector<RecordScan> scans{RecordScan::word, RecordScan::sse2, RecordScan::avx2};
    scans.resize(static_cast<std::size_t>(fastestScan()) + 1);
    return scans;
}

const char* scanName(RecordScan scan) noexcept
{
    switch (scan) {
    case RecordScan::sse2: return "SSE2";
    case RecordScan::avx2: return "AVX2";
    default: return "64-bit words";
    }
}

ReadPadding recordPadding() noexcept { return {scanPadding, sentinelRecord}; }

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
                             std::optional<RecordScan> scan)
{
    if (in.padding().size < scanPadding || in.padding().start != sentinelRecord) {
        throw std::invalid_argument("convertRecords needs a reader made with recordPadding()");
    }
    const WholeRecordConverter convertWhole = wholeRecordConverter(scan ? *scan : fastestScan());
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

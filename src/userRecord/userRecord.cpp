// SPDX-License-Identifier: MIT
#include "userRecord/userRecord.hpp"

#include "fileIo/failure.hpp"
#include "userRecord/recordWriter.hpp"
#include "userRecord/terminatorScanner.hpp"
#include <initHashData/fieldHash.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>

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

// The records that lie whole in one block, cut with a terminator scanner.
template <class Chunk> class BlockRecords {
public:
    [[gnu::always_inline]] explicit BlockRecords(std::string_view block) noexcept
        : end_(block.data() + block.size()), lastNewline_(block.data() - 1), scanner_(block.data())
    {
    }

    // The next record, or end at the first one that the block does not hold
    // whole. Fields 1 to 3 end at ":", field 4 at the "\n" after them.
    [[gnu::always_inline]] friend std::optional<UserRecord> readUserRecord(BlockRecords& block) noexcept
    {
        const char* const colon1 = block.scanner_.nextColon();
        const char* const colon2 = block.scanner_.nextColon();
        const char* const colon3 = block.scanner_.nextColon();
        const char* const newline = block.scanner_.nextNewline();
        if (newline >= block.end_) [[unlikely]] {
            return std::nullopt;
        }
        const char* const start = block.lastNewline_ + 1;
        block.lastNewline_ = newline;
        return UserRecord{between(start, colon1), between(colon1 + 1, colon2), between(colon2 + 1, colon3),
                          between(colon3 + 1, newline)};
    }

    // Where the records read so far end.
    const char* readEnd() const noexcept { return lastNewline_ + 1; }
    // Whether a newline may lie in a field: a hint, for a closer look.
    bool mayHoldStrayNewlines() const noexcept { return scanner_.passedNewlines(); }

private:
    static std::string_view between(const char* from, const char* to) noexcept
    {
        return {from, static_cast<std::size_t>(to - from)};
    }

    const char* end_;
    // The newline of the last record read, or the byte before the block: the
    // record start is not kept, which costs the loop a register.
    const char* lastNewline_;
    TerminatorScanner<Chunk> scanner_;
};

// What convertWholeRecords did: how many records it converted, and whether
// a newline may lie in a field of one of them.
struct WholeRecords {
    std::uint64_t count;
    bool mayHoldStrayNewlines;
};

// How the record loop hashes fields 2: as it reads each record, or eight
// records read first and their fields hashed at once in AVX2 lanes.
enum class Hashing { oneAtATime, inLanes };

// Converts the records that lie wholly in the block `in` holds and consumes them.
template <class Chunk, Hashing hashing = Hashing::oneAtATime>
[[gnu::always_inline]] inline WholeRecords convertWholeRecords(ByteReader& in, ByteWriter& out)
{
    const std::string_view block = in.buffered();
    BlockRecords<Chunk> records(block);
    // Copies move 32 bytes at most: the spans between fields 2 are short.
    RecordWriter<std::min(Chunk::width, std::size_t{32})> writer(out, block.data());
    std::uint64_t count = 0;
    if constexpr (hashing == Hashing::inLanes) {
#if INITHASHDATA_AVX2
        // The fields lie in the block, whose padding holds the bytes the lanes read past them.
        static_assert(FieldBatch::laneBytes <= scanPadding);
        FieldBatch batch;
        for (std::size_t taken = FieldBatch::size; taken == FieldBatch::size; count += taken) {
            taken = 0;
            while (taken < FieldBatch::size) {
                const std::optional<UserRecord> record = readUserRecord(records);
                if (!record) {
                    break;
                }
                batch.put(taken++, record->field2);
            }
            writeUserRecords(batch, taken, writer);
        }
#endif
    } else {
        while (const std::optional<UserRecord> record = readUserRecord(records)) {
            writeUserRecord(*record, writer);
            ++count;
        }
    }
    writer.finish(records.readEnd());
    in.consume(static_cast<std::size_t>(records.readEnd() - block.data()));
    return {count, records.mayHoldStrayNewlines()};
}

WholeRecords convertWholeRecordsByWords(ByteReader& in, ByteWriter& out)
{
    return convertWholeRecords<WordChunk>(in, out);
}

#if INITHASHDATA_SSE2
WholeRecords convertWholeRecordsSse2(ByteReader& in, ByteWriter& out)
{
    return convertWholeRecords<Sse2Chunk>(in, out);
}
#endif

#if INITHASHDATA_AVX2
// Everything of the loop is inlined here, where AVX2 is allowed, and BMI2,
// whose shifts and bit scans need no copies of their operands.
[[gnu::target("avx2,bmi,bmi2")]] WholeRecords convertWholeRecordsAvx2(ByteReader& in, ByteWriter& out)
{
    return convertWholeRecords<Avx2Chunk, Hashing::inLanes>(in, out);
}
#endif

using WholeRecordConverter = WholeRecords (*)(ByteReader&, ByteWriter&);

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

// Converts the record at the front of `in` as it reads it, holding only field
// 2, for a record too long to be held in a block and for the last one, which
// the input may cut short: each field it reaches is streamed, across blocks
// where it spans them, and the ones it does not reach stay empty.
void streamUserRecord(ByteReader& in, ByteWriter& out, std::string& field2, std::uint64_t field2Limit, LineNotes* notes)
{
    std::uint64_t newlines = 0;
    std::uint64_t copied = 0;
    const bool blank = in.buffered().starts_with('\n');
    const auto copy = [&out, &newlines, &copied](std::string_view piece) {
        newlines += static_cast<std::uint64_t>(std::count(piece.begin(), piece.end(), '\n'));
        copied += piece.size();
        out.append(piece);
    };
    FieldEnd end = streamField(in, ':', copy);
    out.put(':');
    // Nothing but newlines, then the end: to a reader by lines, a user with an empty name.
    const bool blankAtEnd = blank && end == FieldEnd::endOfInput && copied == newlines;

    field2.clear();
    if (end == FieldEnd::terminator) {
        end = streamField(in, ':', [&](std::string_view piece) {
            if (piece.size() > field2Limit - field2.size()) {
                throw Failure("cannot convert " + quoteName(in.name()) +
                              ": a record's second field is too long to hash (4 GiB or more)");
            }
            newlines += static_cast<std::uint64_t>(std::count(piece.begin(), piece.end(), '\n'));
            field2.append(piece);
        });
    }
    appendHashOf(field2, out);
    out.put(':');

    if (end == FieldEnd::terminator) {
        end = streamField(in, ':', copy);
    }
    out.put(':');
    if (notes != nullptr) {
        notes->note(newlines, blank, blankAtEnd);
    }
    if (end == FieldEnd::terminator) {
        streamField(in, '\n', [&out](std::string_view piece) { out.append(piece); });
    }
    out.put('\n');
}

// Every scan below the fastest is built and runs too: AVX2 comes only with SSE2.
RecordScan fastestScan() noexcept
{
#if INITHASHDATA_AVX2
    if (__builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("bmi2") != 0) {
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

std::uint64_t convertRecords(int input, const std::string& inputName, ByteWriter& out, std::string& field2,
                             const ConversionSettings& settings, LineNotes* notes)
{
    // The scans load past the bytes read without a bounds check, and stop at the sentinel there.
    ByteReader in(input, inputName, settings.blockSize, ReadPadding{scanPadding, sentinelRecord});
    const WholeRecordConverter convertWhole = wholeRecordConverter(settings.scan.value_or(fastestScan()));
    std::uint64_t records = 0;
    bool carried = false; // the block starts with a record cut by the end of the last
    for (;;) {
        const char* const blockStart = in.buffered().data();
        const auto [whole, mayHoldStrayNewlines] = convertWhole(in, out);
        records += whole;
        if (notes != nullptr) {
            // One record a line, unless the scan passed a newline in a field.
            if (mayHoldStrayNewlines) {
                notes->noteWholeRecords({blockStart, static_cast<std::size_t>(in.buffered().data() - blockStart)});
            } else {
                notes->line += whole;
            }
        }
        const bool cut = !in.buffered().empty();
        // A record cut by the end of a block is carried into the next one, once,
        // so that it is read whole there: the scan reads every byte at most twice.
        if (!(cut && carried && whole == 0) && in.buffered().size() <= in.blockSize()) {
            carried = cut;
            if (in.refill()) {
                continue;
            }
            if (!cut) {
                return records;
            }
        }
        streamUserRecord(in, out, field2, settings.field2Limit, notes);
        ++records;
        carried = false;
    }
}

} // namespace initHashData

// SPDX-License-Identifier: MIT
#pragma once

#include "fileIo/byteStream.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace initHashData {

// Field 2 is hashed with its length mixed in first, so it is gathered whole;
// the length must fit the hash's 32 bits.
inline constexpr std::uint64_t maxField2Length = 0xffffffffU;

// One user record, as views of the bytes read, in place: each field is
// followed there by its terminator (":" after fields 1 to 3, "\n" after 4).
struct UserRecord {
    std::string_view field1;
    std::string_view field2;
    std::string_view field3;
    std::string_view field4;
};

// How convertRecords finds whole records: 64-bit words on any machine, or
// the vector instructions of SSE2 or AVX2.
enum class RecordScan { word, sse2, avx2 };

// The scans this build has and the processor runs, the fastest last.
std::vector<RecordScan> availableScans();
const char* scanName(RecordScan scan) noexcept;

// How convertRecords reads: a run takes the defaults; tests and benchmarks
// set a block size, a smaller limit on field 2 or a scan.
struct ConversionSettings {
    std::size_t blockSize = defaultBlockSize;
    std::uint64_t field2Limit = maxField2Length;
    std::optional<RecordScan> scan = std::nullopt; // the fastest, where none
};

// The records whose first three fields hold a newline: almost always a
// mistake in a users file, where records are one a line (a missing colon
// runs a line on into the next, whose clear-text password then stands in a
// hashed file; a blank line starts a record that a line-based reader sees as
// an empty user). The format allows them, so they are only noted.
struct LineNotes {
    // The lines that such records start on, the first `namedAtMost` of
    // them, how many newlines each holds before field 4, whether it starts
    // with a blank line, and whether it is nothing but blank lines at the end
    // of the input: a record of its own, with an empty name.
    struct Noted {
        std::uint64_t line;
        std::uint64_t newlines;
        bool blank;
        bool blankAtEnd = false;
    };
    static constexpr std::size_t namedAtMost = 10;
    std::vector<Noted> named;
    std::uint64_t count = 0;
    // The line the next record starts on.
    std::uint64_t line = 1;

    // Notes the records that `records`, whole records each ending in a
    // newline, start with the next one.
    void noteWholeRecords(std::string_view records);
    // Notes a record starting on `line` whose first three fields hold
    // `newlines` newlines and that starts with a blank line where `blank`.
    void note(std::uint64_t newlines, bool blank, bool blankAtEnd = false);
};

// Converts every record read from `input`, an open descriptor called
// `inputName` in messages, into `out`: each field 2 replaced by the decimal
// text of its hash, every other byte as read. Memory stays the reader's and
// the writer's blocks and the longest field 2, which is gathered whole in
// `field2`: a record cut short by the end of the input keeps what it has, and
// the fields it does not reach are empty. Returns the number of records;
// throws Failure when a read or write fails or a field 2 exceeds the limit.
// Where `notes` is given, records that span lines are noted there.
std::uint64_t convertRecords(int input, const std::string& inputName, ByteWriter& out, std::string& field2,
                             const ConversionSettings& settings = {}, LineNotes* notes = nullptr);

} // namespace initHashData

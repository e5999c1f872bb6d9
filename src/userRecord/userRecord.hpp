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

// Cuts the next user record from `in` (fields 1 to 3 end at ":", field 4 at
// "\n"; a record cut short by the end of the input keeps what it has) and writes
// its rendering to `out`. Fields 1, 3 and 4 stream through; field 2 is gathered
// in `field2`. Returns false, writing nothing, when the
// input holds no further byte. Throws Failure when field 2 exceeds `field2Limit`.
bool readUserRecord(ByteReader& in, ByteWriter& out, std::string& field2, std::uint64_t field2Limit = maxField2Length);

// How convertRecords finds whole records: 64-bit words on any machine, or
// the vector instructions of SSE2 or AVX2.
enum class RecordScan { word, sse2, avx2 };

// The scans this build has and the processor runs, the fastest last.
std::vector<RecordScan> availableScans();
const char* scanName(RecordScan scan) noexcept;

// What convertRecords needs its reader to keep past each block.
ReadPadding recordPadding() noexcept;

// Converts every record of `in`, a reader made with recordPadding(), into
// `out`, as readUserRecord does one by one, but finds whole records in a
// block without a call per field, with `scan` or else the fastest. Returns
// the number of records. Throws Failure as readUserRecord does.
std::uint64_t convertRecords(ByteReader& in, ByteWriter& out, std::string& field2,
                             std::uint64_t field2Limit = maxField2Length,
                             std::optional<RecordScan> scan = std::nullopt);

} // namespace initHashData

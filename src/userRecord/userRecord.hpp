// SPDX-License-Identifier: MIT
#pragma once

#include "fileIo/byteStream.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

// How convertRecords finds whole records: with the widest vector instructions
// the processor has, or with those every machine of its kind has (for tests).
enum class RecordScan { fastest, portable };

// Converts every record of `in` into `out`, as readUserRecord does one by one,
// but finds whole records in a block without a call per field. Returns the
// number of records. Throws Failure as readUserRecord does.
std::uint64_t convertRecords(ByteReader& in, ByteWriter& out, std::string& field2,
                             std::uint64_t field2Limit = maxField2Length, RecordScan scan = RecordScan::fastest);

} // namespace initHashData

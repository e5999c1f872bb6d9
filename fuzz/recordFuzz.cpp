// SPDX-License-Identifier: MIT
// libFuzzer target over reading and rendering: the output must not depend on
// the block size nor on the scan (vector width) that finds whole records, must
// hold one record per record read, and reading it back
// must give fields 1, 3 and 4 unchanged and field 2 as the hash text of the
// original field 2.
#include "fileIo/byteStream.hpp"
#include "memoryConversion.hpp"
#include <initHashData/fieldHash.hpp>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Record = std::array<std::string, 4>;

// The record format, cut byte by byte as simply as it can be said.
std::vector<Record> cutRecords(std::string_view bytes)
{
    std::vector<Record> records;
    std::size_t i = 0;
    while (i < bytes.size()) {
        Record record;
        std::size_t field = 0;
        while (i < bytes.size()) {
            const char byte = bytes[i++];
            if (byte == (field < 3 ? ':' : '\n')) {
                if (++field == 4) {
                    break;
                }
            } else {
                record[field] += byte;
            }
        }
        records.push_back(std::move(record));
    }
    return records;
}

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "recordFuzz: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using initHashData::testing::convertInMemory;
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    const auto converted = convertInMemory(input, {});
    for (const std::size_t blockSize : {std::size_t{1}, std::size_t{3}, std::size_t{16}, std::size_t{64}}) {
        require(convertInMemory(input, {blockSize}).output == converted.output, "the output depends on the block size");
    }
    for (const initHashData::RecordScan scan : initHashData::availableScans()) {
        for (const std::size_t blockSize : {std::size_t{40}, initHashData::defaultBlockSize}) {
            const auto other = convertInMemory(input, {blockSize, initHashData::maxField2Length, scan});
            require(other.output == converted.output, "one scan disagrees with the fastest");
        }
    }

    const std::vector<Record> read = cutRecords(input);
    const std::vector<Record> written = cutRecords(converted.output);
    require(static_cast<std::size_t>(converted.records) == read.size(), "records read differ from the format's count");
    require(written.size() == read.size(), "the output holds a different number of records");
    for (std::size_t i = 0; i < read.size(); ++i) {
        const auto hash = initHashData::renderHash(initHashData::fieldHash(read[i][1]));
        require(written[i][0] == read[i][0], "field 1 changed");
        require(written[i][1] == hash.view(), "field 2 is not the hash text of the original");
        require(written[i][2] == read[i][2], "field 3 changed");
        require(written[i][3] == read[i][3], "field 4 changed");
    }
    return 0;
}

// SPDX-License-Identifier: MIT
// libFuzzer target over reading and rendering: the output must not depend on
// the block size nor on the scan (vector width) that finds whole records, must
// hold one record per record read, and reading it back must give fields 1, 3
// and 4 unchanged and field 2 as the hash text of the original field 2,
// whether it was hashed alone or eight at a time in AVX2 lanes. The records
// noted as spanning lines must be those whose first three fields hold a
// newline, on the lines where they start.
#include "fieldHash/murmurHash2Lanes.hpp"
#include "fileIo/byteStream.hpp"
#include "memoryConversion.hpp"
#include <initHashData/fieldHash.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Record = std::array<std::string, 4>;

// The record format, cut byte by byte as simply as it can be said; where
// `starts` is given, the offset of each record goes there.
std::vector<Record> cutRecords(std::string_view bytes, std::vector<std::size_t>* starts = nullptr)
{
    std::vector<Record> records;
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (starts != nullptr) {
            starts->push_back(i);
        }
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

// The records that span lines, read again from the records cut above: the
// line a record starts on is one past the newlines before it.
initHashData::LineNotes spanningRecords(std::string_view bytes)
{
    std::vector<std::size_t> starts;
    const std::vector<Record> records = cutRecords(bytes, &starts);
    initHashData::LineNotes notes;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::string firstThree = records[i][0] + records[i][1] + records[i][2];
        if (firstThree.find('\n') == std::string::npos) {
            continue;
        }
        ++notes.count;
        if (notes.named.size() < initHashData::LineNotes::namedAtMost) {
            const auto before = bytes.substr(0, starts[i]);
            const auto rest = bytes.substr(starts[i]);
            notes.named.push_back({1 + static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '\n')),
                                   static_cast<std::uint64_t>(std::count(firstThree.begin(), firstThree.end(), '\n')),
                                   records[i][0].starts_with('\n'), rest.find_first_not_of('\n') == rest.npos});
        }
    }
    return notes;
}

void requireNotes(const initHashData::LineNotes& got, const initHashData::LineNotes& expected, const char* what)
{
    require(got.count == expected.count, what);
    require(got.named.size() == expected.named.size(), what);
    for (std::size_t i = 0; i < got.named.size(); ++i) {
        const auto& [line, newlines, blank, blankAtEnd] = expected.named[i];
        require(got.named[i].line == line && got.named[i].newlines == newlines && got.named[i].blank == blank &&
                    got.named[i].blankAtEnd == blankAtEnd,
                what);
    }
}

#if INITHASHDATA_AVX2
// The lanes against one field at a time: eight fields cut from the input,
// of the lengths its first bytes give, each in a buffer of the 32 bytes the
// lanes read.
void requireLanesHashLikeOneAtATime(std::string_view input)
{
    using initHashData::FieldBatch;
    std::array<std::array<char, FieldBatch::laneBytes>, FieldBatch::size> buffers{};
    FieldBatch batch{};
    std::size_t at = 0;
    for (std::size_t lane = 0; lane < FieldBatch::size; ++lane) {
        const std::size_t wanted = lane < input.size() ? static_cast<unsigned char>(input[lane]) % 32U : lane;
        const std::string_view field = input.substr(std::min(at, input.size()), wanted);
        std::copy(field.begin(), field.end(), buffers[lane].begin());
        batch.put(lane, {buffers[lane].data(), field.size()});
        at += field.size();
    }
    std::array<std::uint32_t, FieldBatch::size> hashes{};
    initHashData::murmurHash2Lanes(batch, initHashData::hashSeed, hashes);
    for (std::size_t lane = 0; lane < FieldBatch::size; ++lane) {
        require(hashes[lane] == initHashData::fieldHash(batch.field(lane)),
                "a lane's hash differs from the field's own");
    }
}
#endif

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using initHashData::testing::convertInMemory;
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    const auto converted = convertInMemory(input, {});
    const initHashData::LineNotes spanning = spanningRecords(input);
    requireNotes(converted.notes, spanning, "the records noted as spanning lines differ from a plain reading");
    for (const std::size_t blockSize : {std::size_t{1}, std::size_t{3}, std::size_t{16}, std::size_t{64}}) {
        const auto other = convertInMemory(input, {blockSize});
        require(other.output == converted.output, "the output depends on the block size");
        requireNotes(other.notes, spanning, "the records noted as spanning lines depend on the block size");
    }
    for (const initHashData::RecordScan scan : initHashData::availableScans()) {
        for (const std::size_t blockSize : {std::size_t{40}, initHashData::defaultBlockSize}) {
            const auto other = convertInMemory(input, {blockSize, initHashData::maxField2Length, scan});
            require(other.output == converted.output, "one scan disagrees with the fastest");
            requireNotes(other.notes, spanning, "one scan notes other records as spanning lines");
        }
    }

#if INITHASHDATA_AVX2
    if (__builtin_cpu_supports("avx2") != 0) {
        requireLanesHashLikeOneAtATime(input);
    }
#endif

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

// SPDX-License-Identifier: MIT
#include <initHashData/fieldHash.hpp>

#include "fieldHash/murmurHash2Lanes.hpp"
#include "fileIo/failure.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace initHashData {
namespace {

using namespace std::string_view_literals;

struct KnownAnswer {
    std::string_view bytes;
    std::uint32_t expected;
};

// Expected values come from an independent implementation; the empty string
// and "a" are the library string hash's own published values.
constexpr KnownAnswer knownAnswers[] = {
    {""sv, 3990065800U},
    {"a"sv, 2167009006U},
    {"ab"sv, 2805137849U},
    {"abc"sv, 3350977461U},
    {"abcd"sv, 804720481U},
    {"abcde"sv, 730143326U},
    {"abcdef"sv, 3635843366U},
    {"abcdefg"sv, 3677849364U},
    {"abcdefgh"sv, 797686234U},
    {"hunter2"sv, 1087378769U},
    {"correct horse battery staple"sv, 2285260750U},
    {"\x80"sv, 1578877295U},
    {"\xff\xfe"sv, 3526507174U},
    {"\xff\xfe\xfd"sv, 3018892595U},
    {"\x80\x81\x82\x83"sv, 945379306U},
    {"\xff\xff\xff\xff\xff"sv, 3630257260U},
    {"p\xc3\xa4ssw\xc3\xb6rd"sv, 149956948U},
    {"a\nb\rc\0d"sv, 3580897321U},
    {"0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789"sv,
     2759976864U},
};

TEST(FieldHash, KnownAnswersForEveryTailLengthAndHighBytes)
{
    for (const KnownAnswer& c : knownAnswers) {
        EXPECT_EQ(fieldHash(c.bytes), c.expected) << "bytes " << quoteName(c.bytes);
    }
}

#if INITHASHDATA_AVX2
// The lanes' hashes of `fields`, each in a buffer of its own of the 32 bytes
// the lanes read, so that a read past them is an error under the sanitizers;
// the bytes past a field are another field's, as in a block of records.
std::array<std::uint32_t, FieldBatch::size> hashesInLanes(const std::array<std::string_view, FieldBatch::size>& fields)
{
    std::array<std::unique_ptr<char[]>, FieldBatch::size> buffers;
    FieldBatch batch{};
    for (std::size_t lane = 0; lane < FieldBatch::size; ++lane) {
        buffers[lane] = std::make_unique<char[]>(FieldBatch::laneBytes);
        std::fill_n(buffers[lane].get(), FieldBatch::laneBytes, static_cast<char>(0xa5 + lane));
        std::copy(fields[lane].begin(), fields[lane].end(), buffers[lane].get());
        batch.put(lane, {buffers[lane].get(), fields[lane].size()});
    }
    EXPECT_TRUE(fitsLanes(batch));
    std::array<std::uint32_t, FieldBatch::size> hashes{};
    murmurHash2Lanes(batch, hashSeed, hashes);
    return hashes;
}
#endif

// The record loop hashes eight short fields at once where the processor has
// AVX2: each lane must give its own field the one hash, whatever the others.
TEST(FieldHash, LanesGiveEveryFieldItsHashInEveryLane)
{
#if INITHASHDATA_AVX2
    if (__builtin_cpu_supports("avx2") == 0) {
        GTEST_SKIP() << "the processor has no AVX2, so the record loop hashes one field at a time here";
    }
    // The known answers the lanes take, then every length they take, with bytes above 0x7f.
    std::vector<KnownAnswer> fields;
    std::copy_if(std::begin(knownAnswers), std::end(knownAnswers), std::back_inserter(fields),
                 [](const KnownAnswer& c) { return c.bytes.size() < FieldBatch::laneBytes; });
    std::vector<std::string> lengths;
    for (std::size_t length = 0; length < FieldBatch::laneBytes; ++length) {
        std::string& field = lengths.emplace_back();
        for (std::size_t i = 0; i < length; ++i) {
            field.push_back(static_cast<char>(0x61 + (length * 7 + i * 13) % 159));
        }
    }
    for (const std::string& field : lengths) {
        fields.push_back({field, fieldHash(field)});
    }
    // Field (first + 5 * lane) in lane `lane`: every field in every lane.
    for (std::size_t first = 0; first < fields.size(); ++first) {
        std::array<std::string_view, FieldBatch::size> batch;
        for (std::size_t lane = 0; lane < FieldBatch::size; ++lane) {
            batch[lane] = fields[(first + 5 * lane) % fields.size()].bytes;
        }
        const std::array<std::uint32_t, FieldBatch::size> hashes = hashesInLanes(batch);
        for (std::size_t lane = 0; lane < FieldBatch::size; ++lane) {
            EXPECT_EQ(hashes[lane], fields[(first + 5 * lane) % fields.size()].expected)
                << "lane " << lane
                << " hashed another field, or another length, than its own: " << quoteName(batch[lane]);
        }
    }
#else
    GTEST_SKIP() << "this build has no AVX2 code: the record loop hashes one field at a time, as the other tests check";
#endif
}

// Checkers in other languages are written against the table of
// doc/fieldHash.md, so every row of it must be what the library gives; the
// rows must also keep covering every tail length and a byte above 0x7f.
TEST(FieldHash, DocumentedKnownAnswersAreTheLibrarys)
{
    std::ifstream doc(FIELD_HASH_DOC);
    ASSERT_TRUE(doc) << "cannot read " << FIELD_HASH_DOC;
    std::set<std::size_t> tails;
    bool highByte = false;
    for (std::string line; std::getline(doc, line);) {
        // | password | bytes (hex) | tail | field 2 |
        std::vector<std::string> cells;
        std::istringstream row(line);
        for (std::string cell; std::getline(row, cell, '|');) {
            std::replace(cell.begin(), cell.end(), '`', ' ');
            cells.push_back(cell);
        }
        std::istringstream hexBytes(cells.size() == 5 ? cells[2] : "");
        std::istringstream tail(cells.size() == 5 ? cells[3] : "");
        std::istringstream field2(cells.size() == 5 ? cells[4] : "");
        std::string expected;
        std::size_t tailLength = 0;
        if (line.rfind('|', 0) != 0 || !(tail >> tailLength) || !(field2 >> expected)) {
            continue; // prose, the heading or the rule under it
        }
        std::string bytes;
        for (unsigned byte = 0; hexBytes >> std::hex >> byte;) {
            ASSERT_LE(byte, 0xffU) << line;
            bytes.push_back(static_cast<char>(byte));
            highByte = highByte || byte >= 0x80U;
        }
        ASSERT_TRUE(hexBytes.eof()) << "bytes that are not hex in: " << line;
        EXPECT_EQ(bytes.size() % 4, tailLength) << line;
        EXPECT_EQ(renderHash(fieldHash(bytes)).view(), expected) << "bytes " << quoteName(bytes);
        tails.insert(tailLength);
    }
    EXPECT_EQ(tails, (std::set<std::size_t>{0, 1, 2, 3}));
    EXPECT_TRUE(highByte);
}

// SMHasher's verification of MurmurHash2: hash keys {}, {0}, {0,1}, ... {0..254}
// with seed 256 - length, then hash the 256 little-endian results with seed 0.
TEST(FieldHash, ReproducesPublishedVerificationValue)
{
    std::array<char, 256> key{};
    std::array<char, std::size_t{256} * 4> results{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<char>(i);
        const std::uint32_t h = murmurHash2(key.data(), i, static_cast<std::uint32_t>(256 - i));
        for (std::size_t b = 0; b < 4; ++b) {
            results[i * 4 + b] = static_cast<char>((h >> (8 * b)) & 0xffU);
        }
    }
    EXPECT_EQ(murmurHash2(results.data(), results.size(), 0), 0x27864C1EU);
}

TEST(RenderHash, UnsignedDecimalWithoutPaddingOrSign)
{
    const std::pair<std::uint32_t, std::string_view> cases[] = {
        {0U, "0"},
        {7U, "7"},
        {10U, "10"},
        {99U, "99"},
        {100U, "100"},
        {1000000U, "1000000"},
        {67108864U, "67108864"},
        {99999999U, "99999999"},
        {100000000U, "100000000"},
        {100000001U, "100000001"},
        {999999999U, "999999999"},
        {1000000000U, "1000000000"},
        {1234567890U, "1234567890"},
        {2147483648U, "2147483648"},
        {4294967295U, "4294967295"},
    };
    for (const auto& [hash, expected] : cases) {
        EXPECT_EQ(renderHash(hash).view(), expected) << "hash " << hash;
    }
    // Every digit count, with each power of ten and its neighbours, against the
    // standard library's own rendering.
    for (std::uint64_t hash = 0; hash <= 0xffffffffU; hash = hash * 3 + 1) {
        for (std::uint64_t near = hash; near < hash + 3 && near <= 0xffffffffU; ++near) {
            const auto value = static_cast<std::uint32_t>(near);
            EXPECT_EQ(renderHash(value).view(), std::to_string(value));
        }
    }
    for (std::uint64_t power = 1; power <= 0xffffffffU; power *= 10) {
        for (const std::uint64_t near : {power - 1, power, power + 1}) {
            EXPECT_EQ(renderHash(static_cast<std::uint32_t>(near)).view(), std::to_string(near));
        }
    }
}

} // namespace
} // namespace initHashData

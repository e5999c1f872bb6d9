// SPDX-License-Identifier: MIT
#include "userRecord/userRecord.hpp"
#include "fileIo/byteStream.hpp"
#include "fileIo/failure.hpp"
#include "memoryConversion.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace initHashData {
namespace {

using namespace std::string_literals;
using testing::Converted;
using testing::convertInMemory;
using testing::hashOf;

// Block sizes chosen to cut records, fields and terminators at every place.
constexpr std::size_t blockSizes[] = {1, 2, 3, 5, 16, defaultBlockSize};

// An input, its conversion, the number of records in it, and the records
// that span lines: the lines they join, "b" for a blank line, "e" for blank
// lines that end the input, and how many there are where more than those named.
struct Layout {
    const char* what;
    std::string input;
    std::string expected;
    int records;
    std::string noted = "";
    std::uint64_t noteCount = 0;
};

// The lines of `notes` as a Layout names them: "1 3b".
std::string namedLines(const LineNotes& notes)
{
    std::string named;
    for (const LineNotes::Noted& noted : notes.named) {
        named.append(named.empty() ? "" : " ").append(std::to_string(noted.line));
        if (noted.blank) {
            named += noted.blankAtEnd ? 'e' : 'b';
        } else {
            named.append("-").append(std::to_string(noted.line + noted.newlines));
        }
    }
    return named;
}

std::vector<Layout> layouts()
{
    const std::string longField(100, 'x');
    const std::string hugeField(70000, 'h');
    // Records of 1 to 64 bytes, so that terminators fall on every bit of a scan.
    std::string scanGrid;
    std::string scanGridOutput;
    for (std::size_t length = 4; length < 68; ++length) {
        const std::string field4(length - 4, 'd');
        scanGrid += ":::" + field4 + "\n";
        scanGridOutput.append(":").append(hashOf("")).append("::").append(field4).append("\n");
    }
    // Fields 2 hashed eight at a time where the processor has AVX2: every
    // length below 32 in every place of a batch, then every length to 100.
    std::string batched;
    std::string batchedOutput;
    constexpr std::size_t shortRecords = std::size_t{32} * 8;
    for (std::size_t r = 0; r < shortRecords + 101; ++r) {
        const std::size_t length = r < shortRecords ? (r / 8 + 5 * (r % 8)) % 32 : r - shortRecords;
        std::string field2;
        for (std::size_t i = 0; i < length; ++i) {
            field2.push_back(static_cast<char>(i % 3 == 0 ? 0x80 + (r + i) % 128 : 'a' + (r + i) % 26));
        }
        const std::string field1 = std::to_string(r);
        batched.append(field1).append(":").append(field2).append(":c:d\n");
        batchedOutput.append(field1).append(":").append(hashOf(field2)).append(":c:d\n");
    }
    std::string blankLed;
    std::string blankLedOutput;
    for (int record = 0; record < 12; ++record) {
        blankLed += "\na:b:c:d\n";
        blankLedOutput += "\na:" + hashOf("b") + ":c:d\n";
    }
    return {
        {"one record", "A:B:C:D\n", "A:" + hashOf("B") + ":C:D\n", 1},
        {"no final newline", "A:B:C:D", "A:" + hashOf("B") + ":C:D\n", 1},
        {"empty input", "", "", 0},
        {"two records", "a:1:b:c\nd:2:e:f\n", "a:" + hashOf("1") + ":b:c\nd:" + hashOf("2") + ":e:f\n", 2},
        {"blank line at the end", "A:B:C:D\n\n", "A:" + hashOf("B") + ":C:D\n\n:" + hashOf("") + "::\n", 2, "2e"},
        {"text without colon at the end", "A:B:C:D\ntail", "A:" + hashOf("B") + ":C:D\ntail:" + hashOf("") + "::\n", 2},
        {"ends after field 1", "A:", "A:" + hashOf("") + "::\n", 1},
        {"ends inside field 3", "A:B:C", "A:" + hashOf("B") + ":C:\n", 1},
        {"empty field 2", "A::C:D\n", "A:" + hashOf("") + ":C:D\n", 1},
        {"all fields empty", ":::\n", ":" + hashOf("") + "::\n", 1},
        {"single colon line joins the next", "x:\nA:B:C:D\n", "x:" + hashOf("\nA") + ":B:C:D\n", 1, "1-2"},
        {"blank line before a record", "\nA:B:C:D\n", "\nA:" + hashOf("B") + ":C:D\n", 1, "1b"},
        {"blank lines alone", "\n\n", "\n\n:" + hashOf("") + "::\n", 1, "1e"},
        {"blank line then text at the end", "\ntail", "\ntail:" + hashOf("") + "::\n", 1, "1b"},
        {"a record across three lines", "a\nb\nc:p:d:e\n", "a\nb\nc:" + hashOf("p") + ":d:e\n", 1, "1-3"},
        {"a missing colon runs into the next line, then a blank line", "bob:pw2\ncarol:secret:C:y\n\n",
         "bob:" + hashOf("pw2\ncarol") + ":secret:C:y\n\n:" + hashOf("") + "::\n", 2, "1-2 3e"},
        {"a newline a scan chunk before the colons", "x\n" + longField + ":b:c:d\n",
         "x\n" + longField + ":" + hashOf("b") + ":c:d\n", 1, "1-2"},
        {"ten of twelve blank lines named", blankLed, blankLedOutput, 12, "1b 3b 5b 7b 9b 11b 13b 15b 17b 19b", 12},
        {"carriage return stays in field 4", "A:B:C:D\r\n", "A:" + hashOf("B") + ":C:D\r\n", 1},
        {"colons in field 4", "A:B:C:D:E:F\n", "A:" + hashOf("B") + ":C:D:E:F\n", 1},
        {"NUL and high bytes", "\0\xff:\x80\0:\r:\t\n"s, "\0\xff:"s + hashOf("\x80\0"s) + ":\r:\t\n", 1},
        {"fields longer than a block", longField + ":" + longField + ":" + longField + ":" + longField + "\n",
         longField + ":" + hashOf(longField) + ":" + longField + ":" + longField + "\n", 1},
        {"a record longer than the writer's slack", hugeField + ":pw:c:d\na:b:c:d\n",
         hugeField + ":" + hashOf("pw") + ":c:d\na:" + hashOf("b") + ":c:d\n", 2},
        {"terminators at every place of a 64-byte scan", scanGrid, scanGridOutput, 64},
        {"fields 2 of every length in every lane", batched, batchedOutput, 256 + 101},
    };
}

TEST(UserRecord, LayoutsGiveTheSameOutputWhateverTheBlockSize)
{
    for (const Layout& c : layouts()) {
        for (const std::size_t blockSize : blockSizes) {
            for (const RecordScan scan : availableScans()) {
                const Converted got = convertInMemory(c.input, {blockSize, maxField2Length, scan});
                const char* const how = scanName(scan);
                EXPECT_EQ(got.output, c.expected) << c.what << ", block size " << blockSize << ", " << how;
                EXPECT_EQ(got.records, c.records) << c.what << ", block size " << blockSize << ", " << how;
                EXPECT_EQ(namedLines(got.notes), c.noted)
                    << c.what << ", block size " << blockSize << ", " << how << ": records that span lines";
                EXPECT_EQ(got.notes.count, std::max<std::uint64_t>(c.noteCount, got.notes.named.size()))
                    << c.what << ", block size " << blockSize << ", " << how;
            }
        }
    }
}

TEST(UserRecord, AField2PastTheLimitIsAFailure)
{
    const std::string input = "a:" + std::string(64, 'p') + ":c:d\n";
    for (const std::size_t blockSize : {std::size_t{1}, std::size_t{16}}) {
        EXPECT_EQ(convertInMemory(input, {blockSize, 64}).records, 1) << "a field 2 at the limit is fine";
        try {
            convertInMemory(input, {blockSize, 63});
            ADD_FAILURE() << "no failure at block size " << blockSize;
        } catch (const Failure& failure) {
            EXPECT_STREQ(failure.what(),
                         "cannot convert 'in': a record's second field is too long to hash (4 GiB or more)");
        }
    }
}

} // namespace
} // namespace initHashData

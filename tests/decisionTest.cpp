// SPDX-License-Identifier: MIT
// decide() against the decision table its header prints, read from the
// header itself, so that neither can change without the other.
#include "replacement/decision.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace initHashData {
namespace {

// Its cells, "target" to "way", and its line in the header.
struct Row {
    std::vector<std::string> cells;
    int line;
};

// The rows under the table's heading; cells are apart by two spaces or more.
std::vector<Row> tableRows()
{
    std::ifstream header(DECISION_HEADER);
    const std::regex gap(" {2,}");
    std::vector<Row> rows;
    bool below = false;
    int number = 0;
    for (std::string line; std::getline(header, line) && (!below || line.starts_with("//   "));) {
        ++number;
        if (below) {
            const std::string cells = line.substr(5);
            rows.push_back({{std::sregex_token_iterator(cells.begin(), cells.end(), gap, -1), {}}, number});
        }
        below = below || line.starts_with("//   target ");
    }
    return rows;
}

// The words of the table that a fact satisfies; "-" stands for any.
std::set<std::string> wordsOf(bool fact) { return {"-", fact ? "yes" : "no"}; }
std::set<std::string> wordsOfErrno(int errnum)
{
    return {"-", errnum == 0 ? "0" : "not 0", isClosedOrFull(errnum) ? "closedOrFull" : "-",
            isRenameRefused(errnum) ? "renameRefused" : "-", errnum == EEXIST ? "EEXIST" : "-"};
}

std::string errnoName(int errnum) { return errnum == 0 ? "0" : strerrorname_np(errnum); }

std::string nameOf(TargetKind target)
{
    return target == TargetKind::none ? "none" : target == TargetKind::regular ? "regular" : "fed";
}

std::string nameOf(Way way)
{
    switch (way) {
    case Way::renameOver: return "renameOver";
    case Way::writeInPlace: return "writeInPlace";
    case Way::lookAgain: return "lookAgain";
    case Way::refuse: return "refuse";
    }
    return "an unnamed way";
}

// The first row whose every fact cell holds for `facts`, or none.
std::vector<Row>::const_iterator firstMatch(const std::vector<Row>& rows, const Facts& facts)
{
    const std::set<std::string> words[] = {{"-", nameOf(facts.target)},
                                           wordsOf(facts.directoryKeepsNames),
                                           wordsOfErrno(facts.stagingErrno),
                                           wordsOf(facts.metadataCarried),
                                           wordsOfErrno(facts.placingErrno)};
    return std::find_if(rows.begin(), rows.end(), [&words](const Row& row) {
        return std::equal(
            std::begin(words), std::end(words), row.cells.begin(),
            [](const std::set<std::string>& fact, const std::string& cell) { return fact.contains(cell); });
    });
}

TEST(Decision, DecideGivesTheWayOfTheFirstMatchingRowOfItsTable)
{
    const std::vector<Row> rows = tableRows();
    ASSERT_GE(rows.size(), 10U) << "the table in " << DECISION_HEADER << " was not found";
    for (const Row& row : rows) {
        ASSERT_EQ(row.cells.size(), 6U) << "line " << row.line << " of the table is not five facts and a way";
    }
    std::set<int> reached;
    const int errnos[] = {0, EACCES, EPERM, EROFS, ENOSPC, EDQUOT, EEXIST, EBUSY, EXDEV, EIO};
    for (const TargetKind target : {TargetKind::none, TargetKind::regular, TargetKind::fed}) {
        for (const bool keepsNames : {false, true}) {
            for (const int staging : errnos) {
                for (const bool carried : {false, true}) {
                    for (const int placing : errnos) {
                        const Facts facts{target, keepsNames, staging, carried, placing};
                        const std::string what = nameOf(target) + (keepsNames ? ", keeps names" : "") + ", staging " +
                                                 errnoName(staging) + (carried ? ", metadata carried" : "") +
                                                 ", placing " + errnoName(placing);
                        const auto row = firstMatch(rows, facts);
                        ASSERT_NE(row, rows.end()) << "no row of the table matches " << what;
                        reached.insert(row->line);
                        EXPECT_EQ(nameOf(decide(facts)), row->cells[5])
                            << what << ": decide() disagrees with the table's row at line " << row->line;
                    }
                }
            }
        }
    }
    for (const Row& row : rows) {
        EXPECT_TRUE(reached.contains(row.line)) << "no facts reach the table's row at line " << row.line
                                                << ": a word misspelt, or a row below one that takes its cases";
    }
}

} // namespace
} // namespace initHashData

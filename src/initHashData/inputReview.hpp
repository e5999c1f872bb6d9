// SPDX-License-Identifier: MIT
#pragma once
// What a run can tell of its input that an administrator would want to know
// before trusting the output: records that span lines, blank lines, an input
// that is the output itself, an empty input over a full output. A run warns
// of these and writes all the same; --check only tells.

#include "userRecord/userRecord.hpp"

#include <cstdint>
#include <string>

namespace initHashData {

struct InputReview {
    LineNotes notes;
    std::uint64_t records = 0;
    bool inputIsOutput = false;
    bool outputHasContent = false; // a regular userData.txt that is not empty
};

// Notes how the open `input` stands to `outputName`, found as open() finds
// it: a warning's worth only, so a name that cannot be looked at is no failure.
void lookAtOutput(int input, const char* outputName, InputReview& review) noexcept;

// Says on standard error what `review` found of the input shown as
// `shownInput` (a full path); returns the number of warnings.
std::uint64_t warnOfInput(const std::string& shownInput, const char* outputName, const InputReview& review);

} // namespace initHashData

// SPDX-License-Identifier: MIT
#pragma once

namespace initHashData {

// The file every run writes, in the working directory.
inline constexpr const char* outputName = "userData.txt";

// One conversion run: reads the input name from standard input, converts that
// file into "userData.txt" and reports any failure on standard error.
// Returns the exit status: 0 replaced, 1 nothing changed, 2 damaged by a
// failed in-place write.
[[nodiscard]] int runConversion();

// What "--check" does: reads the input name and the input as a run does,
// writes nothing, and says on standard error what a run would warn of and
// how many records it would write. Returns 0 where there is nothing to warn
// of, 1 where there is or the input cannot be read.
int runCheck();

} // namespace initHashData

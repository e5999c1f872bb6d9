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

} // namespace initHashData

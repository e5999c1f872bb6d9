// SPDX-License-Identifier: MIT
#pragma once

#include "fileIo/failure.hpp"

namespace initHashData {

// Exit statuses of a run: the new content is in place; nothing was changed;
// an in-place write failed part-way and the output now holds a mix.
inline constexpr int exitReplaced = 0;
inline constexpr int exitUnchanged = 1;
inline constexpr int exitDamaged = 2;

// The status that tells the caller what a failure left of the output.
int exitStatusFor(Outcome outcome) noexcept;

// The file every run writes, in the working directory.
inline constexpr const char* outputName = "userData.txt";

// One conversion run: reads the input name from standard input, converts that
// file into "userData.txt" and reports any failure on standard error.
// Returns the exit status: 0 replaced, 1 nothing changed, 2 damaged by a
// failed in-place write.
int runConversion();

} // namespace initHashData

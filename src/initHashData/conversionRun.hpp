// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>

namespace initHashData {

// The file every run writes, in the working directory.
inline constexpr const char* outputName = "userData.txt";

// Reads the input file's name from `fd`: the bytes before the first newline,
// cut at the first NUL. Reads one byte at a time so that nothing after the
// newline is taken from a shared input. Throws Failure when `fd` is empty,
// cannot be read, or the name is longer than a path can be.
std::string readInputName(int fd);

// One conversion run: reads the input name from standard input, converts that
// file into "userData.txt" and reports any failure on standard error.
// Returns the exit status: 0 replaced, 1 nothing changed, 2 damaged by a
// failed in-place write.
int runConversion(std::size_t blockSize);

} // namespace initHashData

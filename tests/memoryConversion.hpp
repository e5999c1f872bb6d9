// SPDX-License-Identifier: MIT
#pragma once

#include "hashOf.hpp"
#include "userRecord/userRecord.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace initHashData::testing {

struct Converted {
    std::string output;
    int records = 0;
    LineNotes notes;
};

// Runs convertRecords over `input` held in a memory file, with the settings'
// block size for reading and writing. Throws Failure as the tool would.
Converted convertInMemory(std::string_view input, const ConversionSettings& settings);

// A memory file holding `bytes`, positioned at its start; -1 on failure.
int memoryFile(std::string_view bytes);

// Everything in `fd` from its start.
std::string contentsOf(int fd);

} // namespace initHashData::testing

// SPDX-License-Identifier: MIT
#pragma once
// The small text files the kernel shows under /proc and /sys: read in one
// call, and the numbers in them found by their keys.

#include <cstdint>
#include <string>
#include <string_view>

namespace initHashData {

// The start of the small file at `path`; empty where it cannot be read.
[[nodiscard]] std::string readSmallFile(const std::string& path);

// The number after `key` at the start of a line of `text` ("MemAvailable:",
// "inactive_file ", "resuid="), times `unit`; `fallback` where there is none.
[[nodiscard]] std::uint64_t valueAfter(std::string_view text, std::string_view key, std::uint64_t unit,
                                       std::uint64_t fallback);

} // namespace initHashData

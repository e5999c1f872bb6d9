// SPDX-License-Identifier: MIT
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace initHashData {

// A failure of the run, already worded for the user: the modules that word
// messages throw it, and only the run catches and reports it.
class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& message) : std::runtime_error(message) {}
};

// A failure after which the output holds part of the new content: a write in
// place that failed part-way.
class DamagedOutput : public Failure {
public:
    using Failure::Failure;
};

// The name in single quotes, with control bytes, quotes and backslashes escaped so
// that a stray carriage return or space in a name is visible.
[[nodiscard]] std::string quoteName(std::string_view name);

// `path` from the root: the working directory's path before a relative one,
// where that can be found, else `path` as it is.
[[nodiscard]] std::string fullPath(const std::string& path);

// A file's name as messages show it: `path`, quoted; where `full`, from the
// root, and where `path` is the end of the links from `given`, that too.
// Worded only when a message needs it.
struct ShownName {
    std::string path;
    std::string given;
    bool full = false;
};

[[nodiscard]] std::string quoteName(const ShownName& name);

// A Failure reading "<action> '<name>': <reason for errnum>".
[[nodiscard]] Failure systemFailure(std::string_view action, std::string_view name, int errnum);
[[nodiscard]] Failure systemFailure(std::string_view action, const ShownName& name, int errnum);

} // namespace initHashData

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

// The name in single quotes, with control bytes, quotes and backslashes escaped so
// that a stray carriage return or space in a name is visible.
std::string quoteName(std::string_view name);

// A file's name as messages show it: the path, quoted by quoteName(), unless
// `shown` gives more (the output's full path, and where its link leads).
struct ShownName {
    std::string path;
    std::string shown;
};

inline std::string quoteName(const ShownName& name) { return name.shown.empty() ? quoteName(name.path) : name.shown; }

// A Failure reading "<action> '<name>': <reason for errnum>".
Failure systemFailure(std::string_view action, std::string_view name, int errnum);
Failure systemFailure(std::string_view action, const ShownName& name, int errnum);

} // namespace initHashData

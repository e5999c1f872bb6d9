#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace initHashData {

// A failure of the run, already worded for the user; the run reports it and exits 1.
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The name in single quotes, with control bytes, quotes and backslashes escaped so
// that a stray carriage return or space in a name is visible.
std::string quoteName(std::string_view name);

// A Failure reading "<action> '<name>': <reason for errnum>".
Failure systemFailure(std::string_view action, std::string_view name, int errnum);

} // namespace initHashData

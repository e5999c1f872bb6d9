// SPDX-License-Identifier: MIT
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace initHashData {

// What a failure left of the output: the file as it was, or one that an
// in-place write failed part-way through and that now holds a mix.
enum class Outcome { unchanged, damaged };

// A failure of the run, already worded for the user, with what became of the output.
class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& message, Outcome outcome = Outcome::unchanged)
        : std::runtime_error(message), outcome_(outcome)
    {
    }
    Outcome outcome() const noexcept { return outcome_; }

private:
    Outcome outcome_;
};

// The name in single quotes, with control bytes, quotes and backslashes escaped so
// that a stray carriage return or space in a name is visible.
std::string quoteName(std::string_view name);

// A Failure reading "<action> '<name>': <reason for errnum>".
Failure systemFailure(std::string_view action, std::string_view name, int errnum);

} // namespace initHashData

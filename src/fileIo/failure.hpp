// SPDX-License-Identifier: MIT
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace initHashData {

// Exit statuses of a run: the new content is in place; nothing was changed;
// an in-place write failed part-way and the output now holds a mix.
inline constexpr int exitReplaced = 0;
inline constexpr int exitUnchanged = 1;
inline constexpr int exitDamaged = 2;

// A failure of the run, already worded for the user, with the exit status that
// tells the caller what became of the output.
class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& message, int exitStatus = exitUnchanged)
        : std::runtime_error(message), exitStatus_(exitStatus)
    {
    }
    int exitStatus() const noexcept { return exitStatus_; }

private:
    int exitStatus_;
};

// The name in single quotes, with control bytes, quotes and backslashes escaped so
// that a stray carriage return or space in a name is visible.
std::string quoteName(std::string_view name);

// A Failure reading "<action> '<name>': <reason for errnum>".
Failure systemFailure(std::string_view action, std::string_view name, int errnum);

} // namespace initHashData

// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string_view>

namespace initHashData {

// Answers "--help" and "--version" when one of them is the only argument, as
// a standard output that says what the tool does; returns the exit status
// then. Otherwise returns nothing and the run goes ahead.
[[nodiscard]] std::optional<int> answerOption(int argc, const char* const* argv);

// Whether "--check" is the only argument: a check instead of a run.
bool isLoneCheck(int argc, const char* const* argv) noexcept;

// Names on standard error each argument of a run that goes ahead: none is
// read, since the input's name comes from standard input.
void warnIgnoredArguments(int argc, const char* const* argv) noexcept;

// On a terminal, says on standard error what the run waits for; elsewhere
// nothing, so that pipes and scripts see no output.
void promptOnTerminal();

} // namespace initHashData

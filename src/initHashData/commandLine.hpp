// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string_view>

namespace initHashData {

// Answers "--help" and "--version" when one of them is the only argument, as
// a standard output that says what the tool does; returns the exit status
// then. Otherwise returns nothing and the run goes ahead.
std::optional<int> answerOption(int argc, const char* const* argv);

// Names on standard error each argument of a run that goes ahead: none is
// read, since the input's name comes from standard input.
void warnIgnoredArguments(int argc, const char* const* argv) noexcept;

// Readies the process before anything is written: SIGPIPE is ignored, and a
// run that cannot even make an exception still ends with a message and status.
void prepareRun() noexcept;

// Writes one line on standard error: the program's name, then `message`.
// Nothing is left to do if standard error is closed, full or broken.
void report(std::string_view message) noexcept;

// On a terminal, says on standard error what the run waits for; elsewhere
// nothing, so that pipes and scripts see no output.
void promptOnTerminal();

} // namespace initHashData

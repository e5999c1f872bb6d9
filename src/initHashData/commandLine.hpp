// SPDX-License-Identifier: MIT
#pragma once

#include <optional>

namespace initHashData {

// Answers "--help" and "--version" when one of them is the only argument, as
// a standard output that says what the tool does; returns the exit status
// then. Any other arguments are ignored, for callers that pass stray ones:
// returns nothing and the run goes ahead.
std::optional<int> answerOption(int argc, const char* const* argv);

// On a terminal, says on standard error what the run waits for; elsewhere
// nothing, so that pipes and scripts see no output.
void promptOnTerminal();

} // namespace initHashData

// SPDX-License-Identifier: MIT
#pragma once
// How a run ends: the one place that turns what became of the output into an
// exit status, the one line on standard error, and the way out when not even
// an exception can be made.

#include <string_view>

namespace initHashData {

inline constexpr std::string_view programName = "initHashData";

// What a run left of the output: the new content in place; nothing changed;
// an in-place write that failed part-way, so that the file holds a mix.
enum class Outcome { replaced, unchanged, damaged };

[[nodiscard]] constexpr int exitStatusFor(Outcome outcome) noexcept
{
    return outcome == Outcome::replaced ? 0 : outcome == Outcome::unchanged ? 1 : 2;
}

// Readies the process before anything is written: SIGPIPE and SIGXFSZ are
// ignored, so that a reader gone from a pipe or a file size limit fails a
// write instead of killing the run, and a lack of memory where no exception
// can be made ends in emergencyExit().
void prepareRun() noexcept;

// Writes one line on standard error: the program's name, then `message`.
// Needs no memory; nothing is left to do if standard error is closed, full or
// broken.
void report(std::string_view message) noexcept;

// Ends the run at once, for a lack of memory caught where it cannot be worded:
// removes a temporary file's name that a signal would remove, says "out of
// memory" (or, once an in-place write has begun, that the output may be
// damaged) and exits with the status that says so.
[[noreturn]] void emergencyExit() noexcept;

} // namespace initHashData

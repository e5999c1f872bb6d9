// SPDX-License-Identifier: MIT
#pragma once
// The last way out of a run that cannot even make an exception.

#include "fileIo/failure.hpp"

#include <string_view>

namespace initHashData {

// Where not even an exception can be made (no memory for it), the run ends
// at once: the recorded name is removed, one line "<program>: <message>" is
// written on standard error and the process exits with the status that
// `statusFor` gives the outcome. Until setEmergencyExit says otherwise: the
// output is unchanged, "out of memory".
void installEmergencyExit(std::string_view programName, int (*statusFor)(Outcome) noexcept) noexcept;
void setEmergencyExit(Outcome outcome, std::string_view message) noexcept;
// Ends the run so now, for a lack of memory caught where it cannot be worded.
[[noreturn]] void emergencyExit() noexcept;

} // namespace initHashData

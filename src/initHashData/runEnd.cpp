// SPDX-License-Identifier: MIT
#include "initHashData/runEnd.hpp"

#include "fileIo/systemCall.hpp"
#include "replacement/signalCleanup.hpp"

#include <unistd.h>

#include <array>
#include <csignal>
#include <exception>

namespace initHashData {

void prepareRun() noexcept
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    std::set_terminate(emergencyExit);
}

void report(std::string_view message) noexcept
{
    (void)writeJoined(STDERR_FILENO, std::array<std::string_view, 4>{programName, ": ", message, "\n"});
}

void emergencyExit() noexcept
{
    removeRecordedName();
    const std::string_view quotedOutput = inPlaceWriteUnderWay();
    if (quotedOutput.empty()) {
        report("out of memory");
        ::_exit(exitStatusFor(Outcome::unchanged));
    }
    // Where even this fails, nothing is left to say it with; the status still tells.
    (void)writeJoined(STDERR_FILENO,
                      std::array<std::string_view, 4>{programName, ": ", quotedOutput,
                                                      " may be damaged: writing it in place failed, and no "
                                                      "memory was left to say how\n"});
    ::_exit(exitStatusFor(Outcome::damaged));
}

} // namespace initHashData

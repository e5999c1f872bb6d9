// SPDX-License-Identifier: MIT
#include "initHashData/commandLine.hpp"
#include "initHashData/conversionRun.hpp"

#include "fileIo/failure.hpp"
#include "fileIo/systemCall.hpp"
#include "replacement/replacementFile.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <string>
#include <string_view>

namespace initHashData {

namespace {

constexpr std::string_view programName = "initHashData";

constexpr std::string_view usage = "Usage: printf '%s\\n' FILE | initHashData\n"
                                   "   or: initHashData --help|--version\n"
                                   "\n"
                                   "Reads the name of a user data file (records of four colon-separated fields)\n"
                                   "as one line from standard input and writes userData.txt in the working\n"
                                   "directory: the same records, with field 2 of each replaced by the decimal\n"
                                   "text of its 32-bit field hash. userData.txt is replaced atomically where it\n"
                                   "can be, else written in place. Other arguments are ignored.\n"
                                   "\n"
                                   "Exit status: 0 replaced, 1 failed with nothing changed, 2 damaged by a\n"
                                   "failed in-place write.\n"
                                   "\n"
                                   "See initHashData(1) for the file format and how the file is replaced.\n";

constexpr std::string_view version = "initHashData " INITHASHDATA_VERSION "\n"
                                     "Copyright (c) 2026 The initHashData developers\n"
                                     "License: MIT <https://opensource.org/licenses/MIT>\n";

// Writes all of `pieces` to `fd`, joined by the kernel so that no memory is
// needed; returns 0 or the errno.
template <std::size_t count> int writeAll(int fd, const std::array<std::string_view, count>& pieces) noexcept
{
    std::array<iovec, count> vector{};
    for (std::size_t i = 0; i < count; ++i) {
        vector[i] = {const_cast<char*>(pieces[i].data()), pieces[i].size()};
    }
    std::size_t written = 0;
    return initHashData::writeAll(fd, vector.data(), count, written);
}

} // namespace

std::optional<int> answerOption(int argc, const char* const* argv)
{
    if (argc != 2) {
        return std::nullopt;
    }
    const std::string_view argument = argv[1];
    std::string_view answer;
    if (argument == "--help") {
        answer = usage;
    } else if (argument == "--version") {
        answer = version;
    } else {
        return std::nullopt;
    }
    if (const int errnum = writeAll(STDOUT_FILENO, std::array{answer}); errnum != 0) {
        report(systemFailure("cannot write", "standard output", errnum).what());
        return exitUnchanged;
    }
    return exitReplaced;
}

void report(std::string_view message) noexcept
{
    // Reporting needs no memory, so that even a lack of it can be reported.
    writeAll(STDERR_FILENO, std::array<std::string_view, 4>{programName, ": ", message, "\n"});
}

void prepareRun() noexcept
{
    // A reader gone from standard output or error, or from a pipe we write,
    // must fail a write, not kill the run before it can say so.
    std::signal(SIGPIPE, SIG_IGN);
    installEmergencyExit(programName, exitStatusFor);
}

void promptOnTerminal()
{
    if (::isatty(STDIN_FILENO) == 1) {
        report("type the name of the user data file, then Enter");
    }
}

} // namespace initHashData

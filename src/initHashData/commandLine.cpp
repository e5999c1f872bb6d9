// SPDX-License-Identifier: MIT
#include "initHashData/commandLine.hpp"

#include "fileIo/failure.hpp"
#include "fileIo/signalCleanup.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
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
                                   "text of its 32-bit field hash. userData.txt is replaced atomically and left\n"
                                   "as it was on failure. Other arguments are ignored.\n"
                                   "\n"
                                   "Exit status: 0 replaced, 1 failed with nothing changed, 2 damaged by a\n"
                                   "failed in-place write.\n"
                                   "\n"
                                   "See initHashData(1) for the file format and how the file is replaced.\n";

constexpr std::string_view version = "initHashData " INITHASHDATA_VERSION "\n"
                                     "Copyright (c) 2026 The initHashData developers\n"
                                     "License: MIT <https://opensource.org/licenses/MIT>\n";

// Writes all of `text` to `fd`; returns 0 or the errno.
int writeAll(int fd, std::string_view text) noexcept
{
    while (!text.empty()) {
        const ssize_t done = ::write(fd, text.data(), text.size());
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return done < 0 ? errno : EIO;
        }
        text.remove_prefix(static_cast<std::size_t>(done));
    }
    return 0;
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
    if (const int errnum = writeAll(STDOUT_FILENO, answer); errnum != 0) {
        report(systemFailure("cannot write", "standard output", errnum).what());
        return exitUnchanged;
    }
    return exitReplaced;
}

void report(std::string_view message) noexcept
{
    // Pieced together by the kernel: reporting needs no memory.
    std::string_view pieces[] = {programName, ": ", message, "\n"};
    iovec line[4];
    for (std::size_t i = 0; i < 4; ++i) {
        line[i] = {const_cast<char*>(pieces[i].data()), pieces[i].size()};
    }
    for (std::size_t first = 0; first < 4;) {
        const ssize_t done = ::writev(STDERR_FILENO, line + first, static_cast<int>(4 - first));
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return;
        }
        auto left = static_cast<std::size_t>(done);
        for (; first < 4 && left >= line[first].iov_len; ++first) {
            left -= line[first].iov_len;
        }
        if (first < 4) {
            line[first].iov_base = static_cast<char*>(line[first].iov_base) + left;
            line[first].iov_len -= left;
        }
    }
}

void prepareRun() noexcept
{
    // A reader gone from standard output or error, or from a pipe we write,
    // must fail a write, not kill the run before it can say so.
    std::signal(SIGPIPE, SIG_IGN);
    installEmergencyExit(programName);
}

void promptOnTerminal()
{
    if (::isatty(STDIN_FILENO) == 1) {
        report("type the name of the user data file, then Enter");
    }
}

} // namespace initHashData

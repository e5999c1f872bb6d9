// SPDX-License-Identifier: MIT
#include "initHashData/commandLine.hpp"
#include "initHashData/runEnd.hpp"

#include "fileIo/failure.hpp"
#include "fileIo/systemCall.hpp"

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace initHashData {

namespace {

constexpr std::string_view usage = "Usage: printf '%s\\n' FILE | initHashData\n"
                                   "  or:  initHashData OPTION\n"
                                   "Convert the user data FILE, whose name is read as the first line of standard\n"
                                   "input, into userData.txt in the working directory: the same records of four\n"
                                   "colon-separated fields, with field 2 of each replaced by the decimal text of\n"
                                   "its 32-bit hash. userData.txt is replaced atomically where it can be, else\n"
                                   "written in place.\n"
                                   "\n"
                                   "      --check    read FILE as a run would, write nothing, and report what a\n"
                                   "                 run would warn of and how many records it would write\n"
                                   "      --help     display this help and exit\n"
                                   "      --version  output version information and exit\n"
                                   "\n"
                                   "Each option works alone. Any other argument is ignored, with a warning: the\n"
                                   "name comes from standard input.\n"
                                   "\n"
                                   "Exit status:\n"
                                   " 0  if userData.txt was written (with --check: nothing to warn of),\n"
                                   " 1  if the run failed and userData.txt is as it was (with --check: a\n"
                                   "    warning, or the input cannot be read),\n"
                                   " 2  if a failed in-place write left userData.txt damaged.\n"
                                   "\n"
                                   "Full documentation: man initHashData\n";

constexpr std::string_view version = "initHashData " INITHASHDATA_VERSION "\n"
                                     "Copyright (c) 2026 The initHashData developers\n"
                                     "License: MIT <https://opensource.org/licenses/MIT>\n";

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
    if (const int errnum = writeJoined(STDOUT_FILENO, std::array{answer}); errnum != 0) {
        report(std::string("cannot write to standard output: ") + std::strerror(errnum));
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}

bool isLoneCheck(int argc, const char* const* argv) noexcept
{
    return argc == 2 && std::string_view(argv[1]) == "--check";
}

void warnIgnoredArguments(int argc, const char* const* argv) noexcept
{
    if (argc < 2) {
        return;
    }
    try {
        for (int i = 1; i < argc; ++i) {
            report("warning: ignoring argument " + quoteName(argv[i]) +
                   ": the input file name is read from standard input");
        }
    } catch (const std::bad_alloc&) {
        report("warning: ignoring the arguments: the input file name is read from standard input");
    }
    (void)writeJoined(STDERR_FILENO,
                      std::array<std::string_view, 3>{"Try '", programName, " --help' for more information.\n"});
}

void promptOnTerminal()
{
    if (::isatty(STDIN_FILENO) == 1) {
        report("type the name of the user data file, then Enter");
    }
}

} // namespace initHashData

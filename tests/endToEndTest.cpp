// SPDX-License-Identifier: MIT
// Runs the built tool in a temporary directory: conversions, the run's
// contract with its caller, and real faults injected into its system calls.
#include "endToEnd.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <regex>
#include <thread>
#include <tuple>

namespace initHashData::testing {
namespace {

using namespace std::string_literals;

// An input, the userData.txt before the run (none where absent), the run's
// output, the warnings of the harm it may do, and the records it writes.
struct HarmCase {
    std::string inputName;
    std::string input;
    std::optional<std::string> before;
    std::string expected;
    std::string warnings;
    int records;
};

std::vector<HarmCase> harmCases(const TempDir& dir)
{
    const std::string users = shown(dir / "users.txt");
    const std::string warning = "initHashData: warning: " + users + " line";
    const std::string passwordHarm = " is written into the output as it stands, and may be a clear password\n";
    // Eleven records that span lines: ten named, one counted.
    std::string spanning[3];
    for (int line = 1; line < 23; line += 2) {
        spanning[0] += "u:p\nw:c:d\n";
        spanning[1] += "u:" + hashOf("p\nw") + ":c:d\n";
        spanning[2] += line < 20 ? warning + "s " + std::to_string(line) + "-" + std::to_string(line + 1) +
                                       ": one record spans these lines (is a colon missing?), so text of line " +
                                       std::to_string(line + 1) + passwordHarm
                                 : "";
    }
    const std::string full = oldOutput + oldOutput + oldOutput;
    return {
        {"users.txt", sampleInput, full, sampleOutput, "", 2},
        {"users.txt", "", full, "",
         "initHashData: warning: the input " + users + " is empty, and empties " + shown(dir / "userData.txt") + "\n",
         0},
        {"users.txt", "", std::nullopt, "", "", 0},
        {"users.txt", "", "", "", "", 0},
        {"users.txt", "bob:pw2\ncarol:secret:C:y\n\n", full,
         "bob:" + hashOf("pw2\ncarol") + ":secret:C:y\n\n:" + hashOf("") + "::\n",
         warning + "s 1-2: one record spans these lines (is a colon missing?), so text of line 2" + passwordHarm +
             warning + " 3: blank line at the end, written as a record of its own with an empty name\n",
         2},
        {"users.txt", "bob:pw2\ncarol:secret:C:y", full, "bob:" + hashOf("pw2\ncarol") + ":secret:C:y\n",
         warning + "s 1-2: one record spans these lines (is a colon missing?), so text of line 2" + passwordHarm, 1},
        {"users.txt", spanning[0], full, spanning[1],
         spanning[2] + "initHashData: warning: " + users + ": 1 more record spans lines or starts with a blank line\n",
         11},
        {"userData.txt", "a:b:c:d\n", std::nullopt, "a:" + hashOf("b") + ":c:d\n",
         "initHashData: warning: the input " + shown(dir / "userData.txt") +
             " is the output itself: its hashes are hashed again, with no way back\n",
         1},
    };
}

// Writes the input and the userData.txt before the run of `c`.
void setUpHarmCase(const TempDir& dir, const HarmCase& c)
{
    ::unlink((dir / "userData.txt").c_str());
    writeFile(dir / c.inputName, c.input);
    if (c.before) {
        writeFile(dir / "userData.txt", *c.before);
    }
}

TEST_F(EndToEnd, ConversionWritesExactBytesAndWarnsOnlyOfHarm)
{
    for (const HarmCase& c : harmCases(dir)) {
        SCOPED_TRACE("input " + c.input.substr(0, 30) + (c.before ? ", old output" : ", no output"));
        setUpHarmCase(dir, c);
        const RunResult result = run(c.inputName + "\n");
        EXPECT_EQ(result.exitStatus, 0) << result.standardError;
        EXPECT_EQ(result.standardError, c.warnings) << "a harm unsaid, or a warning where there is none";
        EXPECT_EQ(result.standardOutput, "");
        EXPECT_EQ(readFile(path("userData.txt")), c.expected);
        ::unlink(path("users.txt").c_str());
        EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"userData.txt"});
    }
}

TEST_F(EndToEnd, CheckWarnsAsARunWouldAndWritesNothing)
{
    if (!commandSucceeds({"strace", "-o", "/dev/null", "true"})) {
        GTEST_SKIP() << "strace is missing or cannot trace here, so a write by --check would go unseen";
    }
    const TempDir traceDir;
    RunOptions check;
    check.arguments = {"--check"};
    check.wrapper = {"strace", "-f", "-o", traceDir / "trace", "-e", "trace=%file"};
    // A file opened for writing, or made, renamed, linked or removed.
    const std::regex write(
        R"(O_WRONLY|O_RDWR|O_CREAT|O_TMPFILE|(^|\n)\d+ +(rename|unlink|link|symlink|mkdir|mknod|creat|truncate))");
    check.environment = {"ASAN_OPTIONS=detect_leaks=0"};
    for (const HarmCase& c : harmCases(dir)) {
        SCOPED_TRACE("input " + c.input.substr(0, 30) + (c.before ? ", old output" : ", no output"));
        setUpHarmCase(dir, c);
        const FileState before = stateOf(path("userData.txt"));
        const auto listing = listDirectory(dir.path());
        const RunResult result = run(c.inputName + "\n", check);
        EXPECT_EQ(result.standardError, c.warnings + "initHashData: check: a run would write " +
                                            std::to_string(c.records) + (c.records == 1 ? " record" : " records") +
                                            " from " + shown(path(c.inputName)) + " to " + shown(path("userData.txt")) +
                                            "\n");
        EXPECT_EQ(result.exitStatus, c.warnings.empty() ? 0 : 1) << "the status does not say there are warnings";
        const std::string trace = readFile(traceDir / "trace").value_or("");
        EXPECT_FALSE(std::regex_search(trace, write)) << "--check wrote: " << trace;
        EXPECT_EQ(stateOf(path("userData.txt")), before) << "--check changed the output";
        EXPECT_EQ(listDirectory(dir.path()), listing) << "--check left a file behind";
        EXPECT_EQ(run(c.inputName + "\n").exitStatus, 0);
        EXPECT_EQ(readFile(path("userData.txt")), c.expected) << "a run after --check writes other bytes";
    }
    ::unlink(path("users.txt").c_str());
    const RunResult missing = run("users.txt\n", check);
    EXPECT_EQ(missing.exitStatus, 1) << "an input that cannot be read passes the check";
    EXPECT_EQ(missing.standardError,
              "initHashData: cannot open " + shown(path("users.txt")) + ": No such file or directory\n");
}

TEST_F(EndToEnd, ReadsOnlyTheFirstLineAndWarnsOfEveryArgumentItIgnores)
{
    writeFile(path("in.txt"), sampleInput);
    struct Case {
        const char* what;
        std::string standardInput;
        std::vector<std::string> arguments;
        std::string afterwards; // what a following reader of standard input gets
    };
    const Case cases[] = {
        {"only the first line is consumed", "in.txt\nrest\nmore\n", {}, "rest\nmore\n"},
        {"no final newline", "in.txt", {}, ""},
        {"the name ends at a NUL", "in.txt\0ignored\nrest\n"s, {}, "rest\n"},
        {"arguments change nothing", "in.txt\n", {"--help", "-o", "other.txt"}, ""},
        {"both options change nothing", "in.txt\n", {"--help", "--version"}, ""},
        {"an option with a stray argument changes nothing", "in.txt\n", {"--version", "x"}, ""},
        {"a check with a stray argument is a run", "in.txt\n", {"x", "--check"}, ""},
        {"options spelled otherwise change nothing", "in.txt\n", {"-h"}, ""},
        {"options spelled otherwise change nothing", "in.txt\n", {"--Help"}, ""},
        {"options spelled otherwise change nothing", "in.txt\n", {"--help="}, ""},
        {"a name given as an argument changes nothing", "in.txt\n", {"other.txt"}, ""},
    };
    for (const Case& c : cases) {
        ::unlink(path("userData.txt").c_str());
        RunOptions options;
        options.wrapper = {"sh", "-c", "\"$0\" \"$@\" && cat"};
        options.arguments = c.arguments;
        const RunResult result = run(c.standardInput, options);
        EXPECT_EQ(result.exitStatus, 0) << c.what << ": " << result.standardError;
        std::string warnings;
        for (const std::string& argument : c.arguments) {
            warnings += "initHashData: warning: ignoring argument '" + argument +
                        "': the input file name is read from standard input\n";
        }
        EXPECT_EQ(result.standardError,
                  warnings + (warnings.empty() ? "" : "Try 'initHashData --help' for more information.\n"))
            << c.what << ": an argument the tool does not read passes in silence";
        EXPECT_EQ(result.standardOutput, c.afterwards) << c.what;
        EXPECT_EQ(readFile(path("userData.txt")), sampleOutput) << c.what;
    }
}

TEST_F(EndToEnd, LoneHelpOrVersionAnswersWithoutReadingOrWriting)
{
    writeFile(path("in.txt"), sampleInput);
    const std::pair<std::string, std::string> cases[] = {
        {"--help", "Usage: printf '%s\\n' FILE | initHashData\n"},
        {"--version", "initHashData " INITHASHDATA_VERSION "\n"},
    };
    for (const auto& [option, firstLine] : cases) {
        RunOptions options;
        options.wrapper = {"sh", "-c", "\"$0\" \"$@\" && cat"};
        options.arguments = {option};
        const RunResult result = run("in.txt\nrest\n", options);
        EXPECT_EQ(result.exitStatus, 0) << option;
        EXPECT_EQ(result.standardError, "") << option;
        EXPECT_EQ(result.standardOutput.substr(0, firstLine.size()), firstLine) << option;
        EXPECT_TRUE(result.standardOutput.ends_with("\nin.txt\nrest\n")) << option << " read standard input";
        EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"in.txt"}) << option << " wrote a file";
    }
}

TEST_F(EndToEnd, TerminalInputGetsAPrompt)
{
    if (!commandSucceeds({"script", "-qec", "true", "/dev/null"})) {
        GTEST_SKIP() << "script(1) is missing, so no terminal can be given to the tool";
    }
    writeFile(path("in.txt"), sampleInput);
    std::string command;
    for (const std::string& word : toolCommand()) {
        command += "'" + word + "' ";
    }
    RunOptions onTerminal;
    onTerminal.tool = {"script", "-qec", command, "/dev/null"};
    const RunResult result = run("in.txt\n", onTerminal);
    EXPECT_EQ(result.exitStatus, 0) << result.standardOutput;
    EXPECT_NE(result.standardOutput.find("initHashData: type the name of the user data file, then Enter"),
              std::string::npos)
        << "a person at a terminal is not told what the tool waits for: " << result.standardOutput;
    EXPECT_EQ(readFile(path("userData.txt")), sampleOutput);
}

TEST_F(EndToEnd, InputNamedUserDataTxtIsReplacedByItsConversion)
{
    writeFile(path("userData.txt"), "a:b:c:d\n");
    ASSERT_EQ(run("userData.txt\n").exitStatus, 0);
    const std::string once = "a:" + hashOf("b") + ":c:d\n";
    EXPECT_EQ(readFile(path("userData.txt")), once);
    ASSERT_EQ(run("userData.txt\n").exitStatus, 0);
    EXPECT_EQ(readFile(path("userData.txt")), "a:" + hashOf(hashOf("b")) + ":c:d\n");
}

TEST_F(EndToEnd, InputFailureKeepsOldOutput)
{
    writeFile(path("in.txt"), sampleInput);
    ASSERT_EQ(::mkdir(path("subdir").c_str(), 0755), 0);
    struct Case {
        std::string standardInput;
        std::string message;
    };
    const std::string tooLong = "its first line is longer than any path";
    const Case cases[] = {
        {"", "cannot read the input file name from standard input: it is empty"},
        {"\n", "cannot open the input file: its name, the first line of standard input, is empty"},
        {"missing.txt\n", "cannot open " + shown(path("missing.txt")) + ": No such file or directory"},
        {"in.txt\r\n", "cannot open " + shown(path("in.txt\\r")) + ": No such file or directory"},
        {"in.txt \n", "cannot open " + shown(path("in.txt ")) + ": No such file or directory"},
        {"subdir\n", "cannot read " + shown(path("subdir")) + ": Is a directory"},
        {"./missing.txt\0.txt\n"s, "cannot open " + shown(path("missing.txt")) + ": No such file or directory"},
        {path("missing.txt") + "\n", "cannot open " + shown(path("missing.txt")) + ": No such file or directory"},
        {std::string(5000, 'n') + "\n", "cannot read the input file name from standard input: " + tooLong},
        // Endless input, such as /dev/zero, is not read forever.
        {std::string(70000, '\0'), "cannot read the input file name from standard input: " + tooLong},
    };
    for (const bool outputExists : {true, false}) {
        if (outputExists) {
            writeFile(path("userData.txt"), oldOutput, 0640);
        } else {
            ::unlink(path("userData.txt").c_str());
        }
        for (const Case& c : cases) {
            SCOPED_TRACE("input " + c.standardInput.substr(0, 20) + (outputExists ? ", old output" : ", no output"));
            expectFailureKeepsOldOutput(c.standardInput, c.message);
        }
    }
    RunOptions closed;
    closed.wrapper = {"sh", "-c", "exec \"$0\" \"$@\" <&-"};
    expectFailureKeepsOldOutput("", "cannot read the input file name from standard input: it is closed", closed);
}

TEST_F(EndToEnd, UnwritableOutputKeepsOldOutput)
{
    writeFile(path("in.txt"), sampleInput);
    ASSERT_EQ(::mkdir(path("userData.txt").c_str(), 0755), 0);
    expectFailureKeepsOldOutput("in.txt\n", "cannot write " + shown(path("userData.txt")) + ": Is a directory");
    ASSERT_EQ(::rmdir(path("userData.txt").c_str()), 0);

    // A file size limit: the write fails with EFBIG rather than killing the run.
    writeFile(path("userData.txt"), oldOutput);
    writeFile(path("big.txt"), usersText(100));
    RunOptions limited;
    limited.inherited.fileSizeLimit = 1000;
    expectFailureKeepsOldOutput("big.txt\n", "cannot write " + shown(path("userData.txt")) + ": File too large",
                                limited);

    // A device is written as it is, and its own error reported.
    ASSERT_EQ(::unlink(path("userData.txt").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/full", path("userData.txt").c_str()), 0);
    const RunResult full = run("in.txt\n");
    EXPECT_EQ(full.exitStatus, 1);
    EXPECT_EQ(full.standardError, "initHashData: cannot write " + shown(path("userData.txt")) +
                                      " (a link to '/dev/full'): No space left on device\n");

    // A working directory removed: its path is unknown, so the name is given as it is.
    ASSERT_EQ(::unlink(path("userData.txt").c_str()), 0);
    writeFile(path("userData.txt"), oldOutput);
    RunOptions removed;
    removed.wrapper = {"sh", "-c", "mkdir gone && cd gone && rmdir ../gone && exec \"$@\"", "sh"};
    expectFailureKeepsOldOutput("../in.txt\n", "cannot create 'userData.txt': No such file or directory", removed);
    expectFailureKeepsOldOutput("../missing.txt\n", "cannot open '../missing.txt': No such file or directory", removed);
}

TEST_F(EndToEnd, ReplacementKeepsPermissionsOwnerAndLink)
{
    writeFile(path("in.txt"), sampleInput);

    // A new file: 0666 less the umask.
    for (const mode_t umask : {mode_t{022}, mode_t{027}, mode_t{0}}) {
        ::unlink(path("userData.txt").c_str());
        RunOptions options;
        options.inherited.umask = umask;
        ASSERT_EQ(run("in.txt\n", options).exitStatus, 0);
        EXPECT_EQ(stateOf(path("userData.txt")).mode & 07777, 0666 & ~umask) << "umask " << umask;
    }

    // An existing file keeps its bits and owner, and is replaced by a new inode.
    writeFile(path("userData.txt"), oldOutput, 0604);
    if (isRoot()) {
        ASSERT_EQ(::chown(path("userData.txt").c_str(), 65534, 65534), 0);
    }
    const FileState before = stateOf(path("userData.txt"));
    ASSERT_EQ(run("in.txt\n").exitStatus, 0);
    const FileState after = stateOf(path("userData.txt"));
    EXPECT_EQ(after.bytes, sampleOutput);
    EXPECT_EQ(after.mode, before.mode);
    EXPECT_EQ(after.owner, before.owner);
    EXPECT_EQ(after.group, before.group);
    EXPECT_NE(after.inode, before.inode);

    // A symbolic link keeps pointing where it did; its target gets the content.
    ::unlink(path("userData.txt").c_str());
    ASSERT_EQ(::mkdir(path("real").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("real/data.txt", path("userData.txt").c_str()), 0);
    for (const bool targetExists : {false, true}) {
        ASSERT_EQ(run("in.txt\n").exitStatus, 0) << "target exists: " << targetExists;
        struct stat link {};
        ASSERT_EQ(::lstat(path("userData.txt").c_str(), &link), 0);
        EXPECT_TRUE(S_ISLNK(link.st_mode));
        EXPECT_EQ(readFile(path("real/data.txt")), sampleOutput);
        EXPECT_EQ(listDirectory(path("real")), std::vector<std::string>{"data.txt"});
    }
}

TEST_F(EndToEnd, UnprivilegedUserWritesOnlyWhatItMay)
{
    if (!canActAsNobody()) {
        GTEST_SKIP() << "needs root and setpriv to act as an unprivileged user";
    }
    const RunOptions nobody = asNobody();
    writeFile(path("in.txt"), sampleInput);

    // A file the user may not write is refused, as a plain open would refuse it.
    writeFile(path("userData.txt"), oldOutput, 0444);
    expectFailureKeepsOldOutput("in.txt\n", "cannot write " + shown(path("userData.txt")) + ": Permission denied",
                                nobody);
    writeFile(path("private.txt"), sampleInput, 0600);
    expectFailureKeepsOldOutput("private.txt\n", "cannot open " + shown(path("private.txt")) + ": Permission denied",
                                nobody);

    // An own file the user may only write is replaced all the same.
    writeFile(path("userData.txt"), oldOutput, 0200);
    ASSERT_EQ(::chown(path("userData.txt").c_str(), nobodyId, nobodyId), 0);
    const ino_t writeOnly = stateOf(path("userData.txt")).inode;
    EXPECT_EQ(run("in.txt\n", nobody).exitStatus, 0);
    EXPECT_NE(stateOf(path("userData.txt")).inode, writeOnly) << "written in place, not replaced atomically";
    EXPECT_EQ(stateOf(path("userData.txt")).mode & 07777, 0200U);

    // A directory closed to the user: no new file can be made...
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ::unlink(path("userData.txt").c_str());
    expectFailureKeepsOldOutput("in.txt\n", "cannot create " + shown(path("userData.txt")) + ": Permission denied",
                                nobody);

    // ...but a file the user may write is written in place, once converted.
    writeFile(path("userData.txt"), oldOutput, 0666);
    const FileState before = stateOf(path("userData.txt"));
    const RunResult result = run("in.txt\n", nobody);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    const FileState after = stateOf(path("userData.txt"));
    EXPECT_EQ(after.bytes, sampleOutput);
    EXPECT_EQ(after.inode, before.inode);
    EXPECT_EQ(after.mode, before.mode);
}

TEST_F(EndToEnd, KillDuringSlowInputKeepsOldOutput)
{
    writeFile(path("userData.txt"), oldOutput);
    const FileState before = stateOf(path("userData.txt"));
    const TempDir outputDir;
    RunOptions options;
    options.workDir = dir.path();
    UniqueFd fifo;
    const pid_t pid = startOnSlowInput(options, outputDir.path(), fifo, usersText(2000));
    ::kill(pid, SIGKILL);
    fifo.reset();
    const RunResult result = finishTool(pid, outputDir.path());

    EXPECT_EQ(result.signal, SIGKILL);
    EXPECT_EQ(stateOf(path("userData.txt")), before);
    EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"slow.fifo", "userData.txt"}));
}

// Two runs at once on root's userData.txt in a directory of root's, which
// user nobody writes in place and root renames over; the first is slowed at
// a call made once it has looked at the old file.
struct Overlap {
    const char* what;
    bool firstAsNobody;
    bool secondAsNobody;
    const char* slowed;
    int call = 1; // the call of it that is slowed
};

// Whether a run's trace shows it has entered the call it is slowed at.
bool isHeldUp(const std::string& trace, const Overlap& c)
{
    const std::string text = readFile(trace).value_or("");
    int calls = 0;
    for (auto at = text.find('('); at != std::string::npos; at = text.find('(', at + 1)) {
        ++calls;
    }
    return calls >= c.call;
}

// Until the traced run at `run` has found a lock on userData.txt in its way
// (its fcntl trace shows the refusal), or has ended.
void waitUntilLockRefused(pid_t run, const std::string& trace)
{
    const std::regex refused("userData.txt>.*= -1 (EAGAIN|EACCES)");
    for (siginfo_t ended{}; !std::regex_search(readFile(trace).value_or(""), refused) &&
                            ::waitid(P_PID, static_cast<id_t>(run), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                            ended.si_pid == 0;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

class OverlappingRuns : public InjectedFault {
protected:
    pid_t start(const std::string& input, RunOptions options, const char* slowed, const TempDir& output, int call = 1)
    {
        if (slowed != nullptr) {
            Fault slow(slowed, "", call);
            slow.delayEnter = "1500000";
            options = straced(output / "trace", {}, {slow}, std::move(options));
        }
        options.workDir = path("work");
        options.standardInput = path(input) + "\n";
        return startTool(options, output.path());
    }

    // Sends `signal` to the tool that strace, process `tracer`, runs.
    static void signalTool(pid_t tracer, int signal)
    {
        const std::string task = std::to_string(tracer);
        const pid_t tool = std::stoi(readFile("/proc/" + task + "/task/" + task + "/children").value_or("0") + " 0");
        if (tool > 0) {
            ::kill(tool, signal);
        } else {
            ADD_FAILURE() << "strace runs no tool to signal";
        }
    }

    // Once the run started as `tracer` is held at `syscall`, stops it there
    // until a SIGCONT; it stops as the call returns.
    static void stopWhereHeld(pid_t tracer, const std::string& trace, const std::string& syscall)
    {
        for (int wait = 0; wait < 3000 && readFile(trace).value_or("").find(syscall + "(") == std::string::npos;
             ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        signalTool(tracer, SIGSTOP);
    }
};

TEST_F(OverlappingRuns, EachLeavesAWholeFileAndTheLastToEndWins)
{
    if (!canActAsNobody()) {
        GTEST_SKIP() << "needs root and setpriv to write root's file as another user";
    }
    // The second is longer, and its field 2 another: a mix shows.
    writeFile(path("first.txt"), usersText(60000, "pw"));
    writeFile(path("second.txt"), usersText(90000));
    const std::string outputs[] = {convertedUsersText(60000, "pw"), convertedUsersText(90000)};
    ASSERT_EQ(::mkdir(path("work").c_str(), 0755), 0);
    const RunOptions as[] = {RunOptions{}, asNobody()};
    const Overlap cases[] = {
        {"two runs in place", true, true, "fallocate"},
        {"a run in place overtaken by a rename", true, false, "fallocate"},
        {"a rename overtaken by a run in place", false, true, "fsync"},
        {"two renames", false, false, "fsync"},
        // The second finds the first's new file in place and waits for the first to end.
        {"two renames, the first held up after its rename", false, false, "fsync", 2},
    };
    for (const Overlap& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(path("work/userData.txt"), oldOutput, 0666);
        const TempDir out[2];
        const pid_t first = start("first.txt", as[c.firstAsNobody], c.slowed, out[0], c.call);
        for (int wait = 0; wait < 3000 && !isHeldUp(out[0] / "trace", c); ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const pid_t runs[] = {first, start("second.txt", as[c.secondAsNobody], nullptr, out[1])};
        siginfo_t ended{};
        ASSERT_EQ(::waitid(P_ALL, 0, &ended, WEXITED | WNOWAIT), 0);
        const int last = ended.si_pid == runs[0] ? 1 : 0;
        for (int i = 0; i < 2; ++i) {
            const RunResult result = finishTool(runs[i], out[i].path());
            EXPECT_EQ(result.exitStatus, 0) << "run " << i << ": " << result.standardError;
        }
        EXPECT_TRUE(readFile(path("work/userData.txt")) == outputs[last])
            << "run " << last << " ended last, yet its whole content is not what it left";
        EXPECT_EQ(listDirectory(path("work")), std::vector<std::string>{"userData.txt"});
    }
}

// A rename held up after its read lock, while a second rename puts another
// file at the name and a write in place takes that one: the first must not
// rename over a file being written in place, but wait for that write to end.
// Each held run is stopped where it was held, and let go in turn.
TEST_F(OverlappingRuns, ARenameDoesNotOvertakeAWriteInPlaceOfAFileThatCameMeanwhile)
{
    if (!canActAsNobody()) {
        GTEST_SKIP() << "needs root and setpriv to write root's file as another user";
    }
    const std::string inputs[] = {"first.txt", "second.txt", "third.txt"};
    std::vector<std::string> outputs;
    for (int i = 0; i < 3; ++i) {
        writeFile(path(inputs[i]), usersText(50000 + 10000 * i, inputs[i]));
        outputs.push_back(convertedUsersText(50000 + 10000 * i, inputs[i]));
    }
    ASSERT_EQ(::mkdir(path("work").c_str(), 0755), 0);
    writeFile(path("work/userData.txt"), oldOutput, 0666);
    const TempDir out[3];
    Fault slow("fsync", "", 1);
    slow.delayEnter = "1500000";
    const pid_t first = start(inputs[0], straced(out[0] / "trace", {"fcntl"}, {slow}), nullptr, out[0]);
    stopWhereHeld(first, out[0] / "trace", "fsync");
    EXPECT_EQ(finishTool(start(inputs[1], {}, nullptr, out[1]), out[1].path()).exitStatus, 0);
    const pid_t third = start(inputs[2], asNobody(), "fallocate", out[2]);
    stopWhereHeld(third, out[2] / "trace", "fallocate");
    signalTool(first, SIGCONT);
    // Let go once it finds the write in place in its way (or has ended).
    waitUntilLockRefused(first, out[0] / "trace");
    signalTool(third, SIGCONT);
    // Not the order in which the two exit: the write in place lets go of its
    // lock as it exits, and under load the rename that waited for it may be
    // the first of the two to be reaped. What is left at the name tells.
    EXPECT_EQ(finishTool(first, out[0].path()).exitStatus, 0);
    EXPECT_EQ(finishTool(third, out[2].path()).exitStatus, 0);
    EXPECT_TRUE(readFile(path("work/userData.txt")) == outputs[0])
        << "the held rename did not wait for the write in place of the file that came: its content is not what is left";
}

// A file moved over the name while a run writes the old one in place, as
// mv does without a lock: the run writes again where the name leads now.
TEST_F(OverlappingRuns, FileMovedOverTheNameDuringAWriteInPlaceGetsTheContent)
{
    if (!canActAsNobody()) {
        GTEST_SKIP() << "needs root and setpriv to write root's file as another user";
    }
    writeFile(path("first.txt"), usersText(60000, "pw"));
    ASSERT_EQ(::mkdir(path("work").c_str(), 0755), 0);
    writeFile(path("work/userData.txt"), oldOutput, 0666);
    writeFile(path("work/moved.txt"), oldOutput, 0666);
    const TempDir out;
    const pid_t run = start("first.txt", asNobody(), "fallocate", out);
    stopWhereHeld(run, out / "trace", "fallocate");
    EXPECT_EQ(::rename(path("work/moved.txt").c_str(), path("work/userData.txt").c_str()), 0);
    signalTool(run, SIGCONT);
    const RunResult result = finishTool(run, out.path());
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_TRUE(readFile(path("work/userData.txt")) == convertedUsersText(60000, "pw"))
        << "the content went into the file that lost the name, not the one moved there";
}

// A run whose input is userData.txt itself, started while another run
// writes that file in place with its writes slowed: it reads the input once
// the write is done (or before it starts), never half written.
TEST_F(OverlappingRuns, AnInputThatIsTheOutputIsNeverReadHalfWrittenInPlace)
{
    if (!canActAsNobody()) {
        GTEST_SKIP() << "needs root and setpriv to write root's file as another user";
    }
    writeFile(path("new.txt"), usersText(100000, "pw"));
    const std::string whole[] = {convertedUsersText(30000, "old"), convertedUsersText(100000, "pw"),
                                 convertedUsersText(100000, hashOf("pw"))};
    ASSERT_EQ(::mkdir(path("work").c_str(), 0755), 0);
    Fault slow("write", "", "1+");
    slow.delayEnter = "20000";
    for (const bool classicLocks : {false, true}) {
        SCOPED_TRACE(classicLocks ? "classic locks" : "open file description locks");
        writeFile(path("work/userData.txt"), usersText(30000, "old"), 0666);
        RunOptions writer = asNobody();
        RunOptions reader;
        if (classicLocks) {
            writer.inherited.refusedCalls = reader.inherited.refusedCalls = descriptorLocksRefused();
        }
        const TempDir out[2];
        const pid_t inPlace = start("new.txt", straced(out[0] / "trace", {}, {slow}, writer), nullptr, out[0]);
        // Until its first write in place has returned, with many more to come.
        const std::regex wroteInPlace("userData.txt>.*= [0-9]");
        for (int wait = 0; wait < 3000 && !std::regex_search(readFile(out[0] / "trace").value_or(""), wroteInPlace);
             ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const RunResult read = finishTool(start("work/userData.txt", reader, nullptr, out[1]), out[1].path());
        const RunResult written = finishTool(inPlace, out[0].path());
        if (read.exitStatus == unfilteredStatus) {
            GTEST_SKIP() << "no seccomp filter can refuse descriptor locks here, so classic locks are untested";
        }
        EXPECT_EQ(read.exitStatus, 0) << "the run on userData.txt: " << read.standardError;
        EXPECT_EQ(written.exitStatus, 0) << "the run in place: " << written.standardError;
        const std::optional<std::string> left = readFile(path("work/userData.txt"));
        EXPECT_TRUE(left == whole[0] || left == whole[1] || left == whole[2])
            << "the run on userData.txt read it half written in place: what is left is no run's whole conversion";
    }
}

TEST_F(OverlappingRuns, TwoRunsCreatingTheFileBothLeaveAWholeOne)
{
    writeFile(path("first.txt"), usersText(20000, "pw"));
    writeFile(path("second.txt"), usersText(20000));
    const std::string outputs[] = {convertedUsersText(20000, "pw"), convertedUsersText(20000)};
    ASSERT_EQ(::mkdir(path("work").c_str(), 0755), 0);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const TempDir out[2];
        const pid_t runs[] = {start("first.txt", {}, nullptr, out[0]), start("second.txt", {}, nullptr, out[1])};
        for (int i = 0; i < 2; ++i) {
            const RunResult result = finishTool(runs[i], out[i].path());
            EXPECT_EQ(result.exitStatus, 0) << "a run that found the name taken failed: " << result.standardError;
        }
        const std::optional<std::string> bytes = readFile(path("work/userData.txt"));
        EXPECT_TRUE(bytes == outputs[0] || bytes == outputs[1]) << "not one run's whole output";
        EXPECT_EQ(listDirectory(path("work")), std::vector<std::string>{"userData.txt"});
        ::unlink(path("work/userData.txt").c_str());
    }
}

// Another process puts userData.txt there and removes it again and again,
// and each run is held up as it checks the file it found: whatever is there
// by the time it goes on, it ends as a plain open would, with status 0.
TEST_F(InjectedFault, OutputRemovedAgainAndAgainIsMadeAnew)
{
    const TempDir loopOutput;
    RunOptions loop;
    loop.workDir = dir.path();
    loop.tool = {"sh", "-c", "while :; do printf old >userData.txt; rm -f userData.txt; done"};
    const pid_t remover = startTool(loop, loopOutput.path());
    Fault slow("faccessat2", "", 1);
    slow.delayEnter = "20000";
    for (int i = 0; i < 20; ++i) {
        const RunResult result = run("in.txt\n", inject({slow}));
        EXPECT_EQ(result.exitStatus, 0) << "run " << i << ": " << result.standardError;
    }
    ::kill(remover, SIGKILL);
    finishTool(remover, loopOutput.path());
}

// Another process's lock on the old file, and what it does to a run by
// rename and to one in place (forced by a rename that cannot cross devices):
// a reader's lock never makes a run fail, and only a write in place waits for
// a read lock; a writer's lock is waited for, for 10 seconds. Where the
// kernel refuses open file description locks, classic POSIX locks do the same.
TEST_F(InjectedFault, ReadersLocksNeverFailARunAndWritersLocksAreWaitedFor)
{
    struct Case {
        const char* what;
        const char* lock; // flock(1) -x by user nobody, or this process's fcntl "read", "write" or "classic" lock
        bool inPlace;
        int status;
        int leastSeconds;
        int mostSeconds;
        bool releasedOnceWaitedFor = false; // else the lock is held to the run's end
        bool inputIsOutput = false;         // the run reads userData.txt, not in.txt
    };
    const Case cases[] = {
        {"another user's flock -x, by rename", "flock", false, 0, 0, 3},
        {"another user's flock -x, in place", "flock", true, 0, 0, 3},
        {"a read lock, by rename", "read", false, 0, 0, 3},
        {"a read lock given up once waited for, in place", "read", true, 0, 0, 5, true},
        {"a write lock, by rename", "write", false, 1, 10, 15},
        {"a write lock on the input that is the output", "write", false, 1, 10, 15, false, true},
        {"a classic write lock given up once waited for, by rename", "classic", false, 0, 0, 5, true},
        {"a classic write lock given up once waited for, in place", "classic", true, 0, 0, 5, true},
    };
    const std::vector<Fault> inPlace = {{"renameat", "EXDEV", "1+"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const bool classic = c.lock == std::string("classic");
        writeFile(path("userData.txt"), oldOutput);
        const TempDir holderOutput;
        RunOptions holder = asNobody();
        holder.workDir = dir.path();
        holder.tool = {"flock", "-x", "userData.txt", "sleep", "60"};
        const pid_t flocked = c.lock == std::string("flock") ? startTool(holder, holderOutput.path()) : 0;
        while (flocked != 0 && commandSucceeds({"flock", "-n", path("userData.txt"), "true"})) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        // A classic lock is this process's until it closes any descriptor of the file.
        UniqueFd locked(::open(path("userData.txt").c_str(), O_RDWR | O_CLOEXEC));
        struct flock range {};
        range.l_type = c.lock == std::string("read") ? F_RDLCK : F_WRLCK;
        ASSERT_TRUE(flocked != 0 || ::fcntl(locked.get(), classic ? F_SETLK : F_OFD_SETLK, &range) == 0);
        const auto started = std::chrono::steady_clock::now();
        const TempDir output;
        RunOptions options = straced(output / "trace", {"fcntl"}, c.inPlace ? inPlace : std::vector<Fault>{});
        if (classic) {
            options.inherited.refusedCalls = descriptorLocksRefused();
        }
        options.workDir = dir.path();
        options.standardInput = c.inputIsOutput ? "userData.txt\n" : "in.txt\n";
        const pid_t run = startTool(options, output.path());
        if (c.releasedOnceWaitedFor) {
            // The run is seen to find the lock in its way, and not to write meanwhile.
            waitUntilLockRefused(run, output / "trace");
            EXPECT_EQ(readFile(path("userData.txt")), oldOutput) << "the run did not wait for the lock to be given up";
            locked.reset();
        }
        const RunResult result = finishTool(run, output.path());
        if (result.exitStatus == unfilteredStatus) {
            GTEST_SKIP() << "no seccomp filter can refuse descriptor locks here, so classic locks are untested";
        }
        const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_EQ(result.exitStatus, c.status) << result.standardError;
        EXPECT_GE(seconds, c.leastSeconds) << "the run did not wait for a writer's write lock";
        EXPECT_LE(seconds, c.mostSeconds) << "a reader's lock held up the run";
        EXPECT_EQ(readFile(path("userData.txt")), c.status == 0 ? sampleOutput : oldOutput);
        if (c.status != 0) {
            EXPECT_EQ(result.standardError,
                      std::string("initHashData: cannot ") + (c.inputIsOutput ? "read " : "write ") +
                          shown(path("userData.txt")) +
                          ": waited 10 seconds for another process to release its write lock on it (lslocks or fuser "
                          "-v shows which)\n");
        }
        if (flocked != 0) {
            ::kill(flocked, SIGKILL);
            finishTool(flocked, holderOutput.path());
        }
    }
}

// The test holds a read lease on the output and gives it up when the kernel asks.
int leasedFd = -1;
volatile std::sig_atomic_t leaseBroken = 0;
extern "C" void giveUpLease(int)
{
    leaseBroken = 1;
    ::fcntl(leasedFd, F_SETLEASE, F_UNLCK);
}

// A rename opens the old file for reading alone, which a read lease lets by;
// a write in place (forced by a rename that cannot cross devices) opens it
// for writing, which breaks the lease and waits for it to be given up.
TEST_F(InjectedFault, LeasedOutputIsWrittenOnceTheLeaseIsGivenUp)
{
    for (const bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "in place" : "by rename");
        writeFile(path("userData.txt"), oldOutput);
        const UniqueFd leased(::open(path("userData.txt").c_str(), O_RDONLY | O_CLOEXEC));
        leasedFd = leased.get();
        leaseBroken = 0;
        struct sigaction onBreak {};
        onBreak.sa_handler = giveUpLease;
        onBreak.sa_flags = SA_RESTART; // the run's waits go on
        struct sigaction previous {};
        ASSERT_EQ(::sigaction(SIGIO, &onBreak, &previous), 0);
        if (::fcntl(leasedFd, F_SETLEASE, F_RDLCK) != 0) {
            ::sigaction(SIGIO, &previous, nullptr);
            GTEST_SKIP() << "this file system or user takes no leases: " << std::strerror(errno);
        }
        const RunResult result = run("in.txt\n", inPlace ? inject({{"renameat", "EXDEV", "1+"}}) : RunOptions{});
        ::sigaction(SIGIO, &previous, nullptr);
        EXPECT_EQ(result.exitStatus, 0) << "a plain open waits for a lease to be given up: " << result.standardError;
        EXPECT_EQ(readFile(path("userData.txt")), sampleOutput);
        EXPECT_EQ(leaseBroken == 1, inPlace)
            << (inPlace ? "the write in place never met the lease" : "a rename broke the lease");
    }
}

TEST_F(InjectedFault, SystemCallFailureKeepsOldOutput)
{
    struct Case {
        std::string syscall;
        std::string marker;
        std::string error;
        std::string message;
        int nth = 1; // of the calls with `marker`
    };
    const Case cases[] = {
        {"read", "262144", "EIO", "cannot read " + shown(path("in.txt")) + ": Input/output error"},
        {"write", "", "ENOSPC", "cannot write " + shown(path("userData.txt")) + ": No space left on device"},
        {"fsync", "", "EIO", "cannot sync " + shown(path("userData.txt")) + ": Input/output error"},
        {"renameat", "", "EIO", "cannot replace " + shown(path("userData.txt")) + ": Input/output error"},
        {"openat", "O_TMPFILE", "EIO", "cannot create " + shown(path("userData.txt")) + ": Input/output error"},
        // Under the lock: the look-up of the name (after two that find the
        // target), the open of the file there (after one that reads its flags).
        {"newfstatat", "\"userData.txt\"", "EIO",
         "cannot replace " + shown(path("userData.txt")) + ": Input/output error", 3},
        {"openat", "\"userData.txt\", O_RDONLY", "EIO",
         "cannot write " + shown(path("userData.txt")) + ": Input/output error", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.syscall + " " + c.marker + " " + c.error);
        const RunOptions faulty = inject({{c.syscall, c.error, ordinalOf(c.syscall, c.marker, {}, "in.txt", c.nth)}});
        writeFile(path("userData.txt"), oldOutput);
        expectFailureKeepsOldOutput("in.txt\n", c.message, faulty);
    }
}

TEST_F(InjectedFault, FallbacksStillWriteTheConversion)
{
    struct Case {
        std::string syscall;
        std::string marker;
        std::string error;
        bool sameInode;
        const char* from = ""; // "+": that call and every later one fail
    };
    const Case cases[] = {
        // No unnamed files on this file system: a named staging file is used and removed.
        {"openat", "O_TMPFILE", "EOPNOTSUPP", false},
        // The target cannot be renamed over: it is written in place.
        {"renameat", "", "EXDEV", true},
        {"renameat", "", "EBUSY", true},
        // A file system that keeps no locks is written as it would be without them.
        {"fcntl", "F_OFD_SETLK", "ENOLCK", false, "+"},
        {"fcntl", "F_OFD_SETLK", "EOPNOTSUPP", false, "+"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.syscall + " " + c.error);
        const RunOptions faulty =
            inject({{c.syscall, c.error, std::to_string(ordinalOf(c.syscall, c.marker)) + c.from}});
        writeFile(path("userData.txt"), oldOutput);
        const FileState before = stateOf(path("userData.txt"));
        const RunResult result = run("in.txt\n", faulty);
        EXPECT_EQ(result.exitStatus, 0) << result.standardError;
        EXPECT_EQ(readFile(path("userData.txt")), sampleOutput);
        EXPECT_EQ(stateOf(path("userData.txt")).inode == before.inode, c.sameInode);
        EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"in.txt", "userData.txt"}));
    }
}

// A seccomp filter, an emulator or an older kernel may answer ENOSYS or EPERM
// to any of the newer calls the tool makes, and some sandboxes EACCES, or
// ENOTTY to an ioctl: the run still ends as a plain open and write would.
TEST_F(InjectedFault, NewerSystemCallsRefusedStillWriteTheConversion)
{
    // The first fault of a row gets each of its errors in turn; "O_TMPFILE" stands for that openat's ordinal,
    // "own" for the tool's own first pread64.
    struct Row {
        std::vector<Fault> faults;
        std::vector<const char*> errors = {"ENOSYS", "EPERM"};
    };
    const std::vector<const char*> denied = {"ENOSYS", "EPERM", "EACCES"};
    const Row rows[] = {
        {{{"statx", "", "1+"}}},
        {{{"renameat2", "", "1+"}}},
        {{{"faccessat2", "", "1+"}}},
        {{{"getrandom", "", "1+"}}},
        {{{"openat", "", "O_TMPFILE"}}, denied},
        // A named staging file, and neither RENAME_NOREPLACE nor hard links.
        {{{"renameat2", "", "1+"}, {"openat", "EOPNOTSUPP", "O_TMPFILE"}, {"linkat", "EPERM", "1+"}}},
        {{{"linkat", "", "1+"}}, denied},
        {{{"fallocate", "", "1+"}}, denied},
        {{{"pread64", "", "own"}}, denied},
        {{{"ioctl", "", "1+"}}, {"ENOSYS", "EPERM", "EACCES", "ENOTTY", "EINVAL"}},
    };
    const std::pair<const char*, std::vector<Fault>> ways[] = {
        {"by rename", {}}, {"as a new file", {}}, {"in place", {{"renameat", "EXDEV", "1+"}}}};
    // All that a plain write leaves but the inode: bytes, mode, owner, group and the nodump flag.
    const auto writtenAs = [](const std::string& file) {
        const FileState state = stateOf(file);
        int flags = 0;
        const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
        (void)::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags);
        return std::tuple(state.bytes, state.mode, state.owner, state.group, (flags & FS_NODUMP_FL) != 0);
    };
    // Where the file system keeps no nodump flag (tmpfs before Linux 6.0), the rows look at the rest.
    writeFile(path("userData.txt"), oldOutput);
    const bool nodump = commandSucceeds({"chattr", "+d", path("userData.txt")});
    const mode_t umask = ::umask(0);
    ::umask(umask);
    auto plainNew = std::tuple(sampleOutput, mode_t(S_IFREG | (0666 & ~umask)), ::geteuid(), ::getegid(), false);
    // A dynamically linked tool's loader, and an emulator's, read with pread64 before the tool does.
    const std::string ownPreads = [&] {
        const TempDir traceDir;
        EXPECT_EQ(run("in.txt\n", straced(traceDir / "trace", {"pread64"}, {})).exitStatus, 0);
        const std::string trace = readFile(traceDir / "trace").value_or("");
        int before = 1;
        for (std::size_t at = trace.find("pread64("); at != std::string::npos; at = trace.find("pread64(", at + 1)) {
            ++before;
        }
        return std::to_string(before) + "+";
    }();
    for (const Row& row : rows) {
        for (const auto& [way, wayFaults] : ways) {
            // The old file carries the nodump flag, which only its own inode or a carried copy keeps.
            const auto setUp = [&, &way = way] {
                ::unlink(path("userData.txt").c_str());
                if (std::string(way) == "as a new file") {
                    return plainNew;
                }
                writeFile(path("userData.txt"), oldOutput);
                EXPECT_TRUE(!nodump || commandSucceeds({"chattr", "+d", path("userData.txt")}));
                auto plainOld = writtenAs(path("userData.txt"));
                std::get<0>(plainOld) = sampleOutput;
                return plainOld;
            };
            setUp();
            const std::string tmpfile = std::to_string(ordinalOf("openat", "O_TMPFILE"));
            for (const char* error : row.errors) {
                // qemu-user makes the older call the fallback takes with faccessat2 again.
                if (row.faults.front().syscall == "faccessat2" && std::string(error) == "EPERM" &&
                    toolCommand().size() > 1) {
                    continue;
                }
                SCOPED_TRACE(row.faults.front().syscall + " " + error + " (" + std::to_string(row.faults.size()) +
                             " faults), " + way);
                const auto expected = setUp();
                std::vector<Fault> faults = wayFaults;
                for (Fault fault : row.faults) {
                    fault.error = fault.error.empty() ? error : fault.error;
                    fault.when = fault.when == "O_TMPFILE" ? tmpfile : fault.when == "own" ? ownPreads : fault.when;
                    faults.push_back(fault);
                }
                const RunResult result = run("in.txt\n", inject(faults));
                EXPECT_EQ(result.exitStatus, 0) << "no fallback for the refused call: " << result.standardError;
                EXPECT_EQ(writtenAs(path("userData.txt")), expected)
                    << "other bytes, mode, owner, group or flags than a plain write leaves";
                EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"in.txt", "userData.txt"}));
            }
        }
    }
}

TEST_F(EndToEnd, BindMountedOutputIsWrittenInPlace)
{
    writeFile(path("in.txt"), sampleInput);
    writeFile(path("userData.txt"), oldOutput);
    writeFile(path("mounted.txt"), oldOutput);
    RunOptions inNamespace;
    inNamespace.wrapper = {"unshare", "-m", "sh", "-c", "mount --bind mounted.txt userData.txt && exec \"$0\" \"$@\""};
    if (!isRoot() || !commandSucceeds({"unshare", "-m", "true"})) {
        GTEST_SKIP() << "needs a mount namespace";
    }
    const RunResult result = run("in.txt\n", inNamespace);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(readFile(path("mounted.txt")), sampleOutput) << "the mounted file gets the content";
    EXPECT_EQ(readFile(path("userData.txt")), oldOutput) << "the file beneath the mount is untouched";
    EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"in.txt", "mounted.txt", "userData.txt"}));
}

// Without /proc, as in a chroot or container that mounts none, the temporary
// file is linked by its descriptor.
TEST_F(EndToEnd, NewAndReplacedOutputNeedNoProc)
{
    writeFile(path("in.txt"), sampleInput);
    RunOptions noProc;
    noProc.wrapper = {"unshare", "-m", "sh", "-c", "umount -l /proc && exec \"$0\" \"$@\""};
    RunOptions version = noProc;
    version.arguments = {"--version"};
    if (!isRoot() || run("", version).exitStatus != 0) {
        GTEST_SKIP() << "needs a mount namespace without /proc in which the tool starts (a sanitized build reads /proc "
                        "as it starts)";
    }
    for (const bool exists : {false, true}) {
        SCOPED_TRACE(exists ? "replaced" : "new");
        ::unlink(path("userData.txt").c_str());
        if (exists) {
            writeFile(path("userData.txt"), oldOutput);
        }
        const ino_t before = stateOf(path("userData.txt")).inode;
        const RunResult result = run("in.txt\n", noProc);
        EXPECT_EQ(result.exitStatus, 0) << "the temporary file was not linked: " << result.standardError;
        EXPECT_EQ(readFile(path("userData.txt")), sampleOutput);
        EXPECT_TRUE(!exists || stateOf(path("userData.txt")).inode != before) << "written in place, not renamed";
        EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"in.txt", "userData.txt"}));
    }
}

TEST_F(EndToEnd, OutOfMemoryFailsAndKeepsOldOutput)
{
    RunOptions limited;
    limited.inherited.addressSpaceLimit = std::size_t{64} << 20;
    // Sanitizers and emulators reserve more address space than such a limit allows.
    writeFile(path("one.txt"), "a:b:c:d\n");
    if (const RunResult trial = run("one.txt\n", limited); trial.exitStatus != 0) {
        GTEST_SKIP() << "this build cannot convert even one record under a 64 MiB address space limit: "
                     << trial.standardError;
    }
    writeFile(path("userData.txt"), oldOutput);
    writeFile(path("huge.txt"), "u:" + std::string(std::size_t{96} << 20, 'p') + ":c:d\n");
    expectFailureKeepsOldOutput("huge.txt\n", "cannot convert " + shown(path("huge.txt")) + ": Cannot allocate memory",
                                limited);

    // From the least address space the tool loads in up to enough to succeed:
    // even where an exception cannot be made, the run reports and exits 1.
    bool succeeded = false;
    for (unsigned long kib = 4096; kib <= 16384 && !succeeded; kib += 16) {
        limited.inherited.addressSpaceLimit = kib << 10;
        writeFile(path("userData.txt"), oldOutput);
        const RunResult result = run("one.txt\n", limited);
        if (result.exitStatus == 127) {
            continue; // the loader could not map the program; the tool never exits so
        }
        SCOPED_TRACE(std::to_string(kib) + " KiB");
        succeeded = result.exitStatus == 0;
        EXPECT_TRUE(succeeded || result.exitStatus == 1)
            << "status " << result.exitStatus << ", signal " << result.signal << ": " << result.standardError;
        EXPECT_EQ(readFile(path("userData.txt")), succeeded ? "a:" + hashOf("b") + ":c:d\n" : oldOutput);
        if (!succeeded) {
            EXPECT_EQ(result.standardError, "initHashData: out of memory\n");
        }
    }
    EXPECT_TRUE(succeeded) << "no limit up to 16 MiB was enough";
}

} // namespace
} // namespace initHashData::testing

// SPDX-License-Identifier: MIT
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace initHashData::testing {

// A fresh directory under /tmp, open to every user, removed with its contents.
class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    const std::string& path() const noexcept { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& bytes, mode_t mode = 0644);
std::optional<std::string> readFile(const std::string& path);
// Names in a directory, sorted, without "." and "..".
std::vector<std::string> listDirectory(const std::string& path);

struct FileState {
    bool exists = false;
    std::string bytes;
    mode_t mode = 0;
    ino_t inode = 0;
    uid_t owner = 0;
    gid_t group = 0;

    bool operator==(const FileState&) const = default;
};

// The state of the file at `path`, a final symbolic link followed.
FileState stateOf(const std::string& path);

// Every extended attribute of `path` (a final link not followed), by name.
std::map<std::string, std::string> attributesOf(const std::string& path);

// Makes this process's calls of `syscall` whose argument `argument` matches
// `value` (all its bits where `anyBit`, else equal in its low word) return
// -`errnum` without being made, or 0 where `errnum` is 0; for good, and for
// the programs it runs. Returns false where it cannot.
bool filterCalls(long syscall, std::uint32_t argument, std::uint32_t value, bool anyBit, int errnum);

// Calls of a system call that a seccomp filter refuses, as filterCalls() takes them.
struct RefusedCalls {
    long syscall;
    std::uint32_t argument;
    std::uint32_t value;
    bool anyBit;
    int errnum;
};

// The exit status of a run whose seccomp filter could not be put in place.
inline constexpr int unfilteredStatus = 77;

struct RunOptions {
    std::string workDir;
    std::string standardInput;
    std::vector<std::string> arguments;
    // Programs and their arguments put before the tool, such as setpriv or strace.
    std::vector<std::string> wrapper;
    // The command that runs the tool, when not toolCommand().
    std::optional<std::vector<std::string>> tool;
    // NAME=value settings added to the environment.
    std::vector<std::string> environment;
    // What the tool inherits beyond its arguments and environment.
    struct Inherited {
        std::optional<unsigned long> fileSizeLimit;
        std::optional<unsigned long> addressSpaceLimit;
        std::optional<unsigned long> openFileLimit;
        std::optional<mode_t> umask;
        // Standard streams that are pipes whose reader has gone.
        std::vector<int> brokenPipes;
        // Refused to the wrappers and the tool alike, as by a sandbox.
        std::vector<RefusedCalls> refusedCalls;
    } inherited;
};

struct RunResult {
    int exitStatus = -1; // -1 when killed by a signal
    int signal = 0;
    std::string standardOutput;
    std::string standardError;
};

// The command that runs the tool under test: the words of $INITHASHDATA_TOOL
// (such as "qemu-s390x /path/initHashData"), or the tool built with the tests.
std::vector<std::string> toolCommand();

pid_t startTool(const RunOptions& options, const std::string& outputDir);
RunResult finishTool(pid_t pid, const std::string& outputDir);
RunResult runTool(const RunOptions& options);

// Whether a command runs and exits 0, its output discarded.
bool commandSucceeds(const std::vector<std::string>& command);

} // namespace initHashData::testing

// SPDX-License-Identifier: MIT
#pragma once
// What the end-to-end suites share: a temporary working directory, runs of the
// built tool in it, and strace's fault injection.

#include "fileIo/uniqueFd.hpp"
#include "hashOf.hpp"
#include "toolRunner.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace initHashData::testing {

extern const std::string sampleInput;
extern const std::string sampleOutput;
extern const std::string oldOutput;

// `count` records "user<i>:<field2>:Some Name:staff\n", for inputs of some size.
std::string usersText(int count, const std::string& field2 = "password");
// What the tool makes of usersText(count, field2).
std::string convertedUsersText(int count, const std::string& field2 = "password");

// Whether a shell command succeeds, its output discarded.
bool shell(const std::string& command);

bool isRoot();

// A file system that `mount` (sh, the mount point "$0") mounts, for as long
// as the object lives; a failed unmount fails the test, since the next mount
// there would stack on this one.
class Mounted {
public:
    Mounted(const std::string& mount, std::string mountPoint);
    Mounted(const Mounted&) = delete;
    Mounted& operator=(const Mounted&) = delete;
    ~Mounted();
    bool mounted() const noexcept { return mounted_; }
    // What the commands said when they failed to mount.
    const std::string& failure() const noexcept { return failure_; }
    // Whether the kernel knows no such file system type, which a machine may lack.
    bool unknownType() const { return failure_.find("unknown filesystem type") != std::string::npos; }

private:
    std::string mountPoint_;
    bool mounted_ = false;
    std::string failure_;
};

// Held by a test for as long as it mounts loop images: an exclusive flock on
// a fixed file, so that such tests run one at a time on the machine, also
// from test runs side by side, and a mount namespace of the process's own,
// which a new namespace of another process (unshare -m) cannot copy. Such a
// copy keeps a file system alive past its umount here: the next mount of an
// image copied to the same name then fails, or gets the stale file system.
class LoopMountLock {
public:
    LoopMountLock();
    // Why the lock or the namespace could not be had; empty where they are.
    const std::string& failure() const noexcept { return failure_; }

private:
    UniqueFd lock_;
    std::string failure_;
};

// A path as messages show it.
inline std::string shown(const std::string& path) { return "'" + path + "'"; }

// The command that loop-mounts the file system in `image`, for Mounted.
std::string loopMount(const std::string& image);

// The unprivileged user the tests act as, and the command that runs another as it.
inline constexpr uid_t nobodyId = 65534;
inline const std::vector<std::string> asNobodyPrefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

// Open file description locks answered as a kernel without them answers (EINVAL).
std::vector<RefusedCalls> descriptorLocksRefused();

class EndToEnd : public ::testing::Test {
protected:
    RunResult run(std::string standardInput, RunOptions options = {});
    std::string path(const std::string& name) const { return dir / name; }

    // Runs the tool and expects a failure that leaves userData.txt and the directory as they were.
    void expectFailureKeepsOldOutput(const std::string& standardInput, const std::string& message,
                                     RunOptions options = {});

    // Whether the tests can run the tool as user nobody: they must be root and have setpriv.
    static bool canActAsNobody();
    // Options that run the tool as user nobody, from a copy it may execute.
    RunOptions asNobody();

    // Starts the tool with a FIFO for its input and returns once it has read
    // `first`, written there: by then it has looked at the output.
    pid_t startOnSlowInput(RunOptions options, const std::string& outputDir, UniqueFd& fifo, const std::string& first);
    // For a run started with the first 10 bytes of sampleInput: writes the
    // rest, closes the input and waits for the run to end.
    RunResult finishOnSlowInput(pid_t pid, UniqueFd& fifo, const std::string& outputDir);

    TempDir dir;

private:
    TempDir toolDir_;
};

// One fault for strace to inject: the `when`-th call of `syscall` ("2", or
// "2+" for that call and every later one) fails with `error` (if any),
// `signal` (if any) is raised as it is made, and it is held up for
// `delayEnter` microseconds (if any) before it is made; with `retval`, it is
// not made but answers that.
struct Fault {
    Fault(std::string syscallName, std::string errorName, std::string ordinal, std::string signalName = {})
        : syscall(std::move(syscallName)), error(std::move(errorName)), when(std::move(ordinal)),
          signal(std::move(signalName))
    {
    }
    Fault(std::string syscallName, std::string errorName, int ordinal, std::string signalName = {})
        : Fault(std::move(syscallName), std::move(errorName), std::to_string(ordinal), std::move(signalName))
    {
    }
    std::string syscall;
    std::string error;
    std::string when;
    std::string signal;
    std::string delayEnter = {};
    std::string retval = {};
};

// strace's fault injection fails the n-th call of a system call; the ordinal
// of the call to fail is found by a traced run.
class InjectedFault : public EndToEnd {
public:
    // Options that inject `faults`, one system call each; strace goes in
    // front of what `options` already wrap the tool in.
    static RunOptions inject(const std::vector<Fault>& faults, RunOptions options = {});

protected:
    void SetUp() override;

    // The ordinal among calls of `syscall` of the `nth` whose trace line holds
    // `marker`, in a run on `input` with `faults` injected.
    int ordinalOf(const std::string& syscall, const std::string& marker, const std::vector<Fault>& faults = {},
                  const std::string& input = "in.txt", int nth = 1);

    // Options that run the tool under strace, tracing `traced` into `output` and injecting `faults`.
    static RunOptions straced(const std::string& output, std::vector<std::string> traced,
                              const std::vector<Fault>& faults, RunOptions options = {});

    // A sanitized build's leak checker cannot run under ptrace.
    static constexpr const char* leakCheckOff = "ASAN_OPTIONS=detect_leaks=0";
};

} // namespace initHashData::testing

// SPDX-License-Identifier: MIT
#include "endToEnd.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <thread>
#include <utility>

namespace initHashData::testing {

const std::string sampleInput = "alice:secret:Alice Liddell:admin,1001\nbob::Bob:staff:x\r\n";
const std::string sampleOutput =
    "alice:" + hashOf("secret") + ":Alice Liddell:admin,1001\nbob:" + hashOf("") + ":Bob:staff:x\r\n";
const std::string oldOutput = "old:1:kept:intact\n";

std::string usersText(int count, const std::string& field2)
{
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += "user" + std::to_string(i) + ":" + field2 + ":Some Name:staff\n";
    }
    return text;
}

std::string convertedUsersText(int count, const std::string& field2) { return usersText(count, hashOf(field2)); }

bool shell(const std::string& command) { return commandSucceeds({"sh", "-c", command}); }

Mounted::Mounted(const std::string& mount, std::string mountPoint) : mountPoint_(std::move(mountPoint))
{
    ::mkdir(mountPoint_.c_str(), 0755);
    const TempDir scratch;
    mounted_ = commandSucceeds(
        {"sh", "-c", "export LC_ALL=C; { " + mount + "; } >/dev/null 2>\"$1\"", mountPoint_, scratch / "said"});
    if (!mounted_) {
        failure_ = readFile(scratch / "said").value_or("");
        failure_ = failure_.empty() ? "the mount command failed and said nothing" : failure_;
    }
}

Mounted::~Mounted()
{
    if (mounted_) {
        EXPECT_TRUE(commandSucceeds({"umount", mountPoint_})) << "cannot unmount " << mountPoint_;
    }
}

LoopMountLock::LoopMountLock()
{
    // /run/lock is cleared at boot; /tmp serves where it is missing. Created
    // only where missing: another user's file in a sticky directory may
    // refuse an open with O_CREAT.
    for (const char* name : {"/run/lock/initHashDataTest.loop", "/tmp/initHashDataTest.loop"}) {
        lock_.reset(::open(name, O_RDONLY | O_CLOEXEC));
        if (!lock_ && errno == ENOENT) {
            lock_.reset(::open(name, O_RDONLY | O_CREAT | O_CLOEXEC, 0644));
        }
        if (lock_) {
            break;
        }
    }
    int taken = lock_ ? ::flock(lock_.get(), LOCK_EX) : -1;
    while (taken != 0 && errno == EINTR) {
        taken = ::flock(lock_.get(), LOCK_EX);
    }
    if (taken != 0) {
        failure_ = std::string("cannot take the lock on loop mounts: ") + std::strerror(errno);
    } else if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        failure_ = std::string("cannot have a mount namespace of its own: ") + std::strerror(errno);
    }
}

std::string loopMount(const std::string& image) { return "mount -o loop '" + image + "' \"$0\""; }

bool isRoot() { return ::geteuid() == 0; }

std::vector<RefusedCalls> descriptorLocksRefused()
{
    std::vector<RefusedCalls> refused;
    for (const int command : {F_OFD_GETLK, F_OFD_SETLK, F_OFD_SETLKW}) {
        refused.push_back({SYS_fcntl, 1, static_cast<std::uint32_t>(command), false, EINVAL});
    }
    return refused;
}

RunResult EndToEnd::run(std::string standardInput, RunOptions options)
{
    options.workDir = dir.path();
    options.standardInput = std::move(standardInput);
    return runTool(options);
}

void EndToEnd::expectFailureKeepsOldOutput(const std::string& standardInput, const std::string& message,
                                           RunOptions options)
{
    const FileState before = stateOf(path("userData.txt"));
    const auto listing = listDirectory(dir.path());
    const RunResult result = run(standardInput, std::move(options));
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.standardError, "initHashData: " + message + "\n");
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(stateOf(path("userData.txt")), before) << "the old output changed";
    EXPECT_EQ(listDirectory(dir.path()), listing) << "a file was left behind or removed";
}

bool EndToEnd::canActAsNobody()
{
    std::vector<std::string> command = asNobodyPrefix;
    command.emplace_back("true");
    return isRoot() && commandSucceeds(command);
}

RunOptions EndToEnd::asNobody()
{
    RunOptions nobody;
    nobody.wrapper = asNobodyPrefix;
    // The build tree may sit where the user cannot reach; a copy in /tmp can be run.
    nobody.tool = toolCommand();
    const std::string copy = toolDir_ / "initHashData";
    EXPECT_TRUE(commandSucceeds({"cp", nobody.tool->back(), copy}));
    nobody.tool->back() = copy;
    return nobody;
}

pid_t EndToEnd::startOnSlowInput(RunOptions options, const std::string& outputDir, UniqueFd& fifo,
                                 const std::string& first)
{
    ::unlink(path("slow.fifo").c_str());
    EXPECT_EQ(::mkfifo(path("slow.fifo").c_str(), 0644), 0);
    options.standardInput = path("slow.fifo") + "\n";
    const pid_t pid = startTool(options, outputDir);
    fifo.reset(::open(path("slow.fifo").c_str(), O_WRONLY | O_CLOEXEC));
    EXPECT_EQ(::write(fifo.get(), first.data(), first.size()), static_cast<ssize_t>(first.size()));
    for (int unread = 1; unread > 0 && ::ioctl(fifo.get(), FIONREAD, &unread) == 0;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pid;
}

RunResult EndToEnd::finishOnSlowInput(pid_t pid, UniqueFd& fifo, const std::string& outputDir)
{
    const std::string rest = sampleInput.substr(10);
    EXPECT_EQ(::write(fifo.get(), rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
    fifo.reset();
    return finishTool(pid, outputDir);
}

void InjectedFault::SetUp()
{
    if (!commandSucceeds({"strace", "-o", "/dev/null", "true"})) {
        GTEST_SKIP() << "strace is missing or cannot trace here";
    }
    writeFile(path("in.txt"), sampleInput);
    writeFile(path("userData.txt"), oldOutput);
}

RunOptions InjectedFault::straced(const std::string& output, std::vector<std::string> traced,
                                  const std::vector<Fault>& faults, RunOptions options)
{
    // -y names each descriptor's file, so that markers can tell the files apart.
    std::vector<std::string> strace = {"strace", "-y", "-o", output};
    for (const Fault& fault : faults) {
        traced.push_back(fault.syscall);
        std::string injection = "inject=" + fault.syscall + (fault.error.empty() ? "" : ":error=" + fault.error);
        if (!fault.signal.empty()) {
            injection += ":signal=" + fault.signal;
        }
        if (!fault.delayEnter.empty()) {
            injection += ":delay_enter=" + fault.delayEnter;
        }
        if (!fault.retval.empty()) {
            injection += ":retval=" + fault.retval;
        }
        strace.insert(strace.end(), {"-e", injection + ":when=" + fault.when});
    }
    std::string set = "trace=";
    for (const std::string& syscall : traced) {
        set += (set.back() == '=' ? "" : ",") + syscall;
    }
    strace.insert(strace.end(), {"-e", set});
    options.wrapper.insert(options.wrapper.begin(), strace.begin(), strace.end());
    options.environment.emplace_back(leakCheckOff);
    return options;
}

int InjectedFault::ordinalOf(const std::string& syscall, const std::string& marker, const std::vector<Fault>& faults,
                             const std::string& input, int nth)
{
    const TempDir traceDir;
    const RunResult result = run(input + "\n", straced(traceDir / "trace", {syscall}, faults));
    EXPECT_EQ(result.signal, 0) << "the traced run was killed";
    std::ifstream trace(traceDir / "trace");
    int ordinal = 0;
    for (std::string line; std::getline(trace, line);) {
        if (line.rfind(syscall + "(", 0) == 0) {
            ++ordinal;
            if (line.find(marker) != std::string::npos && --nth == 0) {
                return ordinal;
            }
        }
    }
    ADD_FAILURE() << "no " << syscall << " call with " << marker;
    return 0;
}

RunOptions InjectedFault::inject(const std::vector<Fault>& faults, RunOptions options)
{
    return straced("/dev/null", {}, faults, std::move(options));
}

} // namespace initHashData::testing

// SPDX-License-Identifier: MIT
// Runs the built tool where the machine fails it: a full disk, failing system
// calls in the middle of an in-place write, too few descriptors, a directory
// that cannot be synced and broken standard streams.
#include "endToEnd.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace initHashData::testing {
namespace {

// Space on a small file system, mounted from a loop image for as long as it lives.
class LoopMount {
public:
    LoopMount(const std::string& image, const std::string& mountPoint) : mountPoint_(mountPoint)
    {
        mounted_ = ::mkdir(mountPoint.c_str(), 0755) == 0 && commandSucceeds({"truncate", "-s", "4M", image}) &&
                   commandSucceeds({"mkfs.ext2", "-q", "-F", image}) &&
                   commandSucceeds({"mount", "-o", "loop", image, mountPoint});
    }
    LoopMount(const LoopMount&) = delete;
    LoopMount& operator=(const LoopMount&) = delete;
    ~LoopMount()
    {
        if (mounted_) {
            commandSucceeds({"umount", mountPoint_});
        }
    }
    bool mounted() const noexcept { return mounted_; }

private:
    std::string mountPoint_;
    bool mounted_ = false;
};

TEST_F(EndToEnd, InPlaceWriteOnAFullDiskKeepsOldOutput)
{
    if (!canActAsNobody()) {
        GTEST_SKIP() << "needs root and setpriv to mount a file system and write it as another user";
    }
    const LoopMount disk(path("ext2.img"), path("disk"));
    if (!disk.mounted()) {
        GTEST_SKIP() << "cannot make and loop-mount an ext2 image here";
    }
    // ext2 cannot reserve space ahead, and the directory is closed to the user: the file is written in place.
    const std::string work = path("disk/d");
    ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
    writeFile(work + "/userData.txt", usersText(2000), 0644);
    ASSERT_EQ(::chown((work + "/userData.txt").c_str(), nobodyId, nobodyId), 0);
    ASSERT_EQ(::chmod(work.c_str(), 0555), 0);
    const std::string records = usersText(20000);
    writeFile(path("in.txt"), records);
    // dd fails once the disk is full, which is the point.
    commandSucceeds({"dd", "if=/dev/zero", "of=" + path("disk/fill"), "bs=4k", "status=none"});

    RunOptions options = asNobody();
    options.workDir = work;
    options.standardInput = path("in.txt") + "\n";
    const FileState before = stateOf(work + "/userData.txt");
    RunResult result = runTool(options);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.standardError, "initHashData: cannot write 'userData.txt': No space left on device\n");
    EXPECT_EQ(stateOf(work + "/userData.txt"), before) << "the full disk tore the old file";

    ASSERT_EQ(::unlink(path("disk/fill").c_str()), 0);
    result = runTool(options);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    const FileState after = stateOf(work + "/userData.txt");
    EXPECT_EQ(after.inode, before.inode);
    EXPECT_EQ(after.bytes.size(), records.size() + 20000 * (hashOf("password").size() - 8));
}

// A fault in the in-place write, and how the run must end: 1 with the old
// file kept, 2 with it reported damaged, 0 with the new content whole.
struct InPlaceFault {
    const char* what;
    std::string old;
    std::vector<Fault> faults;
    int exitStatus;
    std::string message;
};

std::vector<InPlaceFault> inPlaceFaults()
{
    const std::string longOld = std::string(4000, 'o') + ":1:kept:intact\n";
    const std::string noSpace = "cannot write 'userData.txt': No space left on device";
    const std::string ioError = "cannot write 'userData.txt': Input/output error";
    const std::string damaged = "'userData.txt' is damaged: ";
    // clang-format off
    return {
        {"no space to reserve", oldOutput, {{"fallocate", "ENOSPC", 1}}, 1, noSpace},
        // Without a reservation, the file grows before old bytes are overwritten.
        {"growing fails", oldOutput, {{"fallocate", "EOPNOTSUPP", 1}, {"sendfile", "ENOSPC", 1}}, 1, noSpace},
        {"overwriting after growing fails", oldOutput, {{"fallocate", "EOPNOTSUPP", 1}, {"sendfile", "EIO", 2}}, 1,
         ioError},
        {"the first write fails", oldOutput, {{"sendfile", "EIO", 1}}, 1, ioError},
        {"shrinking fails after overwriting", longOld, {{"ftruncate", "EIO", 1}}, 2,
         damaged + "writing it in place failed part-way: Input/output error"},
        {"syncing fails after overwriting", oldOutput, {{"fsync", "EIO", 2}}, 2,
         damaged + "the in-place write could not be synced: Input/output error"},
        {"SIGTERM arrives as overwriting begins", oldOutput, {{"sendfile", "", 1, "SIGTERM"}}, 0, ""},
    };
    // clang-format on
}

TEST_F(InjectedFault, InPlaceWriteEndsWholeOrSaysWhetherOldBytesSurvive)
{
    // The in-place path is forced by a rename that cannot cross devices.
    const int renameOrdinal = ordinalOf("renameat", "");
    for (const InPlaceFault& c : inPlaceFaults()) {
        SCOPED_TRACE(c.what);
        writeFile(path("userData.txt"), c.old);
        std::vector<Fault> faults = c.faults;
        faults.push_back({"renameat", "EXDEV", renameOrdinal});
        if (c.exitStatus == 1) {
            expectFailureKeepsOldOutput("in.txt\n", c.message, inject(faults));
            continue;
        }
        const RunResult result = run("in.txt\n", inject(faults));
        if (c.exitStatus == 0) {
            EXPECT_EQ(result.signal, 0) << "a signal cut the in-place write short";
            EXPECT_EQ(readFile(path("userData.txt")), sampleOutput);
            continue;
        }
        EXPECT_EQ(result.exitStatus, 2) << "a damaged file was reported as unchanged";
        EXPECT_EQ(result.standardError, "initHashData: " + c.message + "\n");
        EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"in.txt", "userData.txt"}));
    }
}

TEST_F(EndToEnd, TooFewDescriptorsFailBeforeAnythingChanges)
{
    RunOptions trial;
    trial.inherited.openFileLimit = 4;
    const std::string clean = "initHashData: cannot open 'missing.txt': No such file or directory\n";
    if (const RunResult result = run("missing.txt\n", trial); result.standardError != clean) {
        GTEST_SKIP() << "this build or its emulator does not work with few descriptors: " << result.standardError;
    }
    const std::string once = "a:" + hashOf("b") + ":c:d\n";
    std::vector<int> statuses;
    for (unsigned long limit = 4; limit <= 8; ++limit) {
        SCOPED_TRACE("open file limit " + std::to_string(limit));
        writeFile(path("userData.txt"), "a:b:c:d\n");
        RunOptions options;
        options.inherited.openFileLimit = limit;
        const RunResult result = run("userData.txt\n", options);
        statuses.push_back(result.exitStatus);
        if (result.exitStatus == 0) {
            EXPECT_EQ(readFile(path("userData.txt")), once);
        } else {
            EXPECT_EQ(result.exitStatus, 1) << result.standardError;
            EXPECT_EQ(readFile(path("userData.txt")), "a:b:c:d\n") << "exit 1, yet the file was replaced";
            EXPECT_NE(result.standardError.find("Too many open files"), std::string::npos) << result.standardError;
        }
        EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"userData.txt"});
    }
    EXPECT_EQ(statuses.front(), 1) << "no limit was tight enough to test";
    EXPECT_EQ(statuses.back(), 0) << "no limit was loose enough to succeed";
}

TEST_F(InjectedFault, DirectorySyncFailureAfterTheRenameWarnsAndSucceeds)
{
    const RunResult result = run("in.txt\n", inject({{"fsync", "EIO", 2}}));
    EXPECT_EQ(result.exitStatus, 0) << "the new content is in place, yet the run reported failure";
    EXPECT_EQ(result.standardError, "initHashData: replaced 'userData.txt', but cannot sync its directory '.', so "
                                    "a crash may bring back the old file: Input/output error\n");
    EXPECT_EQ(readFile(path("userData.txt")), sampleOutput);
}

TEST_F(EndToEnd, BrokenStandardStreamsFailWithStatusOneNotASignal)
{
    struct Case {
        const char* what;
        std::string standardInput;
        std::vector<std::string> arguments;
        int brokenStream;
    };
    const Case cases[] = {
        {"a failure reported on a broken standard error", "missing.txt\n", {}, STDERR_FILENO},
        {"help written to a broken standard output", "", {"--help"}, STDOUT_FILENO},
    };
    for (const Case& c : cases) {
        RunOptions options;
        options.arguments = c.arguments;
        options.inherited.brokenPipes = {c.brokenStream};
        const RunResult result = run(c.standardInput, options);
        EXPECT_EQ(result.signal, 0) << c.what << ": killed by SIGPIPE";
        EXPECT_EQ(result.exitStatus, 1) << c.what;
    }
}

} // namespace
} // namespace initHashData::testing

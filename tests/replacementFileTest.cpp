// SPDX-License-Identifier: MIT
#include "replacement/replacementFile.hpp"
#include "fileIo/uniqueFd.hpp"
#include "toolRunner.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstddef>
#include <functional>
#include <vector>

namespace initHashData {
namespace {

using testing::filterCalls;
using testing::listDirectory;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

void put(ReplacementFile& file, const std::string& bytes) { file.write(bytes); }

// The regular files this process has open.
std::vector<ino_t> openFiles()
{
    std::vector<ino_t> files;
    for (int fd = 0; fd < 1024; ++fd) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            files.push_back(st.st_ino);
        }
    }
    return files;
}

// Every openat(O_TMPFILE) fails with EOPNOTSUPP, as on a file system without unnamed files.
bool failUnnamedFiles()
{
    return filterCalls(SYS_openat, 2, static_cast<std::uint32_t>(O_TMPFILE & ~O_DIRECTORY), true, EOPNOTSUPP);
}

// The wait status of a child process that runs `body` once `filter` is in
// place; a failure there makes it exit 1, a filter that cannot be put in place 77.
int filtered(const std::function<bool()>& filter, const std::function<void()>& body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (!filter()) {
            ::_exit(77);
        }
        body();
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}

// Without unnamed files, a named staging file stands in.
int withoutUnnamedFiles(const std::function<void()>& body) { return filtered(failUnnamedFiles, body); }
bool unfiltered(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 77; }
constexpr const char* noFilter = "no seccomp filter can take unnamed files away here, so named staging is untested";

void withAndWithoutUnnamedFiles(const std::function<void(const char* how)>& body)
{
    body("with unnamed files");
    const int status = withoutUnnamedFiles([&] { body("without unnamed files"); });
    if (unfiltered(status)) {
        GTEST_SKIP() << noFilter;
    }
    EXPECT_EQ(status, 0) << "failed without unnamed files (see above)";
}

// A staging file never outlives the object, named or not.
TEST(ReplacementFile, StagingFileIsRemovedUnlessCommitted)
{
    withAndWithoutUnnamedFiles([](const char* how) {
        const TempDir dir;
        const std::string target = dir / "userData.txt";
        writeFile(target, "old\n");
        {
            ReplacementFile file(target);
            put(file, "abandoned\n");
        }
        EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"userData.txt"}) << how;
        EXPECT_EQ(readFile(target), "old\n") << how;

        // A name as long as a name can be still leaves room for a staging name.
        for (const std::string& name : {std::string("userData.txt"), std::string(NAME_MAX, 'n')}) {
            ReplacementFile file(dir / name);
            put(file, "new\n");
            (void)file.commit();
            EXPECT_EQ(readFile(dir / name), "new\n") << name.size() << " bytes, " << how;
        }
        EXPECT_EQ(listDirectory(dir.path()).size(), 2U) << how;
    });
}

TEST(ReplacementFile, NamedStagingFileIsRemovedWhenTerminatedBySignal)
{
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGABRT}) {
        const TempDir dir;
        const int status = withoutUnnamedFiles([&] {
            const rlimit noCore{0, 0};
            ::setrlimit(RLIMIT_CORE, &noCore);
            ReplacementFile file(dir / "userData.txt");
            if (listDirectory(dir.path()).size() != 1) {
                ::_exit(2); // the staging file has no name to leave behind
            }
            ::raise(signalNumber);
        });
        if (unfiltered(status)) {
            GTEST_SKIP() << noFilter;
        }
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber)
            << "signal " << signalNumber << ", wait status " << status << " (exit 2: the staging file had no name)";
        EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{}) << "signal " << signalNumber;
    }
}

TEST(ReplacementFile, NewFileGetsWhatOpenGivesItWithOrWithoutUnnamedFiles)
{
    const TempDir dir;
    if (!testing::commandSucceeds({"setfacl", "-m", "d:u::rw,d:g::r,d:o::-,d:u:nobody:rw,d:m::rw", dir.path()})) {
        GTEST_SKIP() << "setfacl is missing or this file system keeps no default ACLs";
    }
    const auto accessOf = [](const std::string& path) {
        return std::make_pair(testing::stateOf(path).mode, testing::attributesOf(path));
    };
    ::close(::open((dir / "plain").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    withAndWithoutUnnamedFiles([&](const char* how) {
        ::unlink((dir / "userData.txt").c_str());
        ReplacementFile file(dir / "userData.txt");
        (void)file.commit();
        EXPECT_EQ(accessOf(dir / "userData.txt"), accessOf(dir / "plain"))
            << how << ": the umask narrowed or widened the ACL";
        EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"plain", "userData.txt"})) << how;
    });
}

// Some file systems say yes to a flag and do not take it: here every
// FS_IOC_SETFLAGS answers 0 and does nothing.
TEST(ReplacementFile, FlagTheNewFileDidNotTakeKeepsTheOldFile)
{
    const TempDir dir;
    const std::string target = dir / "userData.txt";
    writeFile(target, "old\n");
    if (!testing::commandSucceeds({"chattr", "+d", target})) {
        GTEST_SKIP() << "chattr is missing or this file system keeps no nodump flag";
    }
    const ino_t before = testing::stateOf(target).inode;
    const int status = filtered([] { return filterCalls(SYS_ioctl, 1, FS_IOC_SETFLAGS, false, 0); },
                                [&] {
                                    ReplacementFile file(target);
                                    put(file, "new\n");
                                    (void)file.commit();
                                });
    if (unfiltered(status)) {
        GTEST_SKIP() << "no seccomp filter can make the flags fail here";
    }
    EXPECT_EQ(status, 0) << "the run failed (see above)";
    EXPECT_EQ(readFile(target), "new\n");
    EXPECT_EQ(testing::stateOf(target).inode, before) << "replaced by a file without the old file's nodump flag";
    int flags = 0;
    const UniqueFd fd(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_NODUMP_FL) != 0) << "the flag was lost";
}

TEST(ReplacementFile, StagingFileIsPrivateOnEveryPath)
{
    withAndWithoutUnnamedFiles([](const char* how) {
        const TempDir dir;
        writeFile(dir / "userData.txt", "old\n", 0644);
        ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0666), 0);
        // Beside the target, and elsewhere for a FIFO, which is written in place.
        for (const char* target : {"userData.txt", "fifo"}) {
            const std::vector<ino_t> before = openFiles();
            const ReplacementFile file(dir / target);
            int staged = 0;
            for (int fd = 0; fd < 1024; ++fd) {
                struct stat st {};
                if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    std::find(before.begin(), before.end(), st.st_ino) == before.end()) {
                    ++staged;
                    EXPECT_EQ(st.st_mode & 07777, 0600U) << target << ", " << how << ": others may read the content";
                }
            }
            // Without unnamed files, content held aside waits in memory.
            EXPECT_LE(staged, 1) << target << ", " << how << ": the content is staged in two files";
        }
    });
}

} // namespace
} // namespace initHashData

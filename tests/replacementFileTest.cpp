// SPDX-License-Identifier: MIT
#include "replacement/replacementFile.hpp"
#include "fileIo/failure.hpp"
#include "toolRunner.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>

namespace initHashData {
namespace {

using testing::listDirectory;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

void put(const ReplacementFile& file, const std::string& bytes)
{
    ASSERT_EQ(::write(file.fd(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Where unnamed files are missing, a named staging file stands in; it must
// never outlive the object.
TEST(ReplacementFile, NamedStagingFileIsRemovedUnlessCommitted)
{
    const TempDir dir;
    const std::string target = dir / "userData.txt";
    writeFile(target, "old\n");
    {
        ReplacementFile file(target, ReplacementFile::Staging::namedOnly);
        put(file, "abandoned\n");
        EXPECT_EQ(listDirectory(dir.path()).size(), 2U) << "the staging file is visible while in use";
    }
    EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"userData.txt"});
    EXPECT_EQ(readFile(target), "old\n");

    // A name as long as a name can be still leaves room for a staging name.
    for (const std::string& name : {std::string("userData.txt"), std::string(NAME_MAX, 'n')}) {
        for (const auto staging : {ReplacementFile::Staging::namedOnly, ReplacementFile::Staging::unnamedFirst}) {
            ReplacementFile file(dir / name, staging);
            put(file, "new\n");
            file.commit();
            EXPECT_EQ(readFile(dir / name), "new\n") << name.size() << " bytes";
            EXPECT_EQ(listDirectory(dir.path()).size(), name == "userData.txt" ? 1U : 2U);
        }
    }
}

TEST(ReplacementFile, NamedStagingFileIsRemovedWhenTerminatedBySignal)
{
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGABRT}) {
        const TempDir dir;
        const pid_t child = ::fork();
        if (child == 0) {
            const rlimit noCore{0, 0};
            ::setrlimit(RLIMIT_CORE, &noCore);
            ReplacementFile file(dir / "userData.txt", ReplacementFile::Staging::namedOnly);
            ::raise(signalNumber);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << "signal " << signalNumber;
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
        struct stat st {};
        ::stat(path.c_str(), &st);
        std::string acl(256, '\0');
        acl.resize(static_cast<std::size_t>(
            std::max(::getxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size()), ssize_t{0})));
        return std::make_pair(st.st_mode, acl);
    };
    ::close(::open((dir / "plain").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    for (const auto staging : {ReplacementFile::Staging::namedOnly, ReplacementFile::Staging::unnamedFirst}) {
        ::unlink((dir / "userData.txt").c_str());
        ReplacementFile file(dir / "userData.txt", staging);
        file.commit();
        EXPECT_EQ(accessOf(dir / "userData.txt"), accessOf(dir / "plain")) << "the umask narrowed or widened the ACL";
        EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"plain", "userData.txt"}));
    }
}

TEST(ReplacementFile, StagingFileIsPrivateOnEveryPath)
{
    const TempDir dir;
    writeFile(dir / "userData.txt", "old\n", 0644);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0666), 0);
    struct Case {
        const char* what;
        std::string target;
        ReplacementFile::Staging staging;
    };
    const Case cases[] = {
        {"unnamed beside the target", dir / "userData.txt", ReplacementFile::Staging::unnamedFirst},
        {"named beside the target", dir / "userData.txt", ReplacementFile::Staging::namedOnly},
        {"unnamed elsewhere, for a FIFO", dir / "fifo", ReplacementFile::Staging::unnamedFirst},
        {"named elsewhere, for a FIFO", dir / "fifo", ReplacementFile::Staging::namedOnly},
    };
    for (const Case& c : cases) {
        const ReplacementFile file(c.target, c.staging);
        struct stat st {};
        ASSERT_EQ(::fstat(file.fd(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600U) << c.what << ": others may read the content while it is written";
    }
}

} // namespace
} // namespace initHashData

// SPDX-License-Identifier: MIT
#include "pathWalk/pathWalk.hpp"
#include "fileIo/failure.hpp"
#include "toolRunner.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace initHashData {
namespace {

using testing::TempDir;
using testing::writeFile;

ino_t inodeOf(int fd)
{
    struct stat st {};
    ::fstat(fd, &st);
    return st.st_ino;
}

TEST(OutputTarget, FollowsEveryLinkOnTheWayToTheFileOpenWouldWrite)
{
    const TempDir dir;
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    writeFile(dir / "sub/real.txt", "x");
    ASSERT_EQ(::symlink("sub", (dir / "alias").c_str()), 0);
    struct Case {
        const char* what;
        std::string link; // what userData.txt points to; empty: no link
        std::string entry;
        std::string directory;
        bool exists;
    };
    const Case cases[] = {
        {"no link, no file", "", "userData.txt", dir.path(), false},
        {"a relative link", "sub/real.txt", "real.txt", dir / "sub", true},
        {"a link through a linked directory", "alias/real.txt", "real.txt", dir / "sub", true},
        {"a link climbing out and back", "sub/../sub/./real.txt", "real.txt", dir / "sub", true},
        {"an absolute dangling link", dir / "sub/new.txt", "new.txt", dir / "sub", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = dir / "userData.txt";
        ::unlink(name.c_str());
        if (!c.link.empty()) {
            ASSERT_EQ(::symlink(c.link.c_str(), name.c_str()), 0);
        }
        const OutputTarget target = resolveOutputTarget(name);
        EXPECT_EQ(target.entry, c.entry);
        EXPECT_EQ(inodeOf(target.directory.get()), testing::stateOf(c.directory).inode)
            << "the wrong directory is held";
        EXPECT_EQ(target.existing.has_value(), c.exists);
        EXPECT_FALSE(target.throughDescriptorLink);
        EXPECT_EQ(target.directorySyncErrno, 0);
    }
}

TEST(OutputTarget, NamesThatOpenCouldNotWriteAreFailures)
{
    const TempDir dir;
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    writeFile(dir / "file", "x");
    const std::string name = dir / "userData.txt";
    const std::pair<std::string, std::string> cases[] = {
        {"sub/", "Is a directory"},
        {"missing/", "Is a directory"},
        {"file/", "Not a directory"},
        {"missing/x", "No such file or directory"},
        {"file/x", "Not a directory"},
        {"userData.txt", "Too many levels of symbolic links"},
        {".", "Is a directory"},
        {"file/.", "Not a directory"},
        {"missing/.", "No such file or directory"},
    };
    for (const auto& [link, reason] : cases) {
        ::unlink(name.c_str());
        ASSERT_EQ(::symlink(link.c_str(), name.c_str()), 0);
        try {
            (void)resolveOutputTarget(name);
            ADD_FAILURE() << "a link to " << link << " was accepted";
        } catch (const Failure& failure) {
            const std::string message = failure.what();
            EXPECT_EQ(message.substr(message.size() - reason.size()), reason) << message;
        }
    }
}

TEST(OutputTarget, DescriptorLinkToAPipeIsWrittenThroughTheLink)
{
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const TempDir dir;
    const std::string link = "/proc/self/fd/" + std::to_string(ends[1]);
    ASSERT_EQ(::symlink(link.c_str(), (dir / "userData.txt").c_str()), 0);
    const OutputTarget target = resolveOutputTarget(dir / "userData.txt");
    EXPECT_TRUE(target.throughDescriptorLink);
    ASSERT_TRUE(target.existing.has_value());
    EXPECT_TRUE(S_ISFIFO(target.existing->st_mode));
    ::close(ends[0]);
    ::close(ends[1]);
}

} // namespace
} // namespace initHashData

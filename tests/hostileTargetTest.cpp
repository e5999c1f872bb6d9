// SPDX-License-Identifier: MIT
// Runs the built tool where the output is hostile or odd: another user's names
// in a sticky directory, ACLs and attributes, a failed staging link,
// append-only directories and a link to a pipe.
#include "endToEnd.hpp"
#include "fileIo/uniqueFd.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <map>
#include <tuple>

namespace initHashData::testing {
namespace {

struct stat linkStatus(const std::string& path)
{
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st;
}

// What another user plants in the sticky directory, and root's answer.
struct Plant {
    const char* what;
    std::string plant;     // run as nobody in the sticky directory
    std::string rootPlant; // then run as root there
    std::string message;
    std::string input = {}; // the input's name, when not root's own users.txt
    bool midRun = false;    // planted while root's run waits for its input
};

// A sticky world-writable directory such as /tmp, in which user nobody plants
// names for root to trip on, and a directory of root's that nobody may not read.
class StickyDirectory : public EndToEnd {
protected:
    void SetUp() override
    {
        if (!canActAsNobody()) {
            GTEST_SKIP() << "needs root and setpriv to plant files as another user";
        }
        ASSERT_EQ(::mkdir(sticky().c_str(), 0755), 0);
        ASSERT_EQ(::chmod(sticky().c_str(), 01777), 0);
        ASSERT_EQ(::mkdir(path("secret").c_str(), 0700), 0);
        writeFile(path("users.txt"), sampleInput);
    }

    std::string sticky() const { return path("sticky"); }
    std::string victim() const { return path("secret/victim"); }

    void plantAsNobody(const std::string& command)
    {
        std::vector<std::string> planting = asNobodyPrefix;
        planting.insert(planting.end(), {"sh", "-c", "cd \"$0\" && " + command, sticky()});
        ASSERT_TRUE(commandSucceeds(planting)) << command;
    }

    RunResult runInSticky(RunOptions options = {}, const std::string& input = {})
    {
        options.workDir = sticky();
        options.standardInput = (input.empty() ? path("users.txt") : input) + "\n";
        return runTool(options);
    }

    // Plants `c` and runs root's conversion there, which must refuse it and
    // leave the planted name and root's files as they were.
    void expectRefused(const Plant& c)
    {
        ASSERT_TRUE(shell("rm -rf '" + sticky() + "'/* && rm -f '" + path("secret") + "'/*"));
        writeFile(victim(), "ROOTSECRET\n", 0600);
        const TempDir output;
        RunOptions inSticky;
        inSticky.workDir = sticky();
        UniqueFd fifo;
        const pid_t pid = c.midRun ? startOnSlowInput(inSticky, output.path(), fifo, sampleInput.substr(0, 10)) : 0;
        plantAsNobody(c.plant);
        if (!c.rootPlant.empty()) {
            ASSERT_TRUE(shell("cd '" + sticky() + "' && " + c.rootPlant));
        }
        const struct stat planted = linkStatus(sticky() + "/userData.txt");
        const FileState victimBefore = stateOf(victim());
        // A reader on a planted FIFO, so that a tool that writes it does not block but feeds it.
        const UniqueFd reader(S_ISFIFO(planted.st_mode)
                                  ? ::open((sticky() + "/userData.txt").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)
                                  : -1);
        const RunResult result = c.midRun ? finishOnSlowInput(pid, fifo, output.path()) : runInSticky({}, c.input);
        char byte = 0;
        EXPECT_FALSE(reader && ::read(reader.get(), &byte, 1) > 0) << "the records were fed to another user's FIFO";
        EXPECT_EQ(result.exitStatus, 1) << "another user steered root's output";
        EXPECT_EQ(result.standardError, c.message);
        EXPECT_EQ(stateOf(victim()), victimBefore) << "root's private file was written";
        EXPECT_EQ(listDirectory(path("secret")), std::vector<std::string>{"victim"}) << "a file was created";
        const struct stat after = linkStatus(sticky() + "/userData.txt");
        EXPECT_EQ(after.st_ino, planted.st_ino) << "the planted name was replaced";
        EXPECT_EQ(after.st_mode, planted.st_mode);
        EXPECT_EQ(after.st_size, planted.st_size);
    }
};

TEST_F(StickyDirectory, OtherUsersLinksFilesAndFifosAreRefused)
{
    const std::string output = shown(sticky() + "/userData.txt");
    const std::string followMessage = "initHashData: refusing to follow " + output +
                                      ": a symbolic link on its way belongs to another user in a sticky world-writable "
                                      "directory\n";
    const std::string writeMessage = "initHashData: refusing to write " + output +
                                     ": it belongs to another user in a sticky world-writable directory\n";
    const Plant cases[] = {
        {"a link to root's private file", "ln -s " + victim() + " userData.txt", "", followMessage},
        {"a dangling link into root's directory", "ln -s " + path("secret/new") + " userData.txt", "", followMessage},
        {"root's link through another user's link", "ln -s " + path("secret") + " hop", "ln -s hop/victim userData.txt",
         "initHashData: refusing to follow " + output + " (a link to " + shown(sticky() + "/hop/victim") +
             "): a symbolic link on its way belongs to another user in a sticky world-writable directory\n"},
        {"a file open to all", "printf planted >userData.txt && chmod 666 userData.txt", "", writeMessage},
        {"a FIFO", "mkfifo -m 666 userData.txt", "", writeMessage},
        {"a file planted while root's run reads its input", "printf planted >userData.txt && chmod 666 userData.txt",
         "", writeMessage, "", true},
        {"the same, locked for a moment",
         "printf planted >userData.txt && { flock -s userData.txt sleep 1 & } && sleep 0.2", "", writeMessage, "",
         true},
        // Planted by root here; another user can do it where hard-link protection is off.
        {"a second hard link to root's own link", "true",
         "ln -sfn secret/victim ../rootLink && ln -P ../rootLink userData.txt",
         "initHashData: refusing to follow " + output +
             ": a symbolic link on its way has other hard links in a sticky world-writable directory\n"},
        {"another user's link as the input", "ln -s " + victim() + " in.txt", "",
         "initHashData: refusing to follow '" + sticky() +
             "/in.txt': a symbolic link on its way belongs to another "
             "user in a sticky world-writable directory\n",
         sticky() + "/in.txt"},
    };
    for (const Plant& c : cases) {
        SCOPED_TRACE(c.what);
        expectRefused(c);
    }
}

TEST_F(StickyDirectory, OwnLinksAndFilesAreFollowedAndReplaced)
{
    // Root's own link in the sticky directory is followed.
    writeFile(victim(), "ROOTSECRET\n", 0600);
    ASSERT_EQ(::symlink(victim().c_str(), (sticky() + "/userData.txt").c_str()), 0);
    RunResult result = runInSticky();
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(readFile(victim()), sampleOutput) << "root's own link was not followed";
    EXPECT_TRUE(S_ISLNK(linkStatus(sticky() + "/userData.txt").st_mode));

    // A user's own link and own file there work for that user.
    const RunOptions nobody = asNobody();
    ASSERT_TRUE(shell("rm -f '" + sticky() + "/userData.txt'"));
    plantAsNobody("printf old >own.txt && ln -s own.txt userData.txt");
    result = runInSticky(nobody);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(readFile(sticky() + "/own.txt"), sampleOutput);
    ASSERT_TRUE(shell("rm -f '" + sticky() + "/userData.txt'"));
    plantAsNobody("printf old >userData.txt");
    result = runInSticky(nobody);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(readFile(sticky() + "/userData.txt"), sampleOutput);

    // A file of the directory's owner may be replaced by root, and keeps its owner.
    ASSERT_EQ(::chown(sticky().c_str(), nobodyId, nobodyId), 0);
    result = runInSticky();
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(stateOf(sticky() + "/userData.txt").owner, nobodyId);
}

TEST_F(EndToEnd, ReplacementCarriesAclAndAttributes)
{
    writeFile(path("in.txt"), sampleInput);
    writeFile(path("userData.txt"), oldOutput, 0640);
    if (!shell("setfacl -m u:nobody:rw '" + path("userData.txt") + "' 2>/dev/null")) {
        GTEST_SKIP() << "setfacl is missing or this file system keeps no ACLs";
    }
    const std::string target = path("userData.txt");
    ASSERT_EQ(::setxattr(target.c_str(), "user.tag", "keep", 4, 0), 0);
    const bool securityAttributes = ::setxattr(target.c_str(), "security.test", "label", 5, 0) == 0;
    if (isRoot()) {
        ASSERT_EQ(::chown(target.c_str(), 0, 50), 0);
    }
    const FileState before = stateOf(target);
    const auto attributesBefore = attributesOf(target);
    ASSERT_EQ(run("in.txt\n").exitStatus, 0);
    const FileState after = stateOf(target);
    EXPECT_EQ(after.bytes, sampleOutput);
    EXPECT_NE(after.inode, before.inode) << "not replaced by a new file";
    EXPECT_EQ(after.mode, before.mode) << "the ACL mask became the group's bits";
    EXPECT_EQ(after.group, before.group);
    EXPECT_EQ(attributesOf(target), attributesBefore) << "the ACL or an attribute was lost";

    if (!securityAttributes || !canActAsNobody()) {
        GTEST_SKIP() << "the ACL and user attribute were carried; a security attribute, and a user who may not set "
                        "it, need root and setpriv";
    }
    // A security attribute the user may not set stays on the old file, written in place.
    ASSERT_EQ(::chown(target.c_str(), nobodyId, nobodyId), 0);
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    writeFile(target, oldOutput);
    const FileState owned = stateOf(target);
    const auto attributesOwned = attributesOf(target);
    ASSERT_EQ(run("in.txt\n", asNobody()).exitStatus, 0);
    EXPECT_EQ(stateOf(target), (FileState{true, sampleOutput, owned.mode, owned.inode, nobodyId, nobodyId}))
        << "a label the user may not set was lost with the old inode";
    EXPECT_EQ(attributesOf(target), attributesOwned);
}

// Under a default ACL a new file inherits one; the old file had none, so neither does its replacement.
TEST_F(EndToEnd, ReplacementUnderADefaultAclGetsNoAclTheOldFileLacked)
{
    writeFile(path("in.txt"), sampleInput);
    ASSERT_EQ(::mkdir(path("inherits").c_str(), 0755), 0);
    if (!shell("cd '" + path("inherits") +
               "' && setfacl -d -m u:nobody:rwx . && printf old >userData.txt && "
               "setfacl -b userData.txt && chmod 640 userData.txt")) {
        GTEST_SKIP() << "setfacl is missing or this file system keeps no ACLs";
    }
    RunOptions options;
    options.workDir = path("inherits");
    options.standardInput = path("in.txt") + "\n";
    ASSERT_EQ(runTool(options).exitStatus, 0);
    EXPECT_EQ(attributesOf(path("inherits/userData.txt")).count("system.posix_acl_access"), 0U)
        << "an inherited ACL gives user nobody access the old file did not";
    EXPECT_EQ(stateOf(path("inherits/userData.txt")).mode & 07777, 0640U);
}

// What a write leaves on a file besides its bytes: owner, group, mode, the
// attributes (the ACL among them), the inode flags, and the extended flags,
// project id and extent size hints.
using Metadata =
    std::tuple<uid_t, gid_t, mode_t, std::map<std::string, std::string>, int, std::array<std::uint32_t, 4>>;

Metadata metadataOf(const std::string& path)
{
    const FileState state = stateOf(path);
    int flags = 0;
    struct fsxattr extended {};
    if (const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)); fd) {
        ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags);
        ::ioctl(fd.get(), FS_IOC_FSGETXATTR, &extended);
    }
    // Whether a file has attributes at all is the file system's own record.
    const std::uint32_t xflags = extended.fsx_xflags & ~static_cast<std::uint32_t>(FS_XFLAG_HASATTR);
    return {state.owner, state.group,
            state.mode,  attributesOf(path),
            flags,       {xflags, extended.fsx_projid, extended.fsx_extsize, extended.fsx_cowextsize}};
}

// One old file, or none, that the tool and a plain open write side by side.
struct PlainOpenCase {
    const char* what;
    std::string directory;          // run in each side's directory
    std::string file;               // then on the old file, $f, if there is one
    bool asNobody;                  // in the group backup (34), else root
    bool inPlace = false;           // the old file is written in place: only its inode keeps what it has
    std::vector<Fault> faults = {}; // injected into the tool's run
};

class PlainOpen : public EndToEnd {
protected:
    void SetUp() override
    {
        if (!canActAsNobody()) {
            GTEST_SKIP() << "needs root and setpriv to act as another user";
        }
        writeFile(path("in.txt"), sampleInput);
    }

    // Prepares `c` in both directories, writes userData.txt with a plain
    // open in one and with the tool in the other, each through the layer
    // mounted at the `...Through` directory where one is given, and compares
    // what each leaves; false when the case cannot be made here.
    bool compareWithPlainOpen(const PlainOpenCase& c, const std::string& plainDir, const std::string& toolDir,
                              std::string plainThrough = {}, std::string toolThrough = {})
    {
        plainThrough = plainThrough.empty() ? plainDir : plainThrough;
        toolThrough = toolThrough.empty() ? toolDir : toolThrough;
        for (const std::string& work : {plainDir, toolDir}) {
            const std::string prepare = "cd '" + work + "' && " + (c.directory.empty() ? "true" : c.directory) +
                                        (c.file.empty() ? "" : " && f=userData.txt && " + c.file);
            if (!shell(prepare + " 2>/dev/null")) {
                return false;
            }
        }
        if (!c.faults.empty() && !commandSucceeds({"strace", "-o", "/dev/null", "true"})) {
            return false;
        }
        std::vector<std::string> nobodyInBackup = asNobodyPrefix;
        nobodyInBackup.back() = "--groups=34";
        std::vector<std::string> plainOpen = c.asNobody ? nobodyInBackup : std::vector<std::string>{};
        plainOpen.insert(plainOpen.end(), {"sh", "-c", "cd \"$0\" && umask 022 && printf %s \"$1\" >userData.txt",
                                           plainThrough, sampleOutput});
        EXPECT_TRUE(commandSucceeds(plainOpen)) << "a plain open failed";
        RunOptions options = c.asNobody ? asNobody() : RunOptions{};
        if (c.asNobody) {
            options.wrapper = nobodyInBackup;
        }
        if (!c.faults.empty()) {
            options = InjectedFault::inject(c.faults, std::move(options));
        }
        options.workDir = toolThrough;
        options.standardInput = path("in.txt") + "\n";
        options.inherited.umask = 022;
        const ino_t oldInode = stateOf(toolDir + "/userData.txt").inode;
        const RunResult result = runTool(options);
        EXPECT_EQ(result.exitStatus, 0) << result.standardError;
        EXPECT_EQ(stateOf(toolDir + "/userData.txt").inode == oldInode, c.inPlace)
            << (c.inPlace ? "replaced, so what only the old inode kept is lost" : "written in place, not atomically");
        EXPECT_EQ(readFile(toolDir + "/userData.txt"), sampleOutput);
        Metadata plain = metadataOf(plainDir + "/userData.txt");
        // A kernel that measures files rewrites the hash on a write, one that does not keeps a stale one.
        std::get<3>(plain).erase("security.ima");
        EXPECT_EQ(metadataOf(toolDir + "/userData.txt"), plain)
            << "the tool leaves other access, attributes or flags than a plain open and write";
        return true;
    }

    // Runs each case with each side in a directory of its own file system,
    // which `mount` makes and mounts (sh: the mount point "$0", an image "$i").
    // Where it cannot be mounted, the test fails, unless the kernel lacks its type.
    void compareOnFileSystems(const std::string& mount, const std::vector<PlainOpenCase>& cases)
    {
        const LoopMountLock loopMounts;
        ASSERT_EQ(loopMounts.failure(), "");
        std::string unprepared;
        for (const PlainOpenCase& c : cases) {
            SCOPED_TRACE(c.what);
            const Mounted plainSide("i='" + path("plain.img") + "' && " + mount, path("plain"));
            const Mounted toolSide("i='" + path("tool.img") + "' && " + mount, path("tool"));
            for (const Mounted* side : {&plainSide, &toolSide}) {
                if (!side->mounted() && side->unknownType()) {
                    GTEST_SKIP() << "the kernel knows no such file system: " << side->failure();
                }
                ASSERT_TRUE(side->mounted()) << "cannot make and mount the file system: " << side->failure();
            }
            if (!shell("mkdir '" + path("plain/w") + "' '" + path("tool/w") + "'") ||
                !compareWithPlainOpen(c, path("plain/w"), path("tool/w"))) {
                unprepared += std::string(" ") + c.what + ";";
            }
        }
        if (!unprepared.empty()) {
            GTEST_SKIP() << "this file system or machine cannot make:" << unprepared;
        }
    }
};

TEST_F(PlainOpen, ReplacementLeavesWhatAPlainOpenLeaves)
{
    const auto keepingNothing = [](const char* call) {
        Fault fault(call, "", "1+");
        fault.retval = "0";
        return std::vector<Fault>{fault};
    };
    const std::string daemonsFile =
        "printf old >$f && chown daemon:daemon $f && chmod 640 $f && setfattr -n user.tag -v keep $f";
    const PlainOpenCase cases[] = {
        {"a new file under a default ACL", "setfacl -m d:u::rw,d:g::r,d:o::---,d:u:nobody:rw,d:m::rw .", "", false},
        {"a new file in a set-group-ID directory", "chgrp 34 . && chmod 2775 .", "", false},
        {"another user's file that the caller's group may write", "chmod 777 .",
         "printf old >$f && chown daemon:backup $f && chmod 660 $f", true, true},
        {"another user's file that an ACL lets the caller write", "chmod 777 .",
         "printf old >$f && chown daemon $f && chmod 600 $f && setfacl -m u:nobody:rw $f", true, true},
        {"sync, nodump and noatime flags", "", "printf old >$f && chattr +S +d +A $f", false},
        {"capabilities and an integrity hash", "",
         "printf old >$f && chmod 4755 $f && setcap cap_net_raw+ep $f && setfattr -n security.ima -v 0x01 $f", false},
        {"the caller's own set-ID file", "chmod 777 .", "printf old >$f && chown nobody:nogroup $f && chmod 6755 $f",
         true},
        {"an attribute its owner may not read", "chmod 777 .",
         "printf old >$f && setfattr -n user.tag -v keep $f && chown nobody:nogroup $f && chmod 200 $f", true, true},
        // A layer that answers with success and keeps nothing, or lists no attributes: only a read-back tells.
        {"a chown that keeps nothing", "", daemonsFile, false, true, keepingNothing("fchown")},
        {"a chmod that keeps nothing", "", daemonsFile, false, true, keepingNothing("fchmod")},
        {"an attribute set that keeps nothing", "", daemonsFile, false, true, keepingNothing("fsetxattr")},
        {"attributes that cannot be listed", "", daemonsFile, false, true, {{"flistxattr", "EOPNOTSUPP", "1+"}}},
    };
    std::string unprepared;
    int caseNumber = 0;
    for (const PlainOpenCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string work = path("case" + std::to_string(++caseNumber));
        ASSERT_TRUE(shell("mkdir -m 755 '" + work + "' '" + work + "/plain' '" + work + "/tool'"));
        if (!compareWithPlainOpen(c, work + "/plain", work + "/tool")) {
            unprepared += std::string(" ") + c.what + ";";
        }
    }
    if (!unprepared.empty()) {
        GTEST_SKIP() << "this file system or machine cannot make:" << unprepared;
    }
}

TEST_F(PlainOpen, Ext4ReplacementKeepsEveryFlagAndTrustedAttribute)
{
    compareOnFileSystems(
        "truncate -s 16M \"$i\" && mkfs.ext4 -q -F \"$i\" && mount -o loop \"$i\" \"$0\"",
        {
            {"a trusted attribute, in root's run", "", "printf old >$f && setfattr -n trusted.tag -v keep $f", false},
            {"secure deletion", "", "printf old >$f && chattr +s $f", false},
            {"undeletion", "", "printf old >$f && chattr +u $f", false},
            {"no tail merging", "", "printf old >$f && chattr +t $f", false},
        });
}

TEST_F(PlainOpen, XfsReplacementKeepsProjectIdDaxAndExtentSizeHints)
{
    if (toolCommand().size() > 1) {
        GTEST_SKIP() << "qemu-user passes on no FS_IOC_FSGETXATTR: an emulated tool sees no project ids or hints";
    }
    compareOnFileSystems(
        "truncate -s 300M \"$i\" && mkfs.xfs -q -f \"$i\" && mount -o loop \"$i\" \"$0\"",
        {
            {"a project id and DAX", "", "printf old >$f && xfs_io -c 'chproj 42' -c 'chattr +x' $f", false},
            {"the filestream flag", "", "printf old >$f && xfs_io -c 'chattr +S' $f", false},
            {"no filestream flag, in a directory that gives it", "xfs_io -c 'chattr +S' .",
             "printf old >$f && xfs_io -c 'chattr -S' $f", false},
            {"extent size hints, set while empty", "",
             "touch $f && xfs_io -c 'extsize 1m' -c 'cowextsize 2m' $f && printf old >>$f", false},
            {"another project id than its project-inheriting directory gives", "xfs_io -c 'chproj 7' -c 'chattr +P' .",
             "printf old >$f && xfs_io -c 'chproj 42' $f", false, true},
        });
}

TEST_F(PlainOpen, BtrfsReplacementKeepsCompressionAndNoCopyOnWrite)
{
    compareOnFileSystems(
        "truncate -s 300M \"$i\" && mkfs.btrfs -q -f \"$i\" && mount -o loop \"$i\" \"$0\"",
        {
            {"zstd compression", "", "printf old >$f && btrfs property set $f compression zstd", false},
            {"no copy-on-write, set while empty", "", "touch $f && chattr +C $f && printf old >>$f", false},
        });
}

// A layer (FUSE, a network file system) that hides attributes, or says yes
// to chown or chmod and keeps nothing: each side is written through it, and
// prepared and compared underneath.
TEST_F(PlainOpen, LayerThatHidesOrIgnoresMetadataLeavesWhatAPlainOpenLeaves)
{
    const std::pair<const char*, PlainOpenCase> layers[] = {
        {"-o xattr-none",
         {"an ACL and attribute the layer hides", "",
          "printf old >$f && chown root:daemon $f && chmod 640 $f && setfacl -m g::-,u:nobody:r,m::r $f && "
          "setfattr -n user.origin -v keep $f",
          false, true}},
        {"--chown-ignore",
         {"an owner the layer does not give", "", "printf old >$f && chown daemon:daemon $f", false, true}},
        {"--chmod-ignore", {"a mode the layer does not give", "", "printf old >$f && chmod 640 $f", false, true}},
        {"--perms=a+rX", {"a mode the layer shows wider", "", "printf old >$f && chmod 600 $f", false, true}},
        {"--force-user=daemon --force-group=daemon",
         {"an owner the layer shows as another", "", "printf old >$f && chown nobody:nogroup $f && chmod 600 $f", false,
          true}},
    };
    std::string unprepared;
    for (const auto& [options, c] : layers) {
        SCOPED_TRACE(c.what);
        const std::string work = path(std::string("layer") + options);
        ASSERT_TRUE(shell("mkdir -p '" + work + "/plain' '" + work + "/tool'"));
        const Mounted plainLayer("bindfs " + std::string(options) + " '" + work + "/plain' \"$0\"",
                                 work + "/plainLayer");
        const Mounted toolLayer("bindfs " + std::string(options) + " '" + work + "/tool' \"$0\"", work + "/toolLayer");
        if (!plainLayer.mounted() || !toolLayer.mounted() ||
            !compareWithPlainOpen(c, work + "/plain", work + "/tool", work + "/plainLayer", work + "/toolLayer")) {
            unprepared += std::string(" ") + c.what + ";";
        }
    }
    if (!unprepared.empty()) {
        GTEST_SKIP() << "needs bindfs and FUSE for:" << unprepared;
    }
}

TEST_F(PlainOpen, TmpfsShortOfInodesIsWrittenWhereAPlainWriteIs)
{
    compareOnFileSystems("mount -t tmpfs -o size=1m,nr_inodes=4 tmpfs \"$0\"",
                         {{"a new file, with one inode left", "touch taken", "", false},
                          {"an old file, with no inode left", "touch taken", "printf old >$f", false, true}});
}

TEST_F(InjectedFault, SignalDuringAFailedStagingLinkRemovesNothingAndWaitsForTheRename)
{
    // The staging link fails as if another run held the name, and SIGTERM arrives just then.
    const TempDir traceDir;
    const RunResult result =
        run("in.txt\n", straced(traceDir / "trace", {"unlink", "unlinkat"}, {{"linkat", "EEXIST", 1, "SIGTERM"}}));
    EXPECT_EQ(result.signal, SIGTERM);
    std::ifstream trace(traceDir / "trace");
    for (std::string line; std::getline(trace, line);) {
        EXPECT_EQ(line.rfind("unlink", 0), std::string::npos) << "removed a name that was not ours: " << line;
    }
    EXPECT_EQ(readFile(path("userData.txt")), sampleOutput) << "a signal ended the run while a staging name lived";
    EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"in.txt", "userData.txt"}));
}

// Takes the append-only flag off a directory again, so that it can be removed.
struct AppendOnlyUndone {
    std::string directory;
    ~AppendOnlyUndone() { commandSucceeds({"chattr", "-a", directory}); }
};

// Without statx (an older kernel, a seccomp filter), the directory's inode flags tell.
const std::vector<Fault> withoutStatx = {{"statx", "ENOSYS", "1+"}};

TEST_F(InjectedFault, AppendOnlyDirectoryIsWrittenWithoutLeftovers)
{
    const std::string work = path("appendOnly");
    ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
    writeFile(work + "/userData.txt", oldOutput);
    if (!commandSucceeds({"chattr", "+a", work})) {
        GTEST_SKIP() << "chattr +a needs root and a file system with inode flags";
    }
    const AppendOnlyUndone undo{work};
    for (const bool statx : {true, false}) {
        SCOPED_TRACE(statx ? "with statx" : "without statx");
        RunOptions options = statx ? RunOptions{} : inject(withoutStatx);
        options.workDir = work;
        options.standardInput = path("in.txt") + "\n";
        writeFile(work + "/userData.txt", oldOutput);
        const FileState before = stateOf(work + "/userData.txt");
        const RunResult result = runTool(options);
        EXPECT_EQ(result.exitStatus, 0) << "the rename out of an append-only directory was tried: "
                                        << result.standardError;
        EXPECT_EQ(stateOf(work + "/userData.txt").inode, before.inode) << "not written in place";
        EXPECT_EQ(readFile(work + "/userData.txt"), sampleOutput);
        EXPECT_EQ(listDirectory(work), std::vector<std::string>{"userData.txt"}) << "a staging file was left behind";
    }

    // A new file is linked under its name at once: nothing to rename or remove.
    const std::string fresh = path("appendOnlyEmpty");
    ASSERT_EQ(::mkdir(fresh.c_str(), 0755), 0);
    ASSERT_TRUE(commandSucceeds({"chattr", "+a", fresh}));
    const AppendOnlyUndone undoFresh{fresh};
    RunOptions options;
    options.workDir = fresh;
    options.standardInput = path("in.txt") + "\n";
    const RunResult result = runTool(options);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(readFile(fresh + "/userData.txt"), sampleOutput);
    EXPECT_EQ(listDirectory(fresh), std::vector<std::string>{"userData.txt"});
}

// Its user may write but not read it, and so cannot ask for its flags
// (without statx, cannot learn them at all).
TEST_F(InjectedFault, AppendOnlyDirectoryItsUserMayNotReadIsWrittenWithoutLeftovers)
{
    if (!canActAsNobody()) {
        GTEST_SKIP() << "needs root and setpriv to act as another user";
    }
    const std::string work = path("blind");
    ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
    writeFile(work + "/userData.txt", oldOutput);
    ASSERT_EQ(::chown(work.c_str(), nobodyId, nobodyId) | ::chown((work + "/userData.txt").c_str(), nobodyId, nobodyId),
              0);
    ASSERT_EQ(::chmod(work.c_str(), 0333), 0);
    const AppendOnlyUndone undo{work};
    if (!commandSucceeds({"chattr", "+a", work})) {
        GTEST_SKIP() << "chattr +a needs a file system with inode flags";
    }
    for (const bool statx : {true, false}) {
        SCOPED_TRACE(statx ? "with statx" : "without statx");
        RunOptions options = statx ? asNobody() : inject(withoutStatx, asNobody());
        options.workDir = work;
        options.standardInput = path("in.txt") + "\n";
        writeFile(work + "/userData.txt", oldOutput);
        const RunResult result = runTool(options);
        EXPECT_EQ(result.exitStatus, 0) << result.standardError;
        EXPECT_EQ(readFile(work + "/userData.txt"), sampleOutput);
        EXPECT_EQ(listDirectory(work), std::vector<std::string>{"userData.txt"}) << "a staging name cannot be removed";
    }
}

TEST_F(EndToEnd, DirectoryMadeAppendOnlyDuringARunIsWrittenInPlace)
{
    const std::string work = path("late");
    ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
    writeFile(work + "/userData.txt", oldOutput);
    const TempDir output;
    RunOptions options;
    options.workDir = work;
    UniqueFd fifo;
    const pid_t pid = startOnSlowInput(options, output.path(), fifo, sampleInput.substr(0, 10));
    const AppendOnlyUndone undo{work};
    if (!commandSucceeds({"chattr", "+a", work})) {
        fifo.reset();
        finishTool(pid, output.path());
        GTEST_SKIP() << "chattr +a needs root and a file system with inode flags";
    }
    const RunResult result = finishOnSlowInput(pid, fifo, output.path());
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(readFile(work + "/userData.txt"), sampleOutput);
    EXPECT_EQ(listDirectory(work), std::vector<std::string>{"userData.txt"}) << "a staging name cannot be removed";
}

// Something done to the output while the run waits for the rest of its input.
struct MidRunChange {
    const char* what;
    std::string change; // sh, in the directory
    int status;
    std::string bytes; // what userData.txt then reads as
    mode_t mode;
    std::string message = {};
    std::string old = "printf old >userData.txt && chmod 600 userData.txt"; // sh, before the run
    bool asNobody = false; // the run's user, whose own the old file then is
};

TEST_F(EndToEnd, OutputChangedDuringARunIsDecidedAgainForWhatIsThereNow)
{
    const MidRunChange changes[] = {
        {"removed: made as open() makes a new file", "rm userData.txt", 0, sampleOutput, 0644},
        {"another file put in its place: replaced with that file's mode",
         "printf x >x && chmod 640 x && mv x userData.txt", 0, sampleOutput, 0640},
        {"a link to another file put in its place: refused", "printf victim >v && ln -sfn v userData.txt", 1, "victim",
         0644,
         "initHashData: cannot replace " + shown(path("userData.txt")) +
             ": another file took its place during the run\n"},
        {"a FIFO it was to feed removed: made as a new file", "rm userData.txt", 0, sampleOutput, 0644, "",
         "mkfifo userData.txt"},
        // Last, as the rows after it would be skipped with it.
        {"the user's own file it may not write put in its place: refused",
         "printf theirs >x && chmod 444 x && chown 65534:65534 x && mv x userData.txt", 1, "theirs", 0444,
         "initHashData: cannot write " + shown(path("userData.txt")) + ": Permission denied\n",
         "printf old >userData.txt && chmod 600 userData.txt && chown 65534:65534 userData.txt", true},
    };
    for (const MidRunChange& c : changes) {
        SCOPED_TRACE(c.what);
        if (c.asNobody && !canActAsNobody()) {
            GTEST_SKIP() << "needs root and setpriv to run as an unprivileged user";
        }
        ASSERT_TRUE(shell("cd '" + dir.path() + "' && rm -f userData.txt v && " + c.old));
        const TempDir output;
        RunOptions options = c.asNobody ? asNobody() : RunOptions{};
        options.workDir = dir.path();
        UniqueFd fifo;
        const pid_t pid = startOnSlowInput(options, output.path(), fifo, sampleInput.substr(0, 10));
        ASSERT_TRUE(shell("cd '" + dir.path() + "' && " + c.change));
        const RunResult result = finishOnSlowInput(pid, fifo, output.path());
        EXPECT_EQ(result.exitStatus, c.status) << result.standardError;
        EXPECT_EQ(result.standardError, c.message);
        const FileState after = stateOf(path("userData.txt"));
        EXPECT_EQ(after.bytes, c.bytes) << "written as decided for the file that was there before";
        EXPECT_EQ(after.mode & 0777, c.mode) << "given the mode of the file that was there before";
    }
}

TEST_F(EndToEnd, LinkToStandardOutputWritesThroughThePipe)
{
    writeFile(path("in.txt"), sampleInput);
    ASSERT_EQ(::symlink("/dev/stdout", path("userData.txt").c_str()), 0);
    RunOptions piped;
    piped.wrapper = {"bash", "-c", "set -o pipefail; \"$0\" \"$@\" | cat"};
    const RunResult result = run("in.txt\n", piped);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, sampleOutput) << "the records did not reach the pipe";
    EXPECT_TRUE(S_ISLNK(linkStatus(path("userData.txt")).st_mode));
}

} // namespace
} // namespace initHashData::testing

// SPDX-License-Identifier: MIT
// Runs the built tool where the machine fails it: a full disk, failing system
// calls in the middle of an in-place write, too few descriptors, a directory
// that cannot be synced and broken standard streams.
#include "endToEnd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace initHashData::testing {
namespace {

// What the tool's run is wrapped in besides acting as nobody.
// madeJustBefore: root makes the old file anew, in the same mount, as XFS
// then keeps the room it takes ahead of the end at a later close.
enum class Around { nothing, statfsFails, tmpTakesNoFiles, madeJustBefore };

// The in-place case on a nearly full file system: the old userData.txt in a
// directory of root's, written by user nobody.
struct NearlyFullCase {
    const char* what;
    std::string makeFileSystem; // sh, on the image "$0"
    std::string setUp;          // sh, in the directory: the old file, then the fill
    int records;                // the input: usersText(records)
    Around around = Around::nothing;
    std::string note = {}; // what a refusal says it could not put back
};

// Shell, in the directory: an old userData.txt of `bytes` bytes of root's,
// then `more`, then back to the file system's top.
std::string old(int bytes, const std::string& more)
{
    return "head -c " + std::to_string(bytes) + " /dev/zero | tr '\\0' o >userData.txt && " + more + " && cd .. && ";
}

// Shell: fills the disk, in large writes, then in small ones, and frees about `kib` KiB.
std::string leaving(int kib)
{
    return "for b in 64k 1k; do dd if=/dev/zero of=fill$b bs=$b 2>/dev/null; sync; done; truncate -s -" +
           std::to_string(kib) + "K fill64k";
}

std::vector<NearlyFullCase> nearlyFullCases()
{
    const std::string ext2 = "truncate -s 8M \"$0\" && mkfs.ext2 -q -F -b 1024 -m 0 \"$0\"";
    const std::string ext4 = "truncate -s 16M \"$0\" && mkfs.ext4 -q -F -b 1024 -m 0 \"$0\"";
    const std::string btrfs = "truncate -s 300M \"$0\" && mkfs.btrfs -q -f \"$0\"";
    const std::string xfs = "truncate -s 300M \"$0\" && mkfs.xfs -q -f \"$0\"";
    // Blocks kept back for user nobody, who runs the tool.
    const std::string ext4KeptForNobody = ext4 + " && tune2fs -r 2048 -u 65534 \"$0\" >/dev/null";
    const std::string untilRefused = "i=0; while fallocate -l 8M f$i 2>/dev/null; do i=$((i+1)); done; "
                                     "while fallocate -l 256K f$i 2>/dev/null; do i=$((i+1)); done";
    const std::string holes = "truncate -s 75000 userData.txt && head -c 36000 /dev/zero | tr '\\0' o >>userData.txt";
    const std::string leadingHole =
        "truncate -s 4M userData.txt && head -c 4M /dev/zero | tr '\\0' o >>userData.txt && "
        "chmod 666 userData.txt";
    const std::string quotaDirectory = "cd .. && rmdir w && btrfs subvolume create w >/dev/null && chmod 755 w && "
                                       "btrfs quota enable . && cd w && ";
    const std::string setUid = "chmod 4666 userData.txt";
    const std::string nobodys = "chown nobody userData.txt && " + setUid;
    // clang-format off
    return {
        {"btrfs: every overwritten block needs a new extent", btrfs, old(1388890, "chmod 666 userData.txt") + untilRefused, 40000},
        {"ext2: the old file's holes need blocks", ext2, old(35000, holes + " && chmod 666 userData.txt") + leaving(30), 2600},
        {"ext4: the same, where a reservation would fill the holes", ext4, old(0, leadingHole) + leaving(300), 30000},
        {"btrfs: a quota that overwriting would use up", btrfs, quotaDirectory + old(8000000, "chmod 666 userData.txt") +
         "sync && btrfs quota rescan -w . >/dev/null && btrfs qgroup limit 10M w", 230000},
        {"ext4: a growth that does not fit", ext4, old(63490, setUid) + leaving(20), 2900},
        {"ext2: no room to grow at all", ext2, old(64000, setUid) + leaving(0), 20000},
        {"ext4: unchecked room, a reservation that fails part-way", ext4, old(63490, setUid) + leaving(20), 2900,
         Around::statfsFails, "; the attempt cleared its set-user-ID bit"},
        {"ext4: the same for the file's owner", ext4, old(63490, nobodys) + leaving(20), 2900, Around::statfsFails},
        {"ext4: another user's file, staged beside it first", ext4, old(3290, "chmod 666 userData.txt && chmod 777 .") +
         leaving(80), 2000},
        {"ext4: a growth that fits only in the blocks kept for the user", ext4KeptForNobody, old(63490, "chmod 666 userData.txt") + "fallocate -l $(($(stat -f -c '%a*%S' .) - 20480)) fill", 2900},
        {"xfs: a growth, which takes room ahead of the end", xfs, old(8000, "chmod 666 userData.txt") + "true", 600000, Around::madeJustBefore},
        {"ext4 with room, and a /tmp that takes no files", ext4, old(66890, "chmod 666 userData.txt") + "true", 2000,
         Around::tmpTakesNoFiles},
    };
    // clang-format on
}

// What a refused run must leave as it was: the old file and its blocks; and
// what it puts back where it may: mode and time.
struct DiskState {
    std::string bytes;
    blkcnt_t blocks = 0;
    mode_t mode = 0;
    long long mtime = 0;
};

DiskState diskStateOf(const std::string& file)
{
    struct stat st {};
    ::stat(file.c_str(), &st);
    return {readFile(file).value_or(""), st.st_blocks, st.st_mode,
            st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
}

// The in-place case made twice from one image, a plain open and write on one
// copy, the tool on the other, each as user nobody.
class NearlyFullDisk : public InjectedFault {
protected:
    void SetUp() override
    {
        InjectedFault::SetUp();
        if (!IsSkipped() && !canActAsNobody()) {
            GTEST_SKIP() << "needs root and setpriv to mount file systems and write them as another user";
        }
        if (!IsSkipped() && !loopMounts_.failure().empty()) {
            FAIL() << loopMounts_.failure();
        }
    }

    // Makes the case's file system, nearly full, in the image both runs copy;
    // false where it cannot, a failure unless the kernel lacks its type.
    bool make(const NearlyFullCase& c)
    {
        if (!commandSucceeds({"sh", "-c", c.makeFileSystem + " >/dev/null 2>&1", path("kept.img")})) {
            ADD_FAILURE() << "cannot make the file system: " << c.makeFileSystem;
            return false;
        }
        const Mounted disk(loopMount(path("kept.img")), path("disk"));
        if (!disk.mounted()) {
            EXPECT_TRUE(disk.unknownType()) << "cannot loop-mount the new image: " << disk.failure();
            return false;
        }
        const bool filled =
            ::mkdir(path("disk/w").c_str(), 0755) == 0 && shell("cd '" + path("disk/w") + "' && " + c.setUp);
        EXPECT_TRUE(filled) << "cannot fill the file system: " << c.setUp;
        return filled;
    }

    // Runs `options` in a fresh copy of the image; the old file's state
    // around the run; none where the copy cannot be mounted.
    std::optional<RunResult> runOnCopy(RunOptions options, DiskState& before, DiskState& after)
    {
        EXPECT_TRUE(commandSucceeds({"cp", "--sparse=always", path("kept.img"), path("run.img")}));
        const Mounted disk(loopMount(path("run.img")), path("disk"));
        if (!disk.mounted()) {
            ADD_FAILURE() << "cannot loop-mount a copy of the image: " << disk.failure();
            return std::nullopt;
        }
        options.workDir = path("disk/w");
        options.standardInput = path("in.txt") + "\n";
        before = diskStateOf(path("disk/w/userData.txt"));
        RunResult result = runTool(options);
        after = diskStateOf(path("disk/w/userData.txt"));
        return result;
    }

    RunOptions toolOptions(Around around)
    {
        RunOptions options = asNobody();
        if (around == Around::madeJustBefore) {
            options.wrapper.insert(
                options.wrapper.begin(),
                {"sh", "-c", "rm userData.txt && printf old >userData.txt && chmod 666 userData.txt && exec \"$@\"",
                 "sh"});
        } else if (around == Around::statfsFails) {
            options = inject({{"fstatfs", "ENOSYS", "1+"}}, std::move(options));
        } else if (around == Around::tmpTakesNoFiles) {
            // A read-only /tmp, but for the directories the run needs, mounted over it as they are.
            const std::string script = "for d in \"$1\" \"$2\"; do mount --rbind \"$d\" \"$d\" || exit 126; done && "
                                       "mount --rbind /tmp /tmp && mount -o remount,bind,ro /tmp && shift 2 && "
                                       "exec \"$@\"";
            const std::string& tool = options.tool->back();
            options.wrapper.insert(options.wrapper.begin(), {"unshare", "-m", "sh", "-c", script, "sh", dir.path(),
                                                             tool.substr(0, tool.rfind('/'))});
        }
        return options;
    }

    void compareWithPlainWrite(const NearlyFullCase& c)
    {
        writeFile(path("in.txt"), usersText(c.records));
        writeFile(path("expected.txt"), convertedUsersText(c.records));
        RunOptions plain = asNobody();
        plain.tool = {"dd", "if=" + path("expected.txt"), "of=userData.txt", "bs=64k", "conv=fsync", "status=none"};
        DiskState before;
        DiskState after;
        const std::optional<RunResult> plainRun = runOnCopy(plain, before, after);
        const std::string plainBytes = after.bytes;
        const blkcnt_t plainBlocks = after.blocks;
        const std::optional<RunResult> toolRun = plainRun ? runOnCopy(toolOptions(c.around), before, after) : plainRun;
        if (!toolRun) {
            return;
        }
        const RunResult& result = *toolRun;
        if (plainRun->exitStatus == 0) {
            EXPECT_EQ(result.exitStatus, 0) << "a plain write succeeds here: " << result.standardError;
            EXPECT_TRUE(after.bytes == plainBytes) << "the tool leaves other content than a plain write";
            EXPECT_LE(after.blocks, plainBlocks + plainBlocks / 10) << "the file keeps room a plain write gives back";
            return;
        }
        EXPECT_EQ(result.exitStatus, 1) << "a plain write fails here, so the tool must change nothing";
        EXPECT_EQ(result.standardError, "initHashData: cannot write " + shown(path("disk/w/userData.txt")) +
                                            ": No space left on device" + c.note + "\n");
        EXPECT_TRUE(after.bytes == before.bytes) << "the old content changed";
        EXPECT_EQ(after.blocks, before.blocks) << "blocks that a refused run reserved stay taken";
        // A bit the run cannot put back is named in its message.
        EXPECT_EQ(after.mode, before.mode & ~(c.note.empty() ? 0U : S_ISUID)) << "the mode changed";
        if (c.note.empty()) {
            EXPECT_EQ(after.mtime, before.mtime) << "the time was not put back";
        }
    }

private:
    LoopMountLock loopMounts_;
};

TEST_F(NearlyFullDisk, SucceedsWhereAPlainWriteDoesAndElseChangesNothing)
{
    std::string unknown;
    for (const NearlyFullCase& c : nearlyFullCases()) {
        SCOPED_TRACE(c.what);
        if (!make(c)) {
            unknown += std::string(" ") + c.what + ";";
            continue;
        }
        compareWithPlainWrite(c);
    }
    if (!unknown.empty() && !HasFailure()) {
        GTEST_SKIP() << "the kernel knows no file system for:" << unknown;
    }
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

// `output`: the old file as messages show it.
std::vector<InPlaceFault> inPlaceFaults(const std::string& output)
{
    const std::string longOld = std::string(4000, 'o') + ":1:kept:intact\n";
    const std::string noSpace = "cannot write " + output + ": No space left on device";
    const std::string ioError = "cannot write " + output + ": Input/output error";
    const std::string damaged = output + " is damaged: ";
    // clang-format off
    return {
        {"no space to reserve", oldOutput, {{"fallocate", "ENOSPC", 1}}, 1, noSpace},
        // Without a reservation, the file grows before old bytes are overwritten.
        {"growing fails", oldOutput, {{"fallocate", "EOPNOTSUPP", 1}, {"write", "ENOSPC", 1}}, 1, noSpace},
        {"overwriting after growing fails", oldOutput, {{"fallocate", "EOPNOTSUPP", 1}, {"write", "EIO", 2}}, 1,
         ioError},
        {"the first write fails", oldOutput, {{"write", "EIO", 1}}, 1, ioError},
        // Out of room while overwriting, it ends as a plain open would: emptied, then written whole.
        {"overwriting runs out of room", oldOutput, {{"write", "ENOSPC", 1}}, 0, ""},
        {"writing it whole runs out of room too", oldOutput, {{"write", "ENOSPC", "1..2"}}, 2,
         damaged + "writing it in place failed part-way: No space left on device"},
        {"shrinking fails after overwriting", longOld, {{"ftruncate", "EIO", 1}}, 2,
         damaged + "writing it in place failed part-way: Input/output error"},
        {"syncing fails after overwriting", oldOutput, {{"fsync", "EIO", 2}}, 2,
         damaged + "the in-place write could not be synced: Input/output error"},
        // Growth alone changes the file too: an empty one is written wholly past its old end.
        {"syncing fails after growing an empty file", "", {{"fallocate", "EOPNOTSUPP", 1}, {"fsync", "EIO", 2}}, 2,
         damaged + "the in-place write could not be synced: Input/output error"},
        {"SIGTERM arrives as overwriting begins", oldOutput, {{"write", "", 1, "SIGTERM"}}, 0, ""},
    };
    // clang-format on
}

TEST_F(InjectedFault, InPlaceWriteEndsWholeOrSaysWhetherOldBytesSurvive)
{
    // The in-place path is forced by a rename that cannot cross devices; a
    // row's writes are counted from the first into the old file itself.
    const Fault noRename("renameat", "EXDEV", ordinalOf("renameat", ""));
    const int writesBefore = ordinalOf("write", "/userData.txt>", {noRename}) - 1;
    for (const InPlaceFault& c : inPlaceFaults(shown(path("userData.txt")))) {
        SCOPED_TRACE(c.what);
        writeFile(path("userData.txt"), c.old);
        std::vector<Fault> faults = c.faults;
        for (Fault& fault : faults) {
            // "1" or "1..2" (not "1+": a sanitizer's own writes would fail too).
            const auto dots = fault.when.find("..");
            if (fault.syscall == "write") {
                fault.when = std::to_string(std::stoi(fault.when) + writesBefore) +
                             (dots == std::string::npos
                                  ? ""
                                  : ".." + std::to_string(std::stoi(fault.when.substr(dots + 2)) + writesBefore));
            }
        }
        faults.push_back(noRename);
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

// Empties and removes the memory cgroups "$@" and the groups in them: kills
// what is left in them and waits for it to leave.
constexpr const char* removeGroups =
    "gone() { for cg; do for p in $(cat \"$cg\"/*/cgroup.procs 2>/dev/null); do kill -9 $p; done; n=0; "
    "while [ -d \"$cg\" ] && [ $((n += 1)) -le 200 ]; do rmdir \"$cg\"/*/ \"$cg\" 2>/dev/null || sleep 0.05; done; "
    "done; }; ";

// A memory cgroup (v2, else v1) named for this process and the object (a
// watcher of the last one may still look at its name), limited to `limit`
// in `limitFile` (a v2 name: memory.max is memory.limit_in_bytes in v1), with
// two groups in it, "bystander" and "tool", for the test's processes. It is
// removed with them when the object goes, or by a watcher once this process
// is gone (a signal that ends it, a kill -9); groups left by test processes
// that are gone are removed before it is made.
class MemoryCgroup {
public:
    MemoryCgroup(const std::string& limit, const std::string& limitFile)
    {
        const std::string make =
            std::string(removeGroups) +
            "me=$3; if grep -qw memory /sys/fs/cgroup/cgroup.controllers 2>/dev/null; "
            "then v2=yes parent=/sys/fs/cgroup; "
            "else v2=no parent=/sys/fs/cgroup/memory$(sed -n 's/^[0-9]*:memory://p' /proc/self/cgroup); fi; "
            "for old in \"$parent\"/initHashDataTest*; do p=${old##*Test}; p=${p%.*}; "
            "  { [ -d /proc/$p ] && [ $p != $me ]; } || gone \"$old\"; done; "
            "cg=$parent/initHashDataTest$me.$4; if [ $v2 = yes ]; then echo +memory >$parent/cgroup.subtree_control && "
            "  mkdir $cg && echo $0 >$cg/$2 && { echo 0 >$cg/memory.swap.max || true; } && "
            "  echo +memory >$cg/cgroup.subtree_control; "
            "else [ $2 = memory.max ] && mkdir $cg && echo $0 >$cg/memory.limit_in_bytes && "
            "  { echo $0 >$cg/memory.memsw.limit_in_bytes || true; }; fi 2>/dev/null && "
            "mkdir $cg/bystander $cg/tool && printf %s $cg >\"$1\" || exit 1; "
            "{ trap '' HUP INT TERM; while [ -d /proc/$me ] && [ -d $cg ]; do sleep 1; done; gone $cg; } &";
        const TempDir scratch;
        static int made = 0;
        if (commandSucceeds({"sh", "-c", make, limit, scratch / "cg", limitFile, std::to_string(::getpid()),
                             std::to_string(++made)})) {
            path_ = readFile(scratch / "cg").value_or("");
        }
    }
    MemoryCgroup(const MemoryCgroup&) = delete;
    MemoryCgroup& operator=(const MemoryCgroup&) = delete;
    ~MemoryCgroup()
    {
        if (!path_.empty()) {
            commandSucceeds({"sh", "-c", std::string(removeGroups) + "gone \"$0\"", path_});
        }
    }
    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
};

// The output written in place by user nobody, in a 400 MiB memory cgroup
// beside a process that holds 300 MiB (perl builds its string twice): with
// the temporary directories as they are, full disks (which leave only
// memory), disks in memory, or a disk with room for the content but not for
// what it spares others.
TEST_F(EndToEnd, InPlaceContentUnderAMemoryLimitCostsNoBystanderItsLife)
{
    struct Case {
        const char* what;
        int mebibytes;     // of content
        std::string setup; // sh, in the tool's group, before the tool runs
        int status;
        const char* limitFile = "memory.max";
    };
    const std::string line = "user:" + hashOf("pass") + ":1000:Some Name\n";
    const std::string fullDisks = "mount -o loop $work/var.img /var/tmp && chmod 1777 /var/tmp && over -o loop "
                                  "$work/tmp.img && fill /tmp /var/tmp";
    const Case cases[] = {
        {"the temporary directories as they are", 768, "", 0},
        {"every temporary directory a full disk", 768, fullDisks, 1},
        {"full disks, memory.high the limit", 768, fullDisks, 1, "memory.high"},
        {"full disks, the group's memory taken by page cache, which can be reclaimed", 8,
         fullDisks + " && head -c 300M /dev/zero >$work/cache", 0},
        // A twentieth of a 2 GiB disk is over its 64 MiB least.
        {"/tmp full, /var/tmp with room for the content but not for the twentieth of itself it spares", 256,
         "mount -o loop $work/big.img /var/tmp && chmod 1777 /var/tmp && over -o loop $work/tmp.img && fill /tmp && "
         "fallocate -l $(($(df -B1 --output=avail /var/tmp | tail -n 1) - " +
             std::to_string((256L << 20) / line.size() * line.size() + (82L << 20)) + ")) /var/tmp/fill",
         1},
        {"tmpfs over /tmp and /var/tmp", 256, "mount -t tmpfs tmpfs /var/tmp && over -t tmpfs tmpfs", 1},
    };
    const LoopMountLock loopMounts;
    if (!canActAsNobody() || MemoryCgroup("400M", "memory.max").path().empty()) {
        GTEST_SKIP() << "needs root, setpriv and a memory cgroup controller (v2 or v1) to make a limited group in";
    }
    ASSERT_TRUE(shell("cd '" + dir.path() + "' && mkdir -m 755 w && truncate -s 2G big.img && " +
                      "mkfs.ext4 -q -F -m 0 big.img && " +
                      "for i in var tmp; do truncate -s 4M $i.img && mkfs.ext2 -q -F -m 0 $i.img; done"));
    // In its own mount namespace, as root: the bystander started in a group of
    // its own, then the rest in the tool's group, the temporary directories
    // as "$1" sets them up (over mounts one over /tmp and the test's
    // directories under /tmp back), then the tool; the limit is on the group
    // that holds both.
    const std::string script =
        "cg=$0 setup=$1 work=$2 tools=$3; shift 3; "
        "over() { mount --rbind /tmp /mnt && mount \"$@\" /tmp && chmod 1777 /tmp && "
        "  for d in \"$work\" \"$tools\"; do mkdir -p \"$d\" && mount --bind \"/mnt/${d#/tmp/}\" \"$d\"; done; }; "
        "fill() { for d; do dd if=/dev/zero of=$d/fill bs=64k 2>/dev/null; done; true; }; "
        "sh -c 'echo $$ >\"$0/bystander/cgroup.procs\" && exec perl -e \"\\$x = q(b) x (150 << 20); "
        "open(F, q(>), \\$ARGV[0]) and close F; sleep 600\" \"$1/ready\"' \"$cg\" \"$work\" & b=$!; "
        "while [ ! -e \"$work/ready\" ]; do kill -0 $b || exit 125; sleep 0.1; done; "
        "echo $$ >\"$cg/tool/cgroup.procs\" && eval \"$setup\" || exit 125; "
        "\"$@\"; s=$?; kill -0 $b && touch \"$work/alive\"; exit $s";
    int lines = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const MemoryCgroup cgroup("400M", c.limitFile);
        if (cgroup.path().empty()) {
            EXPECT_STRNE(c.limitFile, "memory.max") << "no memory cgroup: the last one's processes never left";
            std::cout << "skipped \"" << c.what << "\": " << c.limitFile << " is a cgroup v2 file, and this "
                      << "machine's memory controller is v1\n";
            continue;
        }
        if (const int wanted = (c.mebibytes << 20) / static_cast<int>(line.size()); wanted != lines) {
            lines = wanted;
            ASSERT_TRUE(shell("yes 'user:pass:1000:Some Name' | head -n " + std::to_string(lines) + " >'" +
                              path("in.txt") + "'"));
        }
        writeFile(path("w/userData.txt"), "old\n", 0666);
        ::unlink(path("ready").c_str());
        ::unlink(path("alive").c_str());
        RunOptions options = asNobody();
        const std::string& tool = options.tool->back();
        options.wrapper.insert(options.wrapper.begin(), {"unshare", "-m", "sh", "-c", script, cgroup.path(), c.setup,
                                                         dir.path(), tool.substr(0, tool.rfind('/'))});
        options.workDir = path("w");
        options.standardInput = "../in.txt\n";
        const RunResult result = runTool(options);
        EXPECT_TRUE(readFile(path("alive"))) << "the bystander was killed: the run took memory that was not its own";
        if (c.status == 0) {
            EXPECT_EQ(result.exitStatus, 0) << "there was room, yet: " << result.standardError;
            EXPECT_TRUE(shell("cd '" + path("w") + "' && yes '" + line.substr(0, line.size() - 1) + "' | head -n " +
                              std::to_string(lines) + " | cmp -s - userData.txt"))
                << "the output is not the conversion";
        } else {
            EXPECT_EQ(result.exitStatus, 1) << "killed, or holding more than the limit lets it";
            EXPECT_EQ(result.standardError, "initHashData: cannot hold in memory the new content of " +
                                                shown(path("w/userData.txt")) + ": Cannot allocate memory\n");
            EXPECT_TRUE(readFile(path("w/userData.txt")) == "old\n") << "the old file changed";
        }
    }
}

TEST_F(EndToEnd, TooFewDescriptorsFailBeforeAnythingChanges)
{
    RunOptions trial;
    trial.inherited.openFileLimit = 4;
    const std::string clean =
        "initHashData: cannot open " + shown(path("missing.txt")) + ": No such file or directory\n";
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

TEST_F(InjectedFault, FifoSwappedForAFileAsItIsOpenedIsNotWritten)
{
    // The run is held up as it opens the FIFO it is to feed, and a file takes the name meanwhile.
    ::unlink(path("userData.txt").c_str());
    ASSERT_EQ(::mkfifo(path("userData.txt").c_str(), 0666), 0);
    const UniqueFd reader(::open(path("userData.txt").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    Fault slow("openat", "", ordinalOf("openat", "\"userData.txt\", O_WRONLY"));
    slow.delayEnter = "1000000";
    const TempDir output;
    RunOptions options = straced(output / "trace", {"openat"}, {slow});
    options.workDir = dir.path();
    options.standardInput = "in.txt\n";
    const pid_t pid = startTool(options, output.path());
    for (int wait = 0;
         wait < 500 && readFile(output / "trace").value_or("").find("\"userData.txt\", O_WRONLY") == std::string::npos;
         ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::unlink(path("userData.txt").c_str());
    writeFile(path("userData.txt"), oldOutput);
    const RunResult result = finishTool(pid, output.path());
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.standardError, "initHashData: cannot replace " + shown(path("userData.txt")) +
                                        ": another file took its place during the run\n");
    EXPECT_EQ(readFile(path("userData.txt")), oldOutput) << "the content meant for the FIFO went into another file";
}

// A run killed while a staging name of its lives leaves the name behind; the
// next run removes it, whatever owner it had taken, but leaves another
// user's file of that name where others may add names, and a live run's.
class LeftoverStaging : public InjectedFault {
protected:
    // Starts a run held up by `faults`, or on the slow input; once it is
    // held, kills it (strace's child) with SIGKILL.
    void killHeldUp(std::vector<Fault> faults, bool onSlowInput)
    {
        const TempDir output;
        RunOptions options = straced(output / "trace", {}, faults);
        options.workDir = dir.path();
        options.standardInput = "in.txt\n";
        UniqueFd fifo;
        const pid_t started =
            onSlowInput ? startOnSlowInput(options, output.path(), fifo, "a:b") : startTool(options, output.path());
        const std::string heldAt = faults.front().syscall + "(";
        for (int wait = 0;
             wait < 500 && !onSlowInput && readFile(output / "trace").value_or("").find(heldAt) == std::string::npos;
             ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const std::string tracer = std::to_string(started);
        ::kill(std::stoi(readFile("/proc/" + tracer + "/task/" + tracer + "/children").value_or("0")), SIGKILL);
        fifo.reset();
        finishTool(started, output.path());
    }

    // The names in the directory beside in.txt, userData.txt and the slow input.
    std::vector<std::string> leftovers()
    {
        std::vector<std::string> names;
        for (const std::string& name : listDirectory(dir.path())) {
            if (name != "in.txt" && name != "userData.txt" && name != "slow.fifo") {
                names.push_back(name);
            }
        }
        return names;
    }
};

TEST_F(LeftoverStaging, IsRemovedByTheNextRunUnlessAnotherUserCouldHavePutItThereLinkedTwiceOrALiveRuns)
{
    if (!canActAsNobody() || !shell("setfacl -m u:daemon:rw '" + path("userData.txt") + "' 2>/dev/null")) {
        GTEST_SKIP() << "needs root and setpriv to give a leftover to another user, and setfacl and ACLs";
    }
    Fault betweenLinkAndRename("renameat", "", 1);
    betweenLinkAndRename.delayEnter = "2000000";
    // On the slow input, whose name is as long as in.txt's in full.
    const Fault noUnnamedFiles("openat", "EOPNOTSUPP", ordinalOf("openat", "O_TMPFILE", {}, path("in.txt")));
    const struct {
        const char* what;
        bool named;
        const char* oldFile; // sh, in the directory
        uid_t leftoverOwner;
    } cases[] = {
        {"killed before its rename, the staging file given another user's owner and ACL already", false,
         "chown nobody userData.txt && chmod 664 userData.txt && setfacl -m u:daemon:rw userData.txt", nobodyId},
        {"killed before its rename", false, "true", 0},
        {"staged under a name from the start, killed while converting", true, "true", 0},
    };
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0); // root's alone to add names to
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(path("userData.txt"), oldOutput);
        ASSERT_TRUE(shell("cd '" + dir.path() + "' && " + c.oldFile));
        killHeldUp({c.named ? noUnnamedFiles : betweenLinkAndRename}, c.named);
        ASSERT_EQ(leftovers().size(), 1U) << "the killed run left no staging name to remove";
        EXPECT_EQ(stateOf(path(leftovers().at(0))).owner, c.leftoverOwner);
        if (!c.named) {
            ::unlink(path("userData.txt").c_str()); // a new file takes no staging name of its own
        }
        EXPECT_EQ(run("in.txt\n").exitStatus, 0);
        ASSERT_EQ(leftovers(), std::vector<std::string>{})
            << "the next run left the staging file of a killed one, or one that took the old file's owner in a "
               "directory where no other user may add names";
    }
    // In a sticky world-writable directory another user's file of that name
    // stays, and so does a live run's staging file, also where both runs
    // lock it with classic POSIX locks.
    ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
    killHeldUp({betweenLinkAndRename}, false);
    const std::string foreign = leftovers().at(0);
    ASSERT_EQ(::chown(path(foreign).c_str(), nobodyId, nobodyId), 0);
    // So does a leftover that a second hard link still reaches.
    killHeldUp({betweenLinkAndRename}, false);
    std::vector<std::string> kept = leftovers();
    ASSERT_EQ(kept.size(), 2U)
        << "the killed run left no staging name to link, or removed another user's file in a sticky directory";
    ASSERT_EQ(::link(path(kept.at(kept.at(0) == foreign ? 1 : 0)).c_str(), path("linked").c_str()), 0);
    kept = leftovers();
    for (const bool classicLocks : {false, true}) {
        SCOPED_TRACE(classicLocks ? "classic locks" : "open file description locks");
        const TempDir liveOutput;
        UniqueFd fifo;
        RunOptions liveRun = inject({noUnnamedFiles});
        liveRun.workDir = dir.path();
        RunOptions nextRun;
        if (classicLocks) {
            liveRun.inherited.refusedCalls = nextRun.inherited.refusedCalls = descriptorLocksRefused();
        }
        const pid_t live = startOnSlowInput(liveRun, liveOutput.path(), fifo, "a:b");
        const std::vector<std::string> staged = leftovers();
        EXPECT_EQ(staged.size(), kept.size() + 1) << "the live run took no staging name";
        const int nextStatus = run("in.txt\n", nextRun).exitStatus;
        EXPECT_EQ(leftovers(), staged) << "a live run's staging file or another user's file was removed";
        fifo.reset();
        EXPECT_EQ(finishTool(live, liveOutput.path()).exitStatus, 0) << "the live run lost its staging file";
        if (nextStatus == unfilteredStatus) {
            GTEST_SKIP() << "no seccomp filter can refuse descriptor locks here, so classic locks are untested";
        }
        EXPECT_EQ(nextStatus, 0);
        EXPECT_EQ(leftovers(), kept) << "another user's file in a sticky directory, or a staging file that another "
                                        "name still reaches, was removed";
    }
}

// On overlayfs, opening a lower file for writing copies it up for good: a
// run that fails at its last step must not have done so.
TEST_F(InjectedFault, FailedRunOnOverlayfsCopiesNothingUp)
{
    ASSERT_TRUE(shell("cd '" + dir.path() + "' && mkdir lower upper work merged && mv userData.txt in.txt lower/"));
    const Mounted overlay("mount -t overlay overlay -o lowerdir='" + path("lower") + "',upperdir='" + path("upper") +
                              "',workdir='" + path("work") + "' \"$0\"",
                          path("merged"));
    if (!overlay.mounted()) {
        GTEST_SKIP() << "cannot mount an overlayfs here";
    }
    RunOptions options = inject({{"fsync", "EIO", 1}});
    options.workDir = path("merged");
    options.standardInput = "in.txt\n";
    const RunResult result = runTool(options);
    EXPECT_EQ(result.exitStatus, 1) << result.standardError;
    EXPECT_EQ(listDirectory(path("upper")), std::vector<std::string>{}) << "the old file was copied up";
    EXPECT_EQ(readFile(path("merged/userData.txt")), oldOutput);
}

TEST_F(InjectedFault, DirectorySyncFailureAfterTheRenameWarnsAndSucceeds)
{
    const RunResult result = run("in.txt\n", inject({{"fsync", "EIO", 2}}));
    EXPECT_EQ(result.exitStatus, 0) << "the new content is in place, yet the run reported failure";
    EXPECT_EQ(result.standardError, "initHashData: warning: replaced " + shown(path("userData.txt")) +
                                        ", but cannot sync its directory " + shown(dir.path()) +
                                        ", so a crash may bring back the old file: Input/output error\n");
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

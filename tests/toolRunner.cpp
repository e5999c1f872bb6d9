// SPDX-License-Identifier: MIT
#include "toolRunner.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace initHashData::testing {

TempDir::TempDir()
{
    std::string pattern = "/tmp/initHashDataTest.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
    ::chmod(path_.c_str(), 0777);
}

TempDir::~TempDir()
{
    ::nftw(
        path_.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) {
            ::remove(path);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

void writeFile(const std::string& path, const std::string& bytes, mode_t mode)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    ::chmod(path.c_str(), mode);
}

FileState stateOf(const std::string& path)
{
    FileState state;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        state = {true, readFile(path).value_or(""), st.st_mode, st.st_ino, st.st_uid, st.st_gid};
    }
    return state;
}

std::map<std::string, std::string> attributesOf(const std::string& path)
{
    std::map<std::string, std::string> attributes;
    std::string names(65536, '\0');
    const ssize_t size = ::llistxattr(path.c_str(), names.data(), names.size());
    for (std::size_t begin = 0; size > 0 && begin < static_cast<std::size_t>(size);) {
        const std::string name = names.c_str() + begin;
        begin += name.size() + 1;
        std::string value(65536, '\0');
        const ssize_t length = ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
        value.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
        attributes[name] = value;
    }
    return attributes;
}

std::optional<std::string> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::vector<std::string> listDirectory(const std::string& path)
{
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool filterCalls(long syscall, std::uint32_t argument, std::uint32_t value, bool anyBit, int errnum)
{
#if defined(__x86_64__)
    constexpr std::uint32_t arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr std::uint32_t arch = AUDIT_ARCH_AARCH64;
#else
    return false;
#endif
    const auto lowWord = static_cast<std::uint32_t>(offsetof(seccomp_data, args)) + 8 * argument;
    const std::uint16_t test = anyBit ? BPF_JSET : BPF_JEQ;
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(syscall), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, lowWord),
        BPF_JUMP(static_cast<std::uint16_t>(BPF_JMP | test | BPF_K), value, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(errnum)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

std::vector<std::string> toolCommand()
{
    const char* configured = std::getenv("INITHASHDATA_TOOL");
    if (configured == nullptr || *configured == '\0') {
        return {BUILT_TOOL};
    }
    std::vector<std::string> words;
    std::istringstream text(configured);
    for (std::string word; text >> word;) {
        words.push_back(word);
    }
    return words;
}

namespace {

// In a forked child: runs `command` in place of the process.
[[noreturn]] void execCommand(const std::vector<std::string>& command)
{
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}

void setLimit(int resource, std::optional<unsigned long> value)
{
    if (value) {
        const rlimit limit{*value, *value};
        ::setrlimit(resource, &limit);
    }
}

// In a forked child: gives the process what the options say it inherits.
void inherit(const RunOptions::Inherited& inherited)
{
    setLimit(RLIMIT_FSIZE, inherited.fileSizeLimit);
    setLimit(RLIMIT_AS, inherited.addressSpaceLimit);
    setLimit(RLIMIT_NOFILE, inherited.openFileLimit);
    for (const int stream : inherited.brokenPipes) {
        int ends[2];
        if (::pipe(ends) != 0 || ::dup2(ends[1], stream) < 0) {
            ::_exit(126);
        }
        ::close(ends[0]);
        ::close(ends[1]);
    }
    if (inherited.umask) {
        ::umask(*inherited.umask);
    }
    for (const RefusedCalls& refused : inherited.refusedCalls) {
        if (!filterCalls(refused.syscall, refused.argument, refused.value, refused.anyBit, refused.errnum)) {
            ::_exit(unfilteredStatus);
        }
    }
}

} // namespace

pid_t startTool(const RunOptions& options, const std::string& outputDir)
{
    writeFile(outputDir + "/stdin", options.standardInput);
    std::vector<std::string> command = options.wrapper;
    const std::vector<std::string> tool = options.tool.value_or(toolCommand());
    command.insert(command.end(), tool.begin(), tool.end());
    command.insert(command.end(), options.arguments.begin(), options.arguments.end());

    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    const auto redirect = [](const std::string& path, int flags, int target) {
        const int fd = ::open(path.c_str(), flags, 0644);
        if (fd < 0 || ::dup2(fd, target) < 0) {
            ::_exit(126);
        }
        ::close(fd);
    };
    redirect(outputDir + "/stdin", O_RDONLY, STDIN_FILENO);
    redirect(outputDir + "/stdout", O_WRONLY | O_CREAT | O_TRUNC, STDOUT_FILENO);
    redirect(outputDir + "/stderr", O_WRONLY | O_CREAT | O_TRUNC, STDERR_FILENO);
    // The tool starts with the three standard streams only, whatever the test runner left open.
    ::close_range(3, ~0U, 0);
    if (::chdir(options.workDir.c_str()) != 0) {
        ::_exit(126);
    }
    inherit(options.inherited);
    for (const std::string& setting : options.environment) {
        const auto equals = setting.find('=');
        ::setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
    }
    execCommand(command);
}

RunResult finishTool(pid_t pid, const std::string& outputDir)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    RunResult result;
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    result.standardOutput = readFile(outputDir + "/stdout").value_or("");
    result.standardError = readFile(outputDir + "/stderr").value_or("");
    return result;
}

RunResult runTool(const RunOptions& options)
{
    const TempDir outputDir;
    return finishTool(startTool(options, outputDir.path()), outputDir.path());
}

bool commandSucceeds(const std::vector<std::string>& command)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        execCommand(command);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace initHashData::testing

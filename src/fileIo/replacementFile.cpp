#include "fileIo/replacementFile.hpp"

#include "fileIo/failure.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <utility>

namespace initHashData {

namespace {

constexpr int maxSymlinkHops = 40;
constexpr mode_t newFileMode = 0666;

// The staged name to remove if a signal ends the run; a signal handler can
// only reach it through static storage.
std::array<char, 4096> pendingName{};
volatile std::sig_atomic_t pendingArmed = 0;

extern "C" void removePendingAndDie(int signalNumber)
{
    if (pendingArmed != 0) {
        ::unlink(pendingName.data());
    }
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

void armPending(const std::string& name) noexcept
{
    pendingArmed = 0;
    if (name.size() >= pendingName.size()) {
        return;
    }
    std::memcpy(pendingName.data(), name.c_str(), name.size() + 1);
    static const bool installed = [] {
        for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction action {};
            action.sa_handler = removePendingAndDie;
            sigemptyset(&action.sa_mask);
            struct sigaction previous {};
            // A signal the caller chose to ignore stays ignored.
            if (::sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
                ::sigaction(signalNumber, &action, nullptr);
            }
        }
        return true;
    }();
    (void)installed;
    pendingArmed = 1;
}

void disarmPending() noexcept { pendingArmed = 0; }

std::string directoryOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string baseNameOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows `name` through symbolic links to the file a plain open would write.
std::string resolveLinks(const std::string& name, std::optional<struct stat>& existing)
{
    std::string path = name;
    for (int hop = 0;; ++hop) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT) {
                existing.reset();
                return path;
            }
            throw systemFailure("cannot write", path, errno);
        }
        if (!S_ISLNK(st.st_mode)) {
            existing = st;
            return path;
        }
        if (hop == maxSymlinkHops) {
            throw systemFailure("cannot write", name, ELOOP);
        }
        std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
        if (length < 0) {
            throw systemFailure("cannot write", path, errno);
        }
        link.resize(static_cast<std::size_t>(length));
        path = link.front() == '/' ? link : directoryOf(path) + "/" + link;
    }
}

std::string randomSuffix()
{
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        static std::uint64_t counter = 0;
        bits = (static_cast<std::uint64_t>(::getpid()) << 32) ^ ++counter;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

void syncDirectory(const std::string& directory)
{
    const UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Some file systems cannot sync a directory and say so with EINVAL.
    if (!fd || (::fsync(fd.get()) != 0 && errno != EINVAL)) {
        throw systemFailure("cannot sync directory", directory, errno);
    }
}

} // namespace

ReplacementFile::ReplacementFile(const std::string& name, Staging staging)
{
    target_ = resolveLinks(name, existing_);
    directory_ = directoryOf(target_);
    if (existing_) {
        if (S_ISDIR(existing_->st_mode)) {
            throw systemFailure("cannot write", target_, EISDIR);
        }
        // Refuse what a plain open for writing would refuse, before any work.
        if (::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) {
            throw systemFailure("cannot write", target_, errno);
        }
        // Renaming over a device or FIFO would replace the node, not feed it.
        inPlace_ = !S_ISREG(existing_->st_mode);
    }
    int errnum = 0;
    if (!inPlace_) {
        errnum = stageIn(directory_, staging);
        // The directory is closed to us, the file is not: stage elsewhere and
        // write the file in place once the content is complete.
        inPlace_ = existing_ && (errnum == EACCES || errnum == EPERM || errnum == EROFS);
    }
    if (inPlace_) {
        errnum = stageIn(P_tmpdir, staging);
    }
    if (errnum != 0) {
        throw systemFailure("cannot create", target_, errnum);
    }
}

ReplacementFile::~ReplacementFile() { removeStagedName(); }

int ReplacementFile::stageIn(const std::string& directory, Staging staging)
{
    if (staging == Staging::unnamedFirst) {
        staging_.reset(::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, newFileMode));
        if (staging_) {
            return 0;
        }
        // Older kernels and some file systems lack unnamed files.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return errno;
        }
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = directory + "/." + baseNameOf(target_) + "." + randomSuffix();
        armPending(name);
        staging_.reset(::open(name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, newFileMode));
        if (staging_) {
            stagedName_ = std::move(name);
            return 0;
        }
        const int errnum = errno;
        disarmPending();
        if (errnum != EEXIST) {
            return errnum;
        }
    }
    return EEXIST;
}

void ReplacementFile::linkStaged()
{
    const std::string procPath = "/proc/self/fd/" + std::to_string(staging_.get());
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = directory_ + "/." + baseNameOf(target_) + "." + randomSuffix();
        armPending(name);
        int linked = ::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
        if (linked != 0 && errno == ENOENT) {
            // Without /proc: the same, for processes allowed to link by descriptor.
            linked = ::linkat(staging_.get(), "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
        }
        if (linked == 0) {
            stagedName_ = std::move(name);
            return;
        }
        disarmPending();
        if (errno != EEXIST) {
            throw systemFailure("cannot create", target_, errno);
        }
    }
    throw systemFailure("cannot create", target_, EEXIST);
}

void ReplacementFile::commit()
{
    if (inPlace_) {
        replaceInPlace();
        return;
    }
    if (::fsync(staging_.get()) != 0) {
        throw systemFailure("cannot sync", target_, errno);
    }
    if (existing_) {
        const struct stat& old = *existing_;
        // Only root may give a file away; others keep the owner they are.
        if ((old.st_uid != ::geteuid() || old.st_gid != ::getegid()) &&
            ::fchown(staging_.get(), old.st_uid, old.st_gid) != 0 && errno != EPERM) {
            throw systemFailure("cannot set the owner of", target_, errno);
        }
        if (::fchmod(staging_.get(), old.st_mode & 07777) != 0) {
            throw systemFailure("cannot set the permissions of", target_, errno);
        }
    }
    if (stagedName_.empty()) {
        linkStaged();
    }
    if (::rename(stagedName_.c_str(), target_.c_str()) != 0) {
        const int errnum = errno;
        removeStagedName();
        // A bind-mounted target cannot be renamed over, only written.
        if (existing_ && (errnum == EBUSY || errnum == EXDEV)) {
            replaceInPlace();
            return;
        }
        throw systemFailure("cannot replace", target_, errnum);
    }
    stagedName_.clear();
    disarmPending();
    syncDirectory(directory_);
}

void ReplacementFile::replaceInPlace()
{
    struct stat staged {};
    if (::fstat(staging_.get(), &staged) != 0) {
        throw systemFailure("cannot write", target_, errno);
    }
    UniqueFd out(::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
    if (!out) {
        throw systemFailure("cannot write", target_, errno);
    }
    const bool regular = existing_ && S_ISREG(existing_->st_mode);
    // Reserve the space first: a full disk then fails before the old content is touched.
    if (regular && staged.st_size > 0 && ::fallocate(out.get(), FALLOC_FL_KEEP_SIZE, 0, staged.st_size) != 0 &&
        errno != EOPNOTSUPP) {
        throw systemFailure("cannot write", target_, errno);
    }
    off_t offset = 0;
    while (offset < staged.st_size) {
        const ssize_t sent =
            ::sendfile(out.get(), staging_.get(), &offset, static_cast<std::size_t>(staged.st_size - offset));
        if (sent == 0) {
            throw systemFailure("cannot write", target_, EIO);
        }
        if (sent < 0 && errno != EINTR) {
            throw systemFailure("cannot write", target_, errno);
        }
    }
    if (regular && ::ftruncate(out.get(), staged.st_size) != 0) {
        throw systemFailure("cannot write", target_, errno);
    }
    if (::fsync(out.get()) != 0 && errno != EINVAL) {
        throw systemFailure("cannot sync", target_, errno);
    }
    if (::close(out.release()) != 0) {
        throw systemFailure("cannot write", target_, errno);
    }
}

void ReplacementFile::removeStagedName() noexcept
{
    disarmPending();
    if (!stagedName_.empty()) {
        ::unlink(stagedName_.c_str());
        stagedName_.clear();
    }
}

} // namespace initHashData

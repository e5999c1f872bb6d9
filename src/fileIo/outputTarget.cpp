// SPDX-License-Identifier: MIT
#include "fileIo/outputTarget.hpp"

#include "fileIo/failure.hpp"

#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <deque>

namespace initHashData {

namespace {

constexpr int maxSymlinkHops = 40;
constexpr long procFileSystemMagic = 0x9fa0;

std::deque<std::string> componentsOf(const std::string& path)
{
    std::deque<std::string> components;
    std::size_t begin = 0;
    while (begin <= path.size()) {
        std::size_t end = path.find('/', begin);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string component = path.substr(begin, end - begin);
        if (!component.empty() && component != ".") {
            components.push_back(std::move(component));
        }
        begin = end + 1;
    }
    return components;
}

// The kernel's sticky-directory hardening protects exactly these directories.
bool isStickyWorldWritable(const struct stat& directory)
{
    return (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & S_IWOTH) != 0;
}

bool ownedByUsOrDirectoryOwner(const struct stat& directory, const struct stat& file)
{
    return file.st_uid == ::geteuid() || file.st_uid == directory.st_uid;
}

struct stat statusOf(int fd, const std::string& displayName)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        throw systemFailure("cannot write", displayName, errno);
    }
    return st;
}

UniqueFd openDirectory(int at, const char* name, const std::string& displayName)
{
    UniqueFd fd(::openat(at, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        throw systemFailure("cannot write", displayName, errno);
    }
    return fd;
}

std::string readLinkAt(int directory, const std::string& entry, const struct stat& link, const std::string& displayName)
{
    std::string text(static_cast<std::size_t>(link.st_size > 0 ? link.st_size : 255) + 1, '\0');
    for (;;) {
        const ssize_t length = ::readlinkat(directory, entry.c_str(), text.data(), text.size());
        if (length < 0) {
            throw systemFailure("cannot write", displayName, errno);
        }
        if (static_cast<std::size_t>(length) < text.size()) {
            text.resize(static_cast<std::size_t>(length));
            return text;
        }
        // Links in /proc report no size; grow until the text fits.
        text.resize(text.size() * 2);
    }
}

bool onProcFileSystem(int directory)
{
    struct statfs fs {};
    return ::fstatfs(directory, &fs) == 0 && fs.f_type == procFileSystemMagic;
}

// Whether a descriptor's link in /proc leads where its text says: a pipe or a
// deleted file has text that is no path to it.
bool linkTextNamesItsObject(int directory, const std::string& entry, const std::string& text)
{
    struct stat viaLink {};
    struct stat viaText {};
    return !text.empty() && text.front() == '/' && ::fstatat(directory, entry.c_str(), &viaLink, 0) == 0 &&
           ::stat(text.c_str(), &viaText) == 0 && viaLink.st_dev == viaText.st_dev && viaLink.st_ino == viaText.st_ino;
}

} // namespace

std::string directoryOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

void checkMayWriteExisting(const struct stat& directory, const struct stat& file, const std::string& displayName)
{
    if ((S_ISREG(file.st_mode) || S_ISFIFO(file.st_mode)) && isStickyWorldWritable(directory) &&
        !ownedByUsOrDirectoryOwner(directory, file)) {
        throw Failure("refusing to write " + quoteName(displayName) +
                      ": it belongs to another user in a sticky world-writable directory");
    }
}

OutputTarget resolveOutputTarget(const std::string& name)
{
    OutputTarget target;
    target.displayName = name;
    std::deque<std::string> pending = componentsOf(name);
    bool mustBeDirectory = !name.empty() && name.back() == '/';
    UniqueFd directory = openDirectory(AT_FDCWD, !name.empty() && name.front() == '/' ? "/" : ".", name);
    int hops = 0;
    std::optional<std::string> entry;
    while (!pending.empty()) {
        std::string component = std::move(pending.front());
        pending.pop_front();
        const bool last = pending.empty();
        if (component == "..") {
            if (last) {
                break;
            }
            directory = openDirectory(directory.get(), "..", target.displayName);
            continue;
        }
        struct stat st {};
        if (::fstatat(directory.get(), component.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT && last && !mustBeDirectory) {
                entry = std::move(component);
                break;
            }
            throw systemFailure("cannot write", target.displayName, errno == ENOENT && last ? EISDIR : errno);
        }
        if (!S_ISLNK(st.st_mode)) {
            if (last) {
                target.existing = st;
                entry = std::move(component);
                break;
            }
            if (!S_ISDIR(st.st_mode)) {
                throw systemFailure("cannot write", target.displayName, ENOTDIR);
            }
            directory = openDirectory(directory.get(), component.c_str(), target.displayName);
            continue;
        }
        const struct stat directoryStatus = statusOf(directory.get(), target.displayName);
        if (isStickyWorldWritable(directoryStatus) && !ownedByUsOrDirectoryOwner(directoryStatus, st)) {
            throw Failure("refusing to follow " + quoteName(target.displayName) +
                          ": a symbolic link on its way belongs to another user in a sticky world-writable "
                          "directory");
        }
        if (++hops > maxSymlinkHops) {
            throw systemFailure("cannot write", target.displayName, ELOOP);
        }
        const std::string text = readLinkAt(directory.get(), component, st, target.displayName);
        if (text.empty()) {
            throw systemFailure("cannot write", target.displayName, ENOENT);
        }
        if (onProcFileSystem(directory.get()) && !linkTextNamesItsObject(directory.get(), component, text)) {
            if (!last) {
                directory.reset(::openat(directory.get(), component.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (!directory) {
                    throw systemFailure("cannot write", target.displayName, errno);
                }
                continue;
            }
            // A pipe or socket behind /dev/stdout and the like: open() writes through the link.
            struct stat object {};
            if (::fstatat(directory.get(), component.c_str(), &object, 0) != 0) {
                throw systemFailure("cannot write", target.displayName, errno);
            }
            target.existing = object;
            target.throughDescriptorLink = true;
            entry = std::move(component);
            break;
        }
        if (last) {
            const auto slash = target.displayName.rfind('/');
            target.displayName = text.front() == '/' || slash == std::string::npos
                                     ? text
                                     : target.displayName.substr(0, slash + 1) + text;
            mustBeDirectory = text.back() == '/';
        }
        std::deque<std::string> spliced = componentsOf(text);
        pending.insert(pending.begin(), spliced.begin(), spliced.end());
        if (text.front() == '/') {
            directory = openDirectory(AT_FDCWD, "/", target.displayName);
        }
        if (pending.empty()) {
            // The link names a directory itself ("/", ".").
            break;
        }
    }
    if (!entry || (mustBeDirectory && target.existing && S_ISDIR(target.existing->st_mode))) {
        throw systemFailure("cannot write", target.displayName, EISDIR);
    }
    if (mustBeDirectory && target.existing) {
        throw systemFailure("cannot write", target.displayName, ENOTDIR);
    }
    target.entry = std::move(*entry);
    target.directoryStatus = statusOf(directory.get(), target.displayName);
    if (target.existing && !target.throughDescriptorLink) {
        checkMayWriteExisting(target.directoryStatus, *target.existing, target.displayName);
    }
    // Opened now, before anything changes, so that a lack of descriptors fails the run early.
    target.directory.reset(::openat(directory.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!target.directory) {
        if (errno != EACCES) {
            throw systemFailure("cannot open the directory of", target.displayName, errno);
        }
        target.directorySyncErrno = errno;
        target.directory = std::move(directory);
    }
    return target;
}

} // namespace initHashData

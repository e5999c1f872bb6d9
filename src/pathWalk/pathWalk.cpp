// SPDX-License-Identifier: MIT
#include "pathWalk/pathWalk.hpp"

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
        // A final "." stays: like a final slash, it asks for a directory.
        if (!component.empty() && (component != "." || end == path.size())) {
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

// The link's text; nothing where it cannot be read (errno says why).
std::optional<std::string> readLinkAt(int directory, const std::string& entry, const struct stat& link)
{
    std::string text(static_cast<std::size_t>(link.st_size > 0 ? link.st_size : 255) + 1, '\0');
    for (;;) {
        const ssize_t length = ::readlinkat(directory, entry.c_str(), text.data(), text.size());
        if (length < 0) {
            return std::nullopt;
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
           ::stat(text.c_str(), &viaText) == 0 && sameFile(viaLink, viaText);
}

// Follows a name as open() would, one component at a time through directory
// descriptors, with the sticky-directory rule at every symbolic link. The
// directory held at the end is a path handle.
class PathWalk {
public:
    // Writing, a missing final entry is one to create, as with O_CREAT, and
    // messages name the file at the end of the links; reading, the name given.
    // Either way a relative name is shown from the root, so that a message
    // from cron says where the file was looked for.
    enum class Use { read, write };

    PathWalk(const std::string& name, Use use) : writing_(use == Use::write), pending_(componentsOf(name))
    {
        target_.displayName = {name, name, true};
        mustBeDirectory_ = !name.empty() && name.back() == '/';
        directory_ = openDirectory(AT_FDCWD, !name.empty() && name.front() == '/' ? "/" : ".");
    }

    // The final entry; `entry` stays empty where the name ends in a directory.
    OutputTarget walk(std::optional<std::string>& entry)
    {
        int hops = 0;
        while (!pending_.empty() && !entry_) {
            std::string component = std::move(pending_.front());
            pending_.pop_front();
            if (!step(component, pending_.empty(), hops)) {
                break;
            }
        }
        if (entry_ && mustBeDirectory_ && target_.existing && !S_ISDIR(target_.existing->st_mode)) {
            throw fail(ENOTDIR);
        }
        entry = std::move(entry_);
        target_.directory = std::move(directory_);
        return std::move(target_);
    }

private:
    // Takes one component of the name; false where a final "." or ".." ends
    // the walk in the directory reached.
    bool step(std::string& component, bool last, int& hops)
    {
        if (component == "." || component == "..") {
            if (!last && component == "..") {
                directory_ = openDirectory(directory_.get(), "..");
            }
            return !last;
        }
        struct stat st {};
        if (::fstatat(directory_.get(), component.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            acceptMissing(component, last);
        } else if (S_ISLNK(st.st_mode)) {
            if (++hops > maxSymlinkHops) {
                throw fail(ELOOP);
            }
            followLink(component, st, last);
        } else if (last) {
            target_.existing = st;
            entry_ = std::move(component);
        } else if (!S_ISDIR(st.st_mode)) {
            throw fail(ENOTDIR);
        } else {
            directory_ = openDirectory(directory_.get(), component.c_str());
        }
        return true;
    }

    // A component that is not there is a final entry to create, or the end.
    void acceptMissing(std::string& component, bool last)
    {
        if (errno == ENOENT && last && !mustBeDirectory_) {
            entry_ = std::move(component);
            return;
        }
        throw fail(errno == ENOENT && last && writing_ ? EISDIR : errno);
    }

    Failure fail(int errnum) const
    {
        return systemFailure(writing_ ? "cannot write" : "cannot open", target_.displayName, errnum);
    }

    UniqueFd openDirectory(int at, const char* name) const
    {
        UniqueFd fd(::openat(at, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            throw fail(errno);
        }
        return fd;
    }

    struct stat directoryStatus() const
    {
        struct stat st {};
        if (::fstat(directory_.get(), &st) != 0) {
            throw fail(errno);
        }
        return st;
    }

    void refuseForeignLink(const struct stat& link) const
    {
        const struct stat directory = directoryStatus();
        if (!isStickyWorldWritable(directory)) {
            return;
        }
        if (!ownedByUsOrDirectoryOwner(directory, link)) {
            throw Failure("refusing to follow " + quoteName(target_.displayName) +
                          ": a symbolic link on its way belongs to another user in a sticky world-writable "
                          "directory");
        }
        // Its owner says nothing of who put this name here: anyone may link
        // another's symbolic link where hard-link protection is off.
        if (link.st_nlink > 1) {
            throw Failure("refusing to follow " + quoteName(target_.displayName) +
                          ": a symbolic link on its way has other hard links in a sticky world-writable directory");
        }
    }

    void followLink(std::string& component, const struct stat& link, bool last)
    {
        refuseForeignLink(link);
        const std::optional<std::string> read = readLinkAt(directory_.get(), component, link);
        if (!read || read->empty()) {
            throw fail(read ? ENOENT : errno);
        }
        const std::string& text = *read;
        if (onProcFileSystem(directory_.get()) && !linkTextNamesItsObject(directory_.get(), component, text)) {
            followDescriptorLink(component, last);
            return;
        }
        if (last && writing_) {
            std::string& path = target_.displayName.path;
            const auto slash = path.rfind('/');
            path = text.front() == '/' || slash == std::string::npos ? text : path.substr(0, slash + 1) + text;
        }
        if (last) {
            mustBeDirectory_ = text.back() == '/';
        }
        std::deque<std::string> spliced = componentsOf(text);
        pending_.insert(pending_.begin(), spliced.begin(), spliced.end());
        if (text.front() == '/') {
            directory_ = openDirectory(AT_FDCWD, "/");
        }
    }

    // A descriptor's link in /proc whose text is no path (a pipe, a socket,
    // a deleted file): open() goes through the link itself.
    void followDescriptorLink(std::string& component, bool last)
    {
        if (!last) {
            directory_.reset(::openat(directory_.get(), component.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!directory_) {
                throw fail(errno);
            }
            return;
        }
        struct stat object {};
        if (::fstatat(directory_.get(), component.c_str(), &object, 0) != 0) {
            throw fail(errno);
        }
        target_.existing = object;
        target_.throughDescriptorLink = true;
        entry_ = std::move(component);
    }

    bool writing_;
    std::deque<std::string> pending_;
    std::optional<std::string> entry_;
    bool mustBeDirectory_ = false;
    UniqueFd directory_;
    OutputTarget target_;
};

} // namespace

std::string directoryOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

void checkMayWriteExisting(const struct stat& directory, const struct stat& file, const ShownName& displayName)
{
    if ((S_ISREG(file.st_mode) || S_ISFIFO(file.st_mode)) && isStickyWorldWritable(directory) &&
        !ownedByUsOrDirectoryOwner(directory, file)) {
        throw Failure("refusing to write " + quoteName(displayName) +
                      ": it belongs to another user in a sticky world-writable directory");
    }
}

OutputTarget resolveOutputTarget(const std::string& name)
{
    PathWalk walk(name, PathWalk::Use::write);
    std::optional<std::string> entry;
    OutputTarget target = walk.walk(entry);
    if (!entry || (target.existing && S_ISDIR(target.existing->st_mode))) {
        throw systemFailure("cannot write", target.displayName, EISDIR);
    }
    target.entry = std::move(*entry);
    if (::fstat(target.directory.get(), &target.directoryStatus) != 0) {
        throw systemFailure("cannot write", target.displayName, errno);
    }
    if (target.existing && !target.throughDescriptorLink) {
        checkMayWriteExisting(target.directoryStatus, *target.existing, target.displayName);
    }
    // Opened now, before anything changes, so that a lack of descriptors fails the run early.
    UniqueFd readable(::openat(target.directory.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (readable) {
        target.directory = std::move(readable);
    } else if (errno == EACCES) {
        target.directorySyncErrno = errno;
    } else {
        throw systemFailure("cannot open the directory of", target.displayName, errno);
    }
    return target;
}

UniqueFd openInput(const std::string& name)
{
    if (name.empty()) {
        throw systemFailure("cannot open", name, ENOENT);
    }
    PathWalk walk(name, PathWalk::Use::read);
    std::optional<std::string> entry;
    const OutputTarget target = walk.walk(entry);
    const char* const last = entry ? entry->c_str() : ".";
    if (entry && !target.existing) {
        throw systemFailure("cannot open", target.displayName, ENOENT);
    }
    const int noFollow = target.throughDescriptorLink ? 0 : O_NOFOLLOW;
    UniqueFd input(::openat(target.directory.get(), last, O_RDONLY | O_CLOEXEC | O_NOCTTY | noFollow));
    if (!input) {
        throw systemFailure("cannot open", target.displayName, errno);
    }
    return input;
}

} // namespace initHashData

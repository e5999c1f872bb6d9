#pragma once

#include "fileIo/uniqueFd.hpp"

#include <sys/stat.h>

#include <optional>
#include <string>

namespace initHashData {

// The new content of a file, staged aside and put in place by commit().
//
// Until commit() the file is untouched. Where it can, commit() links the staged
// file into the target's directory and renames it over the target, so that a
// crash at any instant leaves the target entirely old or entirely new. A
// symbolic link is followed and its target replaced. An existing target keeps
// its permission bits and, where the process may set them, its owner and group.
// Where a rename cannot be done (the directory is not writable, the target is a
// mount point, a device or a FIFO), the finished content is written into the
// target in place. No staging file outlives the object, nor SIGINT, SIGTERM or
// SIGHUP.
class ReplacementFile {
public:
    enum class Staging { unnamedFirst, namedOnly };

    // Throws Failure when the target cannot be replaced, before staging anything.
    explicit ReplacementFile(const std::string& name, Staging staging = Staging::unnamedFirst);
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    ReplacementFile(ReplacementFile&&) = delete;
    ReplacementFile& operator=(ReplacementFile&&) = delete;
    ~ReplacementFile();

    // Where the new content is written.
    int fd() const noexcept { return staging_.get(); }

    // The file that receives the content: the name given, or the end of its
    // chain of symbolic links.
    const std::string& target() const noexcept { return target_; }

    // Puts the staged content in place durably. Throws Failure.
    void commit();

private:
    // Creates the staging file in `directory`; returns 0 or the errno.
    int stageIn(const std::string& directory, Staging staging);
    void linkStaged();
    void replaceInPlace();
    void removeStagedName() noexcept;

    std::string target_;
    std::string directory_;
    std::optional<struct stat> existing_;
    bool inPlace_ = false;
    UniqueFd staging_;
    std::string stagedName_;
};

} // namespace initHashData

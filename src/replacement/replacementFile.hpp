// SPDX-License-Identifier: MIT
#pragma once
// The output's replacement, as the run uses it. The manual page states the
// whole contract; decision.hpp holds the choice between its ways.

#include "fileIo/byteStream.hpp"
#include "fileIo/failure.hpp"

#include <memory>
#include <string>
#include <string_view>

namespace initHashData {

// The new content of a file, staged aside and put in place by commit().
//
// Until commit() the file is untouched. Where it can, commit() renames a
// temporary file over the target, so that a crash leaves it entirely old or
// entirely new, carrying what a write would keep; a new file is made as
// open(O_CREAT) with mode 0666 makes one. Otherwise the content is written
// into the old file itself. Links are followed as open() follows them. A
// temporary file outlives neither the object nor a signal that can be caught.
class ReplacementFile {
public:
    // Throws Failure where the target cannot or may not be written, before
    // anything is staged.
    explicit ReplacementFile(const std::string& name);
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    ReplacementFile(ReplacementFile&&) = delete;
    ReplacementFile& operator=(ReplacementFile&&) = delete;
    ~ReplacementFile();

    // Takes the next bytes of the new content; throws Failure where they
    // cannot be held.
    void write(std::string_view bytes);
    // write(), for a ByteWriter.
    ByteSink sink() noexcept
    {
        return {this, [](void* self, std::string_view bytes) { static_cast<ReplacementFile*>(self)->write(bytes); }};
    }

    // The file that receives the content: the name given, or the end of its
    // chain of symbolic links.
    const ShownName& target() const noexcept;

    // Says that the run waits, where it may wait long.
    using Notice = void (*)(std::string_view message) noexcept;

    // Puts the content in place durably, waiting for other writers' locks for
    // a bounded time, and, before a write in place, for readers' read locks
    // for as long as they are held (`notice` says so after a while). Throws
    // Failure where the target is as it was, DamagedOutput where it is not.
    // Returns 0, or the errno for which the directory could not be synced
    // once the new content was in place.
    [[nodiscard]] int commit(Notice notice = nullptr);

private:
    class Replacement;
    std::unique_ptr<Replacement> replacement_;
};

} // namespace initHashData

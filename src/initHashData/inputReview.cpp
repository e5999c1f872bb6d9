// SPDX-License-Identifier: MIT
#include "initHashData/inputReview.hpp"
#include "initHashData/runEnd.hpp"

#include "fileIo/failure.hpp"
#include "pathWalk/pathWalk.hpp"

#include <sys/stat.h>

namespace initHashData {

namespace {

std::string linesOf(std::uint64_t first, std::uint64_t last)
{
    return first == last ? "line " + std::to_string(first)
                         : "lines " + std::to_string(first) + "-" + std::to_string(last);
}

// A joined line's text passes field 2 by, so it reaches the output unhashed.
std::string harmOf(const LineNotes::Noted& noted)
{
    if (noted.blankAtEnd) {
        return linesOf(noted.line, noted.line) +
               ": blank line at the end, written as a record of its own with an empty name";
    }
    if (noted.blank) {
        return linesOf(noted.line, noted.line) + ": blank line, read as the start of the next record";
    }
    return linesOf(noted.line, noted.line + noted.newlines) +
           ": one record spans these lines (is a colon missing?), so text of " +
           linesOf(noted.line + 1, noted.line + noted.newlines) +
           " is written into the output as it stands, and may be a clear password";
}

// The first few records that span lines by their lines, then a count of the rest.
std::uint64_t warnOfSpannedLines(const std::string& inputName, const LineNotes& notes)
{
    for (const LineNotes::Noted& noted : notes.named) {
        report("warning: " + quoteName(inputName) + " " + harmOf(noted));
    }
    const std::uint64_t more = notes.count - notes.named.size();
    if (more > 0) {
        report("warning: " + quoteName(inputName) + ": " + std::to_string(more) + " more record" +
               (more == 1 ? " spans lines" : "s span lines") + " or start" + (more == 1 ? "s" : "") +
               " with a blank line");
    }
    return notes.named.size() + (more > 0 ? 1 : 0);
}

} // namespace

void lookAtOutput(int input, const char* outputName, InputReview& review) noexcept
{
    struct stat in {};
    struct stat out {};
    if (::fstat(input, &in) != 0 || ::stat(outputName, &out) != 0) {
        return;
    }
    review.inputIsOutput = sameFile(in, out);
    review.outputHasContent = S_ISREG(out.st_mode) && out.st_size > 0;
}

std::uint64_t warnOfInput(const std::string& shownInput, const char* outputName, const InputReview& review)
{
    std::uint64_t warnings = warnOfSpannedLines(shownInput, review.notes);
    if (review.inputIsOutput && review.records > 0) {
        report("warning: the input " + quoteName(shownInput) +
               " is the output itself: its hashes are hashed again, with no way back");
        ++warnings;
    }
    if (review.records == 0 && review.outputHasContent) {
        report("warning: the input " + quoteName(shownInput) + " is empty, and empties " +
               quoteName(fullPath(outputName)));
        ++warnings;
    }
    return warnings;
}

} // namespace initHashData

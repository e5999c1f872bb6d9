// SPDX-License-Identifier: MIT
#include "initHashData/conversionRun.hpp"
#include "initHashData/inputReview.hpp"
#include "initHashData/runEnd.hpp"

#include "fileIo/byteStream.hpp"
#include "fileIo/failure.hpp"
#include "fileIo/systemCall.hpp"
#include "fileIo/uniqueFd.hpp"
#include "pathWalk/pathWalk.hpp"
#include "replacement/replacementFile.hpp"
#include "replacement/targetLock.hpp"
#include "userRecord/userRecord.hpp"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>

namespace initHashData {

namespace {

// The longest first line read from standard input: a path and a margin for
// whatever a caller put after a NUL, so that an endless input stops.
constexpr std::size_t maxNameLine = std::size_t{64} * 1024;

constexpr std::string_view nameUnread = "cannot read the input file name from standard input: ";

// Converts all of `input` into `out`, noting in `review` what a run warns
// of. An input that is the output itself is read under a read lock, so that
// another run's write in place of it is never read half done.
void convertAll(int input, const std::string& shownInput, ByteWriter& out, std::string& field2, InputReview& review)
{
    if (review.inputIsOutput) {
        lockInputForReading(input, shownInput);
    }
    review.records = convertRecords(input, shownInput, out, field2, {}, &review.notes);
    if (review.inputIsOutput) {
        unlockInput(input);
    }
}

// Converts `input`, shown as `shownInput`, into `output`, noting in `review`
// what a run warns of.
void convert(const UniqueFd& input, const std::string& shownInput, ReplacementFile& output, InputReview& review)
{
    ByteWriter out(output.sink());
    std::string field2;
    try {
        convertAll(input.get(), shownInput, out, field2, review);
    } catch (const std::bad_alloc&) {
        field2 = std::string();
        throw systemFailure("cannot convert", shownInput, ENOMEM);
    }
    out.flush();
}

// The new content is in place, whatever becomes of this warning.
void warnUnsynced(const ShownName& displayName, int errnum) noexcept
{
    try {
        report("warning: replaced " + quoteName(displayName) + ", but cannot sync its directory " +
               quoteName(directoryOf(fullPath(displayName.path))) +
               ", so a crash may bring back the old file: " + std::strerror(errnum));
    } catch (const std::bad_alloc&) {
        report("warning: replaced the output, but cannot sync its directory, so a crash may bring back the old file");
    }
}

// Reads the input file's name from `fd`: the bytes before the first newline,
// cut at the first NUL. Reads one byte at a time so that nothing after the
// newline is taken from a shared input. Throws Failure when `fd` is empty,
// cannot be read, or the name is longer than a path can be.
std::string readInputName(int fd)
{
    std::string name;
    bool empty = true;
    bool afterNul = false;
    std::size_t consumed = 0; // bytes of the line before its newline
    for (char byte = 0; consumed < maxNameLine; ++consumed) {
        const ssize_t got = retryInterrupted([&] { return ::read(fd, &byte, 1); });
        if (got < 0) {
            // A caller that closed it gets its own words, not "Bad file descriptor".
            throw Failure(std::string(nameUnread) + (errno == EBADF ? "it is closed" : std::strerror(errno)));
        }
        empty = empty && got == 0;
        if (got == 0 || byte == '\n') {
            break;
        }
        afterNul = afterNul || byte == '\0';
        // No path is PATH_MAX bytes long: stop growing there, but still consume
        // the line, as far as a name and what may follow its NUL can go.
        if (!afterNul && name.size() < PATH_MAX) {
            name += byte;
        }
    }
    if (empty) {
        throw Failure(std::string(nameUnread) + "it is empty");
    }
    if (consumed == maxNameLine || name.size() == PATH_MAX) {
        throw Failure(std::string(nameUnread) + "its first line is longer than any path");
    }
    if (name.empty()) {
        throw Failure("cannot open the input file: its name, the first line of standard input, is empty");
    }
    return name;
}

// The input as a run and a check open it, and what they note before converting.
struct ReviewedInput {
    UniqueFd fd;
    std::string shown; // its full path, for messages
    InputReview review;
};

ReviewedInput openReviewed()
{
    const std::string inputName = readInputName(STDIN_FILENO);
    // The input is opened first: a name that opens nothing costs the old output nothing.
    ReviewedInput input{openInput(inputName), fullPath(inputName), {}};
    lookAtOutput(input.fd.get(), outputName, input.review);
    return input;
}

} // namespace

int runCheck()
{
    try {
        auto [input, shownInput, review] = openReviewed();
        // The conversion runs as a run's would, into nothing, so that the count is a run's.
        ByteWriter discard(ByteSink{nullptr, [](void*, std::string_view) {}});
        std::string field2;
        convertAll(input.get(), shownInput, discard, field2, review);
        discard.flush();
        const std::uint64_t warnings = warnOfInput(shownInput, outputName, review);
        report("check: a run would write " + std::to_string(review.records) +
               (review.records == 1 ? " record" : " records") + " from " + quoteName(shownInput) + " to " +
               quoteName(fullPath(outputName)));
        return warnings == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
    } catch (const Failure& failure) {
        report(failure.what());
    } catch (const std::bad_alloc&) {
        report("out of memory");
    } catch (const std::exception& error) {
        report(std::string("unexpected failure: ") + error.what());
    }
    return EXIT_FAILURE;
}

int runConversion()
{
    try {
        auto [input, shownInput, review] = openReviewed();
        ReplacementFile output(outputName);
        convert(input, shownInput, output, review);
        warnOfInput(shownInput, outputName, review);
        if (const int syncErrno = output.commit(report); syncErrno != 0) {
            warnUnsynced(output.target(), syncErrno);
        }
        return exitStatusFor(Outcome::replaced);
    } catch (const DamagedOutput& failure) {
        report(failure.what());
        return exitStatusFor(Outcome::damaged);
    } catch (const Failure& failure) {
        report(failure.what());
    } catch (const std::bad_alloc&) {
        // Where the output may be half written, the emergency exit says so.
        emergencyExit();
    } catch (const std::exception& error) {
        // Whatever else went wrong, the old output is intact and the status must say so.
        report(std::string("unexpected failure: ") + error.what());
    }
    return exitStatusFor(Outcome::unchanged);
}

} // namespace initHashData

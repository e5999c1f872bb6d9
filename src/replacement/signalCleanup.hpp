// SPDX-License-Identifier: MIT
#pragma once

#include <csignal>
#include <string>
#include <string_view>

namespace initHashData {

// Holds back every asynchronous signal that would end the process (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM and the like) while alive, so
// that creating a name and recording it for removal (or renaming it and
// forgetting it) happen as one step as far as those signals are concerned.
class CleanupSignalsBlocked {
public:
    CleanupSignalsBlocked() noexcept;
    CleanupSignalsBlocked(const CleanupSignalsBlocked&) = delete;
    CleanupSignalsBlocked& operator=(const CleanupSignalsBlocked&) = delete;
    CleanupSignalsBlocked(CleanupSignalsBlocked&&) = delete;
    CleanupSignalsBlocked& operator=(CleanupSignalsBlocked&&) = delete;
    ~CleanupSignalsBlocked();

private:
    sigset_t previous_{};
};

// Holds back the same signals for the rest of the process's life: a write
// that cannot be undone runs to its end, and the exit status reports it.
void holdCleanupSignalsForGood() noexcept;

// Records `name`, relative to the open directory `directoryFd`, as the one
// temporary file to remove should the process end by a caught signal or for
// want of memory. Call with the signals blocked and only once the name is ours; a name
// is at most NAME_MAX bytes.
void recordForRemoval(int directoryFd, const char* name) noexcept;

// Nothing is to be removed any more.
void forgetRemoval() noexcept;

// Removes the recorded name, if any; safe in a signal handler.
void removeRecordedName() noexcept;

// Records, before an in-place write begins, the output's name as quoted for a
// message: from then on an abrupt end may leave the file damaged.
void recordInPlaceWrite(std::string quotedName) noexcept;
// The name recorded so, or empty where no in-place write has begun.
std::string_view inPlaceWriteUnderWay() noexcept;

// Installs, once, the handlers that remove the recorded name before the
// signal ends the process: needed only where a recorded name lives on while
// the signals are not blocked.
void removeOnSignal() noexcept;

} // namespace initHashData

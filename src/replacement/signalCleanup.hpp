// SPDX-License-Identifier: MIT
#pragma once

#include <csignal>

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
// file to remove should a signal end the process (any that can be caught).
// Call with the signals blocked and only once the name is ours. Returns false
// when the name is too long to record.
bool removeOnSignal(int directoryFd, const char* name) noexcept;

// Nothing is to be removed on a signal any more.
void forgetRemoveOnSignal() noexcept;

} // namespace initHashData

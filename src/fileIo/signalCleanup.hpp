// SPDX-License-Identifier: MIT
#pragma once

#include <csignal>

namespace initHashData {

// Holds back SIGINT, SIGTERM and SIGHUP while alive, so that creating a name
// and recording it for removal (or renaming it and forgetting it) happen as
// one step as far as those signals are concerned.
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

// Records `name`, relative to the open directory `directoryFd`, as the one
// file to remove should SIGINT, SIGTERM or SIGHUP end the process. Call with
// the signals blocked and only once the name is ours. Returns false when the
// name is too long to record.
bool removeOnSignal(int directoryFd, const char* name) noexcept;

// Nothing is to be removed on a signal any more.
void forgetRemoveOnSignal() noexcept;

} // namespace initHashData

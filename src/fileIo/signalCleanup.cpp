// SPDX-License-Identifier: MIT
#include "fileIo/signalCleanup.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstring>

namespace initHashData {

namespace {

// A signal handler can only reach what it removes through static storage.
std::array<char, 4096> pendingName{};
volatile std::sig_atomic_t pendingDirectory = -1;
volatile std::sig_atomic_t pendingArmed = 0;

constexpr int cleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removePendingAndDie(int signalNumber)
{
    if (pendingArmed != 0) {
        ::unlinkat(pendingDirectory, pendingName.data(), 0);
    }
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

void installHandlers() noexcept
{
    static const bool installed = [] {
        for (const int signalNumber : cleanupSignals) {
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
}

} // namespace

CleanupSignalsBlocked::CleanupSignalsBlocked() noexcept
{
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signalNumber : cleanupSignals) {
        sigaddset(&blocked, signalNumber);
    }
    ::sigprocmask(SIG_BLOCK, &blocked, &previous_);
}

CleanupSignalsBlocked::~CleanupSignalsBlocked() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

bool removeOnSignal(int directoryFd, const char* name) noexcept
{
    pendingArmed = 0;
    const std::size_t length = std::strlen(name);
    if (length >= pendingName.size()) {
        return false;
    }
    installHandlers();
    std::memcpy(pendingName.data(), name, length + 1);
    pendingDirectory = directoryFd;
    pendingArmed = 1;
    return true;
}

void forgetRemoveOnSignal() noexcept { pendingArmed = 0; }

} // namespace initHashData

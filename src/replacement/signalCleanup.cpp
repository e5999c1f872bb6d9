// SPDX-License-Identifier: MIT
#include "replacement/signalCleanup.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

namespace initHashData {

namespace {

// A signal handler can only reach what it removes through static storage.
std::array<char, NAME_MAX + 1> pendingName{};
volatile std::sig_atomic_t pendingDirectory = -1;
volatile std::sig_atomic_t pendingArmed = 0;

// Signals that end a process by default and can be caught. The first ones
// come from outside and may be held back; the last report a fault of the
// process itself and are only caught.
constexpr int heldSignals[] = {
    SIGINT,    SIGTERM, SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
    SIGVTALRM, SIGPROF, SIGXCPU, SIGPOLL, SIGPWR,  SIGPIPE, SIGXFSZ,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};
constexpr int faultSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};

template <class Visit> void forEachHeldSignal(Visit visit)
{
    for (const int signalNumber : heldSignals) {
        visit(signalNumber);
    }
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
        visit(signalNumber);
    }
}

sigset_t heldSet() noexcept
{
    sigset_t set;
    sigemptyset(&set);
    forEachHeldSignal([&](int signalNumber) { sigaddset(&set, signalNumber); });
    return set;
}

extern "C" void removePendingAndDie(int signalNumber)
{
    removeRecordedName();
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

void catchSignal(int signalNumber) noexcept
{
    struct sigaction action {};
    action.sa_handler = removePendingAndDie;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    // A signal the caller chose to ignore stays ignored (one call where it was not).
    if (::sigaction(signalNumber, &action, &previous) == 0 && previous.sa_handler == SIG_IGN) {
        ::sigaction(signalNumber, &previous, nullptr);
    }
}

// The quoted name of an output being written in place, for the emergency exit.
std::string inPlaceName;

} // namespace

void removeRecordedName() noexcept
{
    if (pendingArmed != 0) {
        ::unlinkat(pendingDirectory, pendingName.data(), 0);
    }
}

void recordInPlaceWrite(std::string quotedName) noexcept { inPlaceName = std::move(quotedName); }

std::string_view inPlaceWriteUnderWay() noexcept { return inPlaceName; }

CleanupSignalsBlocked::CleanupSignalsBlocked() noexcept
{
    const sigset_t blocked = heldSet();
    ::sigprocmask(SIG_BLOCK, &blocked, &previous_);
}

CleanupSignalsBlocked::~CleanupSignalsBlocked() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

void holdCleanupSignalsForGood() noexcept
{
    const sigset_t blocked = heldSet();
    ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
}

void recordForRemoval(int directoryFd, const char* name) noexcept
{
    pendingArmed = 0;
    const std::size_t length = std::min(std::strlen(name), pendingName.size() - 1);
    std::memcpy(pendingName.data(), name, length);
    pendingName[length] = '\0';
    pendingDirectory = directoryFd;
    pendingArmed = 1;
}

void forgetRemoval() noexcept { pendingArmed = 0; }

void removeOnSignal() noexcept
{
    static const bool installed = [] {
        forEachHeldSignal(catchSignal);
        for (const int signalNumber : faultSignals) {
            catchSignal(signalNumber);
        }
        return true;
    }();
    (void)installed;
}

} // namespace initHashData

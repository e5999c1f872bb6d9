// SPDX-License-Identifier: MIT
#include "replacement/signalCleanup.hpp"

#include "fileIo/systemCall.hpp"
#include "replacement/emergencyExit.hpp"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <exception>

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
    if (pendingArmed != 0) {
        ::unlinkat(pendingDirectory, pendingName.data(), 0);
    }
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

std::array<char, 64> emergencyPrefix{};
std::array<char, 1024> emergencyMessage{};
std::size_t emergencyPrefixLength = 0;
std::size_t emergencyMessageLength = 0;
int emergencyStatus = 1;
int (*emergencyStatusFor)(Outcome) noexcept = nullptr;

// Copies as much of `text` as fits; returns the length copied.
template <std::size_t size> std::size_t copyInto(std::array<char, size>& to, std::string_view text) noexcept
{
    const std::size_t length = std::min(text.size(), to.size());
    std::memcpy(to.data(), text.data(), length);
    return length;
}

} // namespace

void emergencyExit() noexcept
{
    if (pendingArmed != 0) {
        ::unlinkat(pendingDirectory, pendingName.data(), 0);
    }
    char separator[] = ": ";
    char newline[] = "\n";
    iovec line[] = {{emergencyPrefix.data(), emergencyPrefixLength},
                    {separator, 2},
                    {emergencyMessage.data(), emergencyMessageLength},
                    {newline, 1}};
    std::size_t written = 0;
    // Where even this fails, nothing is left to say it with; the status still tells.
    (void)writeAll(STDERR_FILENO, line, 4, written);
    ::_exit(emergencyStatus);
}

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

void installEmergencyExit(std::string_view programName, int (*statusFor)(Outcome) noexcept) noexcept
{
    emergencyPrefixLength = copyInto(emergencyPrefix, programName);
    emergencyStatusFor = statusFor;
    setEmergencyExit(Outcome::unchanged, "out of memory");
    std::set_terminate(emergencyExit);
}

void setEmergencyExit(Outcome outcome, std::string_view message) noexcept
{
    emergencyMessageLength = copyInto(emergencyMessage, message);
    emergencyStatus = emergencyStatusFor != nullptr ? emergencyStatusFor(outcome) : 1;
}

} // namespace initHashData

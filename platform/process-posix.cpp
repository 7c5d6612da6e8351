// Process services on POSIX systems: SIGTERM, SIGINT and SIGHUP blocked in every thread
// but inside the interruptible sleep, exact sleeps that such a signal cuts short, and
// the process ended by the signal that stopped it.
#include "platform/platform.h"
#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <sys/select.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <unistd.h>

namespace {

constexpr int terminationSignals[] = {SIGTERM, SIGINT, SIGHUP};
volatile std::sig_atomic_t pending = 0;
void (*exitCleanup)() = nullptr;

extern "C" void remember(int signal) {
    if (pending == 0)
        pending = signal;
}

} // namespace

namespace platform {

void interruptibleSleep(std::uint64_t microseconds) {
#ifdef __linux__
    // The default 50 us timer slack lets every pause overshoot; a run is a chain of
    // hundreds of exact pauses.
    static const bool slackSet = ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    (void)slackSet;
#endif
    // The termination signals are blocked in every thread but here, inside pselect,
    // which unblocks them atomically: a signal arriving just before the wait still ends
    // it at once, and no other thread can take it meanwhile.
    sigset_t open;
    ::sigprocmask(SIG_BLOCK, nullptr, &open);
    for (int s : terminationSignals)
        sigdelset(&open, s);
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long long deadline = pauseDeadline(now.tv_sec * 1000000000LL + now.tv_nsec, microseconds);
    while (pending == 0) {
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long long left = deadline - (now.tv_sec * 1000000000LL + now.tv_nsec);
        if (left <= 0)
            break;
        timespec wait{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        const int r = ::pselect(0, nullptr, nullptr, nullptr, &wait, &open);
        if (r == 0 || (r < 0 && errno != EINTR))
            break;
    }
}

void honourTermination() {
    sigset_t waiting;
    if (::sigpending(&waiting) != 0)
        return;
    sigset_t ours;
    sigemptyset(&ours);
    bool any = false;
    for (int s : terminationSignals) {
        if (sigismember(&waiting, s) == 1) {
            sigaddset(&ours, s);
            any = true;
        }
    }
    if (!any)
        return;
    // Unblocked, a pending signal is delivered before sigprocmask returns: to the handler
    // when one is installed, otherwise by its default action, which ends the process.
    ::sigprocmask(SIG_UNBLOCK, &ours, nullptr);
    ::sigprocmask(SIG_BLOCK, &ours, nullptr);
}

std::vector<std::string> prepareProcess(int argc, char** argv) {
    // Blocked before any framework starts a thread, so every thread inherits the block:
    // only the interruptible wait takes these signals, and a wait is never left running
    // because another thread took the signal meant to end it.
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int s : terminationSignals)
        sigaddset(&blocked, s);
    ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    return {argv, argv + argc};
}

void catchTerminationSignals() {
#ifdef MARNITH_FUZZ
    return; // the fuzzing engine handles these signals itself
#endif
    struct sigaction action {};
    action.sa_handler = remember;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking call returns EINTR so the pending signal is seen at once.
    action.sa_flags = 0;
    for (int s : terminationSignals)
        ::sigaction(s, &action, nullptr);
}

int caughtSignal() {
    // One that arrived outside a wait is still pending, blocked: take it now.
    if (pending == 0)
        honourTermination();
    return pending;
}

void setExitCleanup(void (*cleanup)()) {
    exitCleanup = cleanup;
}

#ifdef MARNITH_COVERAGE
extern "C" void __gcov_dump();
#endif

void endBySignal(int signal) {
    if (exitCleanup)
        exitCleanup();
#ifdef MARNITH_COVERAGE
    __gcov_dump(); // the signal ends the process before the counts would be written
#endif
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal);
    ::_exit(128 + signal); // not reached for a terminating signal
}

} // namespace platform

// Process services shared by the backends: process-posix.cpp on POSIX systems,
// process-win32.cpp on Windows.
#pragma once

#include <chrono>
#include <cstdint>
#ifdef _WIN32
#include <string>
#endif

namespace platform {

// How long activation waits for the application to come to the front, so that a run
// started right after sees it there.
constexpr std::chrono::milliseconds activationTimeout{1000};

// The most wheel steps one scroll event turns into where the system takes no whole
// amount at once (X11 button presses, Windows' 16-bit wheel delta); the rest is cut.
constexpr std::int32_t maxScrollSteps = 100;

#ifdef _WIN32
// UTF-16 text as UTF-8; a lone surrogate becomes U+FFFD.
std::string fromWide(const std::wstring& text);
#endif

// When a pause of this length starting at `now` (nanoseconds on a monotonic clock) is
// due. The pauses of a run lie on one timeline: a pause that starts within a millisecond
// of the previous one's end is counted from that end, so the wake-up latency of each
// sleep and the work between two pauses do not add up over a run.
inline long long pauseDeadline(long long now, std::uint64_t microseconds) {
    static long long previous = 0;
    const long long base =
        previous != 0 && now >= previous && now - previous < 1000000 ? previous : now;
    return previous = base + static_cast<long long>(microseconds) * 1000;
}

// Sleeps for the full time, resuming after unrelated interruptions, and returns early
// once a caught termination signal (on Windows, a console control event) is pending.
void interruptibleSleep(std::uint64_t microseconds);

// The termination signals are blocked in every thread outside the interruptible wait.
// Takes one that arrived meanwhile: a caught one is remembered, any other ends the
// process. For waits of a backend's own that a host may want to cut short.
void honourTermination();

// Activation is asynchronous: asks inFront() until it answers true, for at most the
// timeout, calling pause(time waited so far) between two questions, so that a run
// started right after finds the application in front. Termination is honoured between
// two questions: a host that ends a slow activation must not see it finish as if nothing
// had happened. Whether the application came to the front.
template <typename InFront, typename Pause>
bool awaitFront(InFront inFront, Pause pause,
                std::chrono::steady_clock::duration timeout = activationTimeout) {
    const auto start = std::chrono::steady_clock::now();
    while (!inFront()) {
        const auto waited = std::chrono::steady_clock::now() - start;
        if (waited >= timeout)
            return false;
        honourTermination();
        pause(waited);
    }
    return true;
}

// Work a backend must do before the process ends by a signal, when the normal exit
// path (and with it atexit) is skipped.
void setExitCleanup(void (*cleanup)());

} // namespace platform

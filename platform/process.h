// Process services shared by the backends: posix.cpp on POSIX systems, win32.cpp on
// Windows.
#pragma once

#include <cstdint>

namespace platform {

// Sleeps for the full time, resuming after unrelated interruptions, and returns early
// once a caught termination signal (on Windows, a console control event) is pending.
void interruptibleSleep(std::uint64_t microseconds);

// Work a backend must do before the process ends by a signal, when the normal exit
// path (and with it atexit) is skipped.
void setExitCleanup(void (*cleanup)());

} // namespace platform

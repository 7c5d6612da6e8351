// Pieces shared by the backends that run on a POSIX system.
#pragma once

#include <cstdint>

namespace platform {

// Sleeps for the full time, resuming after unrelated interruptions, and returns early
// once a caught termination signal is pending.
void interruptibleSleep(std::uint64_t microseconds);

} // namespace platform

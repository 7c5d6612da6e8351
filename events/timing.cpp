#include "events/events.h"

#include <cmath>

void sleepMs(double ms) {
    if (std::isnan(ms) || ms < 0)
        ms = 0;
    if (ms > 10000)
        ms = 10000;
    platform::sleepMicroseconds(static_cast<std::uint64_t>(ms * 1000));
}

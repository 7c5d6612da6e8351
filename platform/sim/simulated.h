// What the simulated desktop offers beyond the platform layer: an in-process harness
// for fuzzing, built only with MARNITH_FUZZ.
#pragma once

#include <nlohmann/json.hpp>

namespace platform::fuzzing {

// Thrown instead of ending the process (status as given), and when an input has used
// up its operation budget (status -1).
struct Stop {
    int status;
};

// Replaces the desktop with the one described, as a desktop file would; no trace.
// The values it keeps are moved out of the document.
void reset(nlohmann::json& desktop);

} // namespace platform::fuzzing

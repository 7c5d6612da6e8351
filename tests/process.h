// Runs the simulated tool as a separate process and collects what it did.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct Outcome {
    int status = -1;                   // exit status, or -1 when ended by a signal
    int signal = 0;                    // the signal that ended it, or 0
    std::string out;                   // standard output
    std::string err;                   // standard error
    std::vector<nlohmann::json> trace; // one object per trace line, "t" removed
    std::vector<nlohmann::json> times; // the "t" of each trace line
};

// Runs marnith-input-sim with the arguments (program path excluded). The desktop, when
// given, is written to a desktop file; a trace is always recorded.
Outcome runSim(const std::vector<std::string>& arguments,
               const std::optional<nlohmann::json>& desktop = std::nullopt);

// The same with a desktop file of raw text, for files that are not valid desktops.
Outcome runSimRaw(const std::vector<std::string>& arguments, const std::string& desktopText);

// A simulated tool started in the background.
struct Running {
    int pid = 0;
    std::string base; // stem of its files
    std::vector<std::string> arguments;
};
Running start(const std::vector<std::string>& arguments, const std::optional<std::string>& desktop);
// The trace written so far, as raw text.
std::string traceText(const Running& running);
// Waits for it to end and collects what it did.
Outcome finish(const Running& running);

// A short, readable line per trace entry, e.g. "key 56 down 0x20000", "sleep 15000",
// "mouse 1 (400,300) b0 c1 0x0", "scroll -3 0x0", "frontmost 42".
std::vector<std::string> brief(const std::vector<nlohmann::json>& trace);

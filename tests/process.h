// Runs the simulated tool as a separate process and collects what it did.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct Outcome {
    int status = -1;                   // exit status, or -1 when ended by a signal
    int signal = 0;                    // the signal that ended it, or 0
    std::string out, err;              // standard output and error
    std::vector<nlohmann::json> trace; // simulated desktop: one object per line, "t" removed
    std::vector<long long> times;      // the "t" of each trace line
};

// The simulated tool started in the background, with its output going to files.
struct Running {
    int pid = 0;
    std::string base; // stem of its files
    std::vector<std::string> argv;
    void* process = nullptr; // Windows: its handle
};
// Waits for it to end and collects what it did.
Outcome finish(const Running& running);
// The trace the simulated tool has written so far.
std::string traceText(const Running& running);

// Starts marnith-input-sim with the arguments (program path excluded), recording a
// trace; the desktop, when given, is written to its desktop file as it is. One that
// cannot be started finishes with status 127.
Running startSim(const std::vector<std::string>& arguments,
                 const std::optional<std::string>& desktop = std::nullopt);
Outcome runSim(const std::vector<std::string>& arguments,
               const std::optional<nlohmann::json>& desktop = std::nullopt);

// One short line per trace entry, joined by "; ": "key 56 down 0x20000", "sleep 15000",
// "mouse 1 (400.0,300.0) b0 c1 0x0", "scroll -3 0x0", "frontmost 42", "trusted", ...
std::string brief(const std::vector<nlohmann::json>& trace, std::size_t from = 0);

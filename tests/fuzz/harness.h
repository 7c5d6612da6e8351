// Runs the tool in-process on the simulated desktop, as the executable would with the
// given arguments: failure exits and exhausted inputs come back as a status instead of
// ending the fuzzing process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "main/dispatch.h"
#include "platform/sim/simulated.h"

inline int runTool(nlohmann::json desktop, std::vector<std::string> arguments) {
    platform::fuzzing::reset(desktop);
    std::vector<char*> argv;
    for (auto& a : arguments)
        argv.push_back(a.data());
    try {
        State state = startUp(static_cast<int>(argv.size()), argv.data());
        return dispatch(state);
    } catch (const platform::fuzzing::Stop& stop) {
        return stop.status;
    }
}

// A command-line argument cannot hold a NUL byte: it ends there.
inline std::string argument(const std::uint8_t* data, std::size_t size) {
    std::string s(reinterpret_cast<const char*>(data), size);
    return s.substr(0, s.find('\0'));
}

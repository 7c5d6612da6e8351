// The two ways every invocation ends.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// Writes the value as one line of compact JSON on standard output. The caller then
// ends the process with status 0.
void out(const nlohmann::ordered_json& value);

// Releases any modifier keys the tool still holds, writes the message and a newline
// to standard error in one write, and ends the process with status 1.
[[noreturn]] void fail(const std::string& message);

// The ways a process ends: with a result, with a failure, or by a termination signal.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "events/state.h"

// The failure of a process whose input the system does not take: without the permission,
// or when it refuses an event.
inline constexpr char permissionOffMessage[] = "Accessibility permission is off for Marnith";

// Writes the value as one line of compact JSON on standard output. The caller then
// ends the process with status 0.
void out(const nlohmann::ordered_json& value);

// Lets go of everything still held, writes the message and a newline to standard error
// in one write, and ends the process with status 1. Control characters in the message
// (U+0000-U+001F, U+007F) are written as \u and four lower-case hex digits, so the
// failure is always exactly one line.
[[noreturn]] void fail(State& state, const std::string& message);

// At a safe point of a run (between actions, clicks or characters): when a termination
// signal has arrived, lets go of everything held and ends the process by that signal.
void stopIfSignalled(State& state);

// The pointer and wheel actions of a run. Each returns false when its key is absent or
// holds a value of the wrong kind, so the next key can be tried.
#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

#include "events/state.h"

bool moveAction(State& state, const nlohmann::ordered_json& action);
// The button has been read already from the action's "button".
bool clickAction(State& state, const nlohmann::ordered_json& action, std::uint32_t button);
bool downAction(State& state, const nlohmann::ordered_json& action, std::uint32_t button);
bool upAction(State& state, const nlohmann::ordered_json& action, std::uint32_t button);
bool scrollAction(State& state, const nlohmann::ordered_json& action);

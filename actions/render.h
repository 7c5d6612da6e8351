// How an action object is shown in the "unknown action " message.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// Its entries in square brackets, each `"key": value` with the value as compact JSON;
// `[:]` when empty.
std::string renderAction(const nlohmann::ordered_json& action);

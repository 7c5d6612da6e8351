// Reading JSON values the way every command does. JSON booleans are never numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "events/state.h"

// The value as a signed 64-bit integer when it is a number with a whole value in that
// range (2.0 counts, 2.5 and 2^63 do not). For action values and window lists alike.
std::optional<std::int64_t> integerValue(const nlohmann::json& value);
std::optional<std::int64_t> integerValue(const nlohmann::ordered_json& value);

// A signed decimal process id: an optional sign, then ASCII digits only, within the
// signed 32-bit range. Anything else gives nothing.
std::optional<std::int32_t> parsePid(const std::string& text);

// A point from an action value: an array of at least two elements, all numbers.
std::optional<Point> point(const nlohmann::ordered_json* value);

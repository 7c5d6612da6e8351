// The keyboard, text and wait actions of a run. Each returns false when its key is
// absent or holds a value of the wrong kind, so the next key can be tried.
#pragma once

#include <cstddef>

#include <nlohmann/json.hpp>

#include "events/state.h"

bool keyAction(State& state, const nlohmann::ordered_json& action);
bool keyDownAction(State& state, const nlohmann::ordered_json& action);
bool keyUpAction(State& state, const nlohmann::ordered_json& action);
bool waitAction(const nlohmann::ordered_json& action);

// How a text action went: whether the object holds a text at all, whether the guard
// stopped it before its end, and how many of its UTF-16 code units were typed (whole
// characters only: a surrogate pair is typed together or not at all).
struct Typed {
    bool isText = false;
    bool stopped = false;
    std::size_t units = 0;
};
// Types the text, checking before every character after the first that a guarded
// run's target is still in front; stops there at once when it is not.
Typed textAction(State& state, const nlohmann::ordered_json& action);

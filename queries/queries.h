// The one-shot desktop queries. Each prints its result through out() or fails.
#pragma once

#include <nlohmann/json.hpp>

#include "events/state.h"

// Prints {"trusted":bool}; "--prompt" anywhere among the arguments asks the user.
void trustedCommand(State& state);
// Prints the target application's normal-layer on-screen windows.
void windowsCommand(State& state);
// Brings the application with the given process id to the front, or fails "bad pid".
void activateCommand(State& state);

// The window entries for a platform window list: the target application's windows on
// layer 0, in list order. Malformed lists and entries are read by the listing's rules.
nlohmann::ordered_json targetWindows(const nlohmann::json& list);

// The key-name table and name resolution.
#pragma once

#include "events/state.h"

std::map<std::string, KeyCode> makeKeyCodes();
std::vector<std::pair<KeyCode, ModifierFlags>> makeModifierFlags();

// The key code for a name as written, else for its upper-case form; otherwise fails
// with "unknown key " and the name as written.
KeyCode key(State& state, const std::string& name);

// The run command.
#pragma once

#include "events/state.h"

// Plays the action list in args[2], guarded by the optional target pid in args[3].
void runCommand(State& state);

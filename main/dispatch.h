// Start-up and dispatch: the top of the program.
#pragma once

#include "events/state.h"

// The process state, filled in its fixed order: key table, event source, held
// modifiers, modifier table, pointer position, arguments.
State startUp(int argc, char** argv);

// Runs the command the first argument names and returns the process's exit status.
int dispatch(State& state);

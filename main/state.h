// Start-up and the process-wide state that lives as long as the process.
#pragma once

#include <string>
#include <vector>

// The process's command-line arguments, program path first.
extern std::vector<std::string> args;

// Fills the process-wide state in its fixed order (key table, event source, held
// modifiers, modifier table, pointer position, arguments).
void startUp(int argc, char** argv);

// Runs the command the first argument names and returns the process's exit status.
int dispatch();

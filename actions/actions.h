// The run command and its two action families.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "events/events.h"

// The last position the tool put the pointer at.
extern Point cursor;

// Plays the action list in args[2], guarded by the optional target pid in args[3].
void runCommand();

// At a safe point of a run (between actions, clicks or characters): when a termination
// signal has arrived, releases the held modifiers and ends the process by that signal.
void stopIfSignalled();

// Performs one action object; fails with "unknown action " when none of its keys
// selects an action.
void performAction(const nlohmann::ordered_json& action);

// The keyboard, text and wait actions. Each returns false when its key is absent or
// holds a value of the wrong kind, so the next key can be tried.
bool keyAction(const nlohmann::ordered_json& action);
bool keyDownAction(const nlohmann::ordered_json& action);
bool keyUpAction(const nlohmann::ordered_json& action);
bool textAction(const nlohmann::ordered_json& action);
bool waitAction(const nlohmann::ordered_json& action);

// The pointer and wheel actions, likewise; the mouse button has been read already.
bool moveAction(const nlohmann::ordered_json& action);
bool clickAction(const nlohmann::ordered_json& action, bool right);
bool downAction(const nlohmann::ordered_json& action, bool right);
bool upAction(const nlohmann::ordered_json& action, bool right);
bool scrollAction(const nlohmann::ordered_json& action);

// An action object as the "unknown action " message shows it: its entries in square
// brackets, each `"key": value` with the value as compact JSON; `[:]` when empty.
std::string renderAction(const nlohmann::ordered_json& action);

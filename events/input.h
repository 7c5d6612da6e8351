// The primitives that build one keyboard, pointer or wheel event and post it, the
// bookkeeping of what is held down, and the pauses between events.
#pragma once

#include <cstdint>

#include "events/state.h"

// Posts one key-down or key-up, after updating the held-modifier set for modifier keys
// and the list of held keys.
void keyEvent(State& state, KeyCode code, bool down);

// Takes the press or release of a modifier key with this flag into the held sets.
// `given` holds the flags the platform created the key's event with: a flag already
// among them when the tool presses its key, and not one the tool released before, is
// held by someone else too and still shows after the tool's release.
void modifierKey(State& state, ModifierFlags flag, bool down, ModifierFlags given);

// The flags an event goes out with, given those the platform created it with: the held
// modifiers are added, and the ones the tool pressed on its own and has since released
// are taken away. Every other flag stays as given.
ModifierFlags outgoingFlags(const State& state, ModifierFlags given);

// Gives an event built elsewhere its outgoing flags, posts it and releases it; a null
// event is ignored. When the system refuses the event, fails with the permission message.
void post(State& state, platform::Event event);

// Posts one mouse event of the given type with a click count, and keeps track of the
// buttons held down.
void mouse(State& state, std::uint32_t type, Point position, std::uint32_t button,
           std::int64_t clicks = 1);
// The press and release event types of a button.
std::uint32_t downType(std::uint32_t button);
std::uint32_t upType(std::uint32_t button);

// Truncates a line amount toward zero into the signed 32-bit range, clamping amounts
// beyond it (NaN gives 0).
std::int32_t scrollLines(double amount);
// Posts one line-unit scroll-wheel event.
void scrollWheel(State& state, double amount);

// Lets go of everything the tool still holds. First, while any modifier is held, a
// key-up for each modifier key in turn until the held set is empty; then a key-up for
// every other key still down, in the order pressed; then a release at the last pointer
// position for every button still down. Posts nothing when nothing is held.
void releaseHeld(State& state);

// Whether a guarded run may go on: no guard, or the target is the frontmost application.
bool targetInFront(const State& state);

// Sleeps for a number of milliseconds, clamped to 0..10000, truncated to microseconds.
void sleepMs(double ms);

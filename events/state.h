// The process state: everything a run can change, in one object that start-up fills
// and every command and action receives.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/input-common.h"
#include "platform/platform.h"

// A macOS virtual key code: a physical key position of the ANSI keyboard.
using KeyCode = std::uint16_t;
// An event-flag mask in the platform's layout.
using ModifierFlags = std::uint64_t;
// x then y, in global display coordinates.
using Point = std::pair<double, double>;

constexpr ModifierFlags shiftFlag = 0x20000;
constexpr ModifierFlags controlFlag = 0x40000;
constexpr ModifierFlags alternateFlag = 0x80000;
constexpr ModifierFlags commandFlag = 0x100000;

struct State {
    // Key name to key code; read-only after start-up.
    std::map<std::string, KeyCode> keyCodes;
    // The event source every event is created from; may be null.
    platform::EventSource src = nullptr;
    // The modifier flags the tool has pressed and not yet released.
    ModifierFlags modifiers = 0;
    // Of those, the flags its events did not show yet when the tool pressed them: nothing
    // else (the user) held them then.
    ModifierFlags ownModifiers = 0;
    // Flags the tool pressed on its own and has since released. The system's state can
    // still show them for a while after the key-up; no event of the tool's carries them.
    ModifierFlags releasedModifiers = 0;
    // Modifier key code to its flag, in the order the release walks them: each left key
    // before its right twin, Shift, Control, Alternate, Command. Read-only after start-up.
    std::vector<std::pair<KeyCode, ModifierFlags>> modifierFlags;
    // The last position the tool put the pointer at.
    Point cursor{0.0, 0.0};
    // The command-line arguments, program path first.
    std::vector<std::string> args;

    // Keys the tool pressed and has not released, in the order they were pressed.
    platform::Pressed<KeyCode> heldKeys;
    // Mouse buttons the tool pressed and has not released, in the order they were pressed.
    platform::Pressed<std::uint32_t> heldButtons;
    // The target a run is guarded by: it must stay the frontmost application.
    std::optional<std::int32_t> guard;
};

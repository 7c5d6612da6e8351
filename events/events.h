// Input event synthesis: the key-name table, the held-modifier state and the
// primitives that build one keyboard, pointer or wheel event and post it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

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

// Key name to key code; read-only after start-up.
extern std::map<std::string, KeyCode> keyCodes;
// The event source every event is created from; may be null.
extern platform::EventSource src;
// The modifier flags the tool has pressed and not yet released.
extern ModifierFlags modifiers;
// Modifier key code to its flag, in the order the release walks them: each left key
// before its right twin, Shift, Control, Alternate, Command.
extern std::vector<std::pair<KeyCode, ModifierFlags>> modifierFlags;

std::map<std::string, KeyCode> makeKeyCodes();
std::vector<std::pair<KeyCode, ModifierFlags>> makeModifierFlags();

// The key code for a name as written, else for its upper-case form; otherwise fails
// with "unknown key " and the name as written.
KeyCode key(const std::string& name);

// Posts one key-down or key-up, after updating the held-modifier set for modifier keys.
void keyEvent(KeyCode code, bool down);

// While any modifier is held, posts a key-up for each modifier key in turn until the
// held set is empty. Posts nothing when no modifier is held.
void releaseModifiers();

// Stamps the held modifiers onto an event built elsewhere and posts it. Does not take
// the event over; a null event is ignored.
void post(platform::Event event);

// A point from an action value: an array of at least two elements, all numbers.
std::optional<Point> point(const nlohmann::ordered_json* value);

// Posts one mouse event of the given type with a click count.
void mouse(std::uint32_t type, Point position, std::uint32_t button, std::int64_t clicks = 1);

// Truncates a line amount toward zero into the signed 32-bit range, clamping amounts
// beyond it (NaN gives 0).
std::int32_t scrollLines(double amount);
// Posts one line-unit scroll-wheel event.
void scrollWheel(double amount);

// Sleeps for a number of milliseconds, clamped to 0..10000, truncated to microseconds.
void sleepMs(double ms);

// Unicode helpers: full default case mappings, independent of locale, and UTF-16.
std::string upperCase(const std::string& utf8);
std::string lowerCase(const std::string& utf8);
std::u16string utf16(const std::string& utf8);
// The text with every byte sequence that is not UTF-8 replaced by U+FFFD.
std::string validUtf8(const std::string& bytes);

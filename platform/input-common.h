// Input pieces the backends share below the seam: what the tool's key codes mean to a
// keyboard (the flags a key gives its own events, the keys that type control characters),
// the record of what is pressed (the core keeps its held keys and buttons in it too), and
// the event record of the backends that have no event object of their own.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace platform {

// The flags a real keyboard gives key events of these keys of its own: SecondaryFn for
// F1-F12 and the navigation block, SecondaryFn and NumericPad for the arrows.
constexpr std::uint64_t ownKeyFlags(std::uint16_t keyCode) {
    constexpr std::uint64_t secondaryFn = 0x800000, numericPad = 0x200000;
    switch (keyCode) {
    case 122:
    case 120:
    case 99:
    case 118:
    case 96:
    case 97: // F1-F6
    case 98:
    case 100:
    case 101:
    case 109:
    case 103:
    case 111: // F7-F12
    case 115:
    case 119:
    case 116:
    case 121:
    case 117: // Home End PageUp PageDown Delete
        return secondaryFn;
    case 123:
    case 124:
    case 125:
    case 126: // arrows
        return secondaryFn | numericPad;
    default: return 0;
    }
}

// The key code of the key that types a control character: Return for a line feed or a
// carriage return, Tab, Backspace and Escape; nothing for any other character. Such a
// character goes out on its key, not as a string: applications that take control
// characters from the key (Qt's text widgets, a single-line field or a default button
// acting on Return) would otherwise see nothing.
constexpr std::optional<std::uint16_t> controlCharacterKey(char32_t c) {
    switch (c) {
    case u'\n':
    case u'\r': return 36; // Return
    case u'\t': return 48; // Tab
    case u'\b': return 51; // Backspace
    case 0x1B: return 53;  // Escape
    default: return std::nullopt;
    }
}

// Keys or buttons pressed and not released since, in the order pressed. Pressing what is
// already down, or releasing what is not, changes nothing.
template <typename T> class Pressed {
  public:
    void press(T item) {
        if (!contains(item))
            items.push_back(item);
    }
    void release(T item) { std::erase(items, item); }
    void update(T item, bool down) { down ? press(item) : release(item); }
    bool contains(T item) const {
        return std::find(items.begin(), items.end(), item) != items.end();
    }
    bool empty() const { return items.empty(); }
    // A copy, so that what is released while walking it does not disturb the walk.
    std::vector<T> inOrder() const { return items; }

  private:
    std::vector<T> items;
};

// An event of a backend with no event object of its own (X11, Windows, the simulated
// desktop): what it was created with and what was set on it, played when it is posted.
struct EventRecord {
    enum Kind { key, mouse, scroll } kind = key;
    std::uint16_t code = 0; // key: the tool's key code
    bool down = false;      // key
    // key: the character it types instead of its key, once set (one or two code units)
    std::optional<std::u16string> text;
    std::uint32_t type = 0; // mouse: the event type
    double x = 0, y = 0;    // mouse
    std::uint32_t button = 0;
    std::int64_t clicks = 0; // mouse: the click state
    std::int32_t lines = 0;  // scroll
    std::uint64_t flags = 0;

    static EventRecord keyboard(std::uint16_t code, bool down) {
        EventRecord e;
        e.code = code;
        e.down = down;
        return e;
    }
    static EventRecord pointer(std::uint32_t type, std::pair<double, double> position,
                               std::uint32_t button) {
        EventRecord e;
        e.kind = mouse;
        e.type = type;
        e.x = position.first;
        e.y = position.second;
        e.button = button;
        return e;
    }
    static EventRecord wheel(std::int32_t lines) {
        EventRecord e;
        e.kind = scroll;
        e.lines = lines;
        return e;
    }
};

// The record behind an event a backend created as one (or as a record of its own that
// starts with one).
template <typename Record = EventRecord> Record* record(Event event) {
    return static_cast<Record*>(event);
}

} // namespace platform

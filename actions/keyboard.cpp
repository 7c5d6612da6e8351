#include "actions/keyboard.h"

#include "events/exit.h"
#include "events/input.h"
#include "events/keys.h"
#include "events/unicode.h"
#include "platform/utf16.h"

namespace {

constexpr std::uint64_t textPauseMicroseconds = 8000; // per UTF-16 code unit
constexpr double defaultHoldMs = 40;

const nlohmann::ordered_json* stringMember(const nlohmann::ordered_json& action, const char* name) {
    auto it = action.find(name);
    return it != action.end() && it->is_string() ? &*it : nullptr;
}

// One key-down or key-up on virtual key 0 carrying the given code units. A character
// the desktop has no way to type is a failure, not a silent gap in the text.
void typeUnits(State& state, const std::u16string& units, bool down) {
    platform::Event event = platform::createKeyboardEvent(state.src, 0, down);
    if (!event)
        return;
    if (!platform::setUnicodeString(event, units)) {
        platform::releaseEvent(event);
        fail(state, "cannot type " + utf8(units));
    }
    post(state, event);
}

} // namespace

bool keyAction(State& state, const nlohmann::ordered_json& action) {
    const auto* name = stringMember(action, "key");
    if (!name)
        return false;
    const KeyCode code = key(state, name->get<std::string>());
    const auto hold = action.find("hold");
    keyEvent(state, code, true);
    sleepMs(hold != action.end() && hold->is_number() ? hold->get<double>() : defaultHoldMs);
    keyEvent(state, code, false);
    return true;
}

bool keyDownAction(State& state, const nlohmann::ordered_json& action) {
    const auto* name = stringMember(action, "keyDown");
    if (!name)
        return false;
    keyEvent(state, key(state, name->get<std::string>()), true);
    return true;
}

bool keyUpAction(State& state, const nlohmann::ordered_json& action) {
    const auto* name = stringMember(action, "keyUp");
    if (!name)
        return false;
    keyEvent(state, key(state, name->get<std::string>()), false);
    return true;
}

Typed textAction(State& state, const nlohmann::ordered_json& action) {
    const auto* text = stringMember(action, "text");
    if (!text)
        return {};
    const std::u16string units = utf16(text->get<std::string>());
    // Gets the desktop ready for the whole text, and fails before typing any of it when
    // a character cannot be typed at all.
    if (const auto c = platform::prepareText(units))
        fail(state, "cannot type " + utf8(std::u32string(1, *c)));
    for (std::size_t i = 0; i < units.size();) {
        stopIfSignalled(state);
        // Text typed after another window came forward goes to that window, which may
        // be a terminal: check before every character, not only before the action.
        if (i > 0 && !targetInFront(state))
            return {.isText = true, .stopped = true, .units = i};
        // A surrogate pair travels in one event pair.
        const std::size_t length = platform::characterLength(units, i);
        const std::u16string character = units.substr(i, length);
        typeUnits(state, character, true);
        typeUnits(state, character, false);
        // Another application came forward while the desktop got this character's key
        // ready: it went nowhere, so it is not counted, and the host types it again.
        if (platform::characterSkipped())
            return {.isText = true, .stopped = true, .units = i};
        platform::sleepMicroseconds(textPauseMicroseconds * length);
        i += length;
    }
    return {.isText = true, .stopped = false, .units = units.size()};
}

bool waitAction(const nlohmann::ordered_json& action) {
    const auto wait = action.find("wait");
    if (wait == action.end() || !wait->is_number())
        return false;
    sleepMs(wait->get<double>());
    return true;
}

#include "events/keys.h"

#include "events/exit.h"
#include "events/unicode.h"

std::map<std::string, KeyCode> makeKeyCodes() {
    // clang-format off
    return {
        {"A", 0},           {"S", 1},          {"D", 2},          {"F", 3},
        {"H", 4},           {"G", 5},          {"Z", 6},          {"X", 7},
        {"C", 8},           {"V", 9},          {"B", 11},         {"Q", 12},
        {"W", 13},          {"E", 14},         {"R", 15},         {"Y", 16},
        {"T", 17},          {"One", 18},       {"Two", 19},       {"Three", 20},
        {"Four", 21},       {"Six", 22},       {"Five", 23},      {"Equals", 24},
        {"Nine", 25},       {"Seven", 26},     {"Minus", 27},     {"Eight", 28},
        {"Zero", 29},       {"RightBracket", 30}, {"O", 31},      {"U", 32},
        {"LeftBracket", 33}, {"I", 34},        {"P", 35},         {"Return", 36},
        {"L", 37},          {"J", 38},         {"Quote", 39},     {"K", 40},
        {"Semicolon", 41},  {"BackSlash", 42}, {"Comma", 43},     {"Slash", 44},
        {"N", 45},          {"M", 46},         {"Period", 47},    {"Tab", 48},
        {"Space", 49},      {"Backquote", 50}, {"Backspace", 51}, {"Escape", 53},
        {"LeftMeta", 55},   {"LeftShift", 56}, {"CapsLock", 57},  {"LeftAlt", 58},
        {"LeftControl", 59}, {"RightShift", 60}, {"RightAlt", 61}, {"RightControl", 62},
        {"F5", 96},         {"F6", 97},        {"F7", 98},        {"F3", 99},
        {"F8", 100},        {"F9", 101},       {"F11", 103},      {"F10", 109},
        {"F12", 111},       {"Home", 115},     {"PageUp", 116},   {"Delete", 117},
        {"F4", 118},        {"End", 119},      {"F2", 120},       {"PageDown", 121},
        {"F1", 122},        {"Left", 123},     {"Right", 124},    {"Down", 125},
        {"Up", 126},
        // Aliases.
        {"Shift", 56},      {"Control", 59},   {"Alt", 58},       {"Meta", 55},
        {"Enter", 36},
    };
    // clang-format on
}

std::vector<std::pair<KeyCode, ModifierFlags>> makeModifierFlags() {
    return {{56, shiftFlag},     {60, shiftFlag},     {59, controlFlag}, {62, controlFlag},
            {58, alternateFlag}, {61, alternateFlag}, {55, commandFlag}};
}

KeyCode key(State& state, const std::string& name) {
    const auto& keyCodes = state.keyCodes;
    if (auto it = keyCodes.find(name); it != keyCodes.end())
        return it->second;
    // Single letters and F1-F12 are accepted in any case this way; mixed-case names
    // such as "Return" are not, since their upper-case form is not in the table.
    if (auto it = keyCodes.find(upperCase(name)); it != keyCodes.end())
        return it->second;
    fail(state, "unknown key " + name);
}

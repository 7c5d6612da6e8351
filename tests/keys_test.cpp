// The key-name table, name resolution and the held-modifier bookkeeping.
#include "events/events.h"

#include <gtest/gtest.h>

namespace {

class Keys : public ::testing::Test {
  protected:
    void SetUp() override {
        keyCodes = makeKeyCodes();
        modifierFlags = makeModifierFlags();
        modifiers = 0;
    }
};

TEST_F(Keys, TablesHaveTheirSizes) {
    EXPECT_EQ(keyCodes.size(), 86u);
    EXPECT_EQ(modifierFlags.size(), 7u);
    // Every code is a distinct key except the five aliases.
    std::set<KeyCode> codes;
    for (const auto& [name, code] : keyCodes)
        codes.insert(code);
    EXPECT_EQ(codes.size(), 81u);
}

TEST_F(Keys, NamesResolve) {
    const std::pair<const char*, KeyCode> cases[] = {
        {"A", 0},
        {"a", 0},
        {"F12", 111},
        {"f12", 111},
        {"Return", 36},
        {"Enter", 36},
        {"Shift", 56},
        {"LeftShift", 56},
        {"Delete", 117},
        {"Backspace", 51},
        {"Meta", 55},
        {"LeftMeta", 55},
        {"Alt", 58},
        {"Control", 59},
        {"CapsLock", 57},
        {"One", 18},
        {"Zero", 29},
        {"Up", 126},
        {"Left", 123},
        {"F1", 122},
        {"Escape", 53},
        {"Backquote", 50},
        {"B", 11},
        {"Tab", 48},
        {"Space", 49},
        {"RightControl", 62},
        // The fallback upper-cases with the Unicode default mapping, not only ASCII.
        {"\xC4\xB1", 34}, // dotless i
        {"\xC5\xBF", 1},  // long s
    };
    for (const auto& [name, code] : cases)
        EXPECT_EQ(key(name), code) << name;
}

TEST_F(Keys, UnknownNamesFailWithTheNameAsWritten) {
    for (const std::string name :
         {"return", "1", " A", "SHIFT", "", "Banana", "A ", "RETURN", "enter", "F13", "F0"}) {
        EXPECT_EXIT(key(name), ::testing::ExitedWithCode(1), "^unknown key " + name + "\n$")
            << name;
    }
}

TEST_F(Keys, ModifierTableWalksLeftBeforeRight) {
    const std::vector<std::pair<KeyCode, ModifierFlags>> expected = {
        {56, 0x20000}, {60, 0x20000}, {59, 0x40000}, {62, 0x40000},
        {58, 0x80000}, {61, 0x80000}, {55, 0x100000}};
    EXPECT_EQ(modifierFlags, expected);
}

TEST_F(Keys, BookkeepingIsPerFlag) {
    struct Step {
        KeyCode code;
        bool down;
        ModifierFlags after;
    };
    const std::vector<std::vector<Step>> sequences = {
        {{56, true, 0x20000}, {0, true, 0x20000}},
        {{55, true, 0x100000}, {58, true, 0x180000}},
        {{59, true, 0x40000}, {59, false, 0}},
        {{56, true, 0x20000}, {60, true, 0x20000}, {60, false, 0}},
        {{60, false, 0}},
        {{57, true, 0}},
        {{61, true, 0x80000}, {58, false, 0}},
    };
    for (const auto& steps : sequences) {
        modifiers = 0;
        for (const auto& s : steps) {
            keyEvent(s.code, s.down);
            EXPECT_EQ(modifiers, s.after) << s.code << (s.down ? " down" : " up");
        }
    }
}

TEST_F(Keys, ReleaseEmptiesTheHeldSet) {
    for (const KeyCode code : std::vector<KeyCode>{55, 56, 58, 59, 60, 61, 62}) {
        modifiers = 0;
        keyEvent(code, true);
        keyEvent(56, true);
        releaseModifiers();
        EXPECT_EQ(modifiers, 0u) << code;
    }
}

} // namespace

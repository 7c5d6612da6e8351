// The readers, key names, case mappings and the rendering of unknown actions.
#include "actions/render.h"
#include "events/input.h"
#include "events/keys.h"
#include "events/unicode.h"
#include "events/values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using nlohmann::json;

namespace {

std::string show(const std::optional<std::int64_t>& v) {
    return v ? std::to_string(*v) : "-";
}

TEST(Values, IntegersPidsPointsAndLines) {
    // clang-format off
    // JSON text -> integer; "-" is none. Booleans are never numbers.
    const std::pair<const char*, const char*> integers[] = {
        {"-7", "-7"}, {"2.0", "2"}, {"1e3", "1000"}, {"9223372036854775807", "9223372036854775807"},
        {"-9223372036854775808", "-9223372036854775808"}, {"9223372036854775808", "-"},
        {"2.5", "-"}, {"9.3e18", "-"}, {"-9.3e18", "-"}, {"1e308", "-"}, {"true", "-"},
        {"\"2\"", "-"}, {"null", "-"}};
    const std::pair<const char*, const char*> pids[] = {
        {"+123", "123"}, {"007", "7"}, {"-0", "0"}, {"2147483647", "2147483647"},
        {"-2147483648", "-2147483648"}, {"0000000000002147483647", "2147483647"},
        {"2147483648", "-"}, {"-2147483649", "-"}, {"99999999999999999999", "-"}, {"", "-"},
        {"+", "-"}, {"-", "-"}, {"+-1", "-"}, {" 1", "-"}, {"1 ", "-"}, {"12a", "-"},
        {"0x1F", "-"}, {"1.0", "-"}, {"1_000", "-"}, {"\xD9\xA1", "-"}};
    const std::pair<const char*, std::optional<Point>> points[] = {
        {"[10.5,-3,99]", Point{10.5, -3}}, {"[10]", {}}, {"\"10,20\"", {}}, {"{\"x\":1,\"y\":2}", {}},
        {"[10,\"20\"]", {}}, {"[10,20,\"x\"]", {}}, {"[true,false]", {}}, {"[1,2,null]", {}}};
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, std::int32_t> lines[] = {
        {3.9, 3}, {-3.9, -3}, {-0.7, 0}, {2147483647.9, 2147483647}, {-2147483648.5, -2147483648},
        {2147483648.0, 2147483647}, {-1e308, -2147483648}, {inf, 2147483647}, {std::nan(""), 0}};
    // clang-format on
    for (const auto& [text, expected] : integers)
        EXPECT_EQ(show(integerValue(json::parse(text))), expected) << text;
    for (const auto& [text, expected] : pids) {
        const auto pid = parsePid(text);
        EXPECT_EQ(show(pid ? std::optional<std::int64_t>(*pid) : std::nullopt), expected) << text;
    }
    for (const auto& [text, expected] : points) {
        const auto value = nlohmann::ordered_json::parse(text);
        EXPECT_EQ(point(&value), expected) << text;
    }
    EXPECT_EQ(point(nullptr), std::nullopt);
    for (const auto& [amount, expected] : lines)
        EXPECT_EQ(scrollLines(amount), expected) << amount;
}

TEST(Unicode, FullDefaultCaseMappingsWhateverTheLocale) {
    // Multi-character and context mappings need ICU's own tables, not only ASCII: these
    // hold in the static executables too, which carry no ICU data library.
    EXPECT_EQ(upperCase("straße"), "STRASSE");
    EXPECT_EQ(upperCase("ﬁ"), "FI");
    EXPECT_EQ(upperCase("ſ"), "S");
    EXPECT_EQ(upperCase("i"), "I");
    EXPECT_EQ(lowerCase("İ"), "i\xCC\x87");
    EXPECT_EQ(lowerCase("ΣΑΣ"), "σας");
    EXPECT_EQ(utf16("a😀"), std::u16string(u"a\xD83D\xDE00"));
    EXPECT_EQ(validUtf8("a\xff"), "a\xEF\xBF\xBD");
}

TEST(Keys, NamesResolveExactlyOrUpperCased) {
    State state;
    state.keyCodes = makeKeyCodes();
    // A name as written, else upper-cased by the full Unicode mapping (dotless i is I).
    const std::pair<const char*, KeyCode> known[] = {{"Enter", 36}, {"a", 0}, {"\xC4\xB1", 34}};
    for (const auto& [name, code] : known)
        EXPECT_EQ(key(state, name), code) << name;
    for (const std::string name : {"return", "SHIFT", " A", "", "\xC3\x9F"})
        EXPECT_EXIT(key(state, name), ::testing::ExitedWithCode(1), "^unknown key " + name + "\n$");
}

// One press or release of a modifier key: the flags the platform created its event with
// (the system's state, which lags behind the tool's own key-ups), and the flags it goes
// out with.
struct ModifierStep {
    ModifierFlags flag;
    bool down;
    ModifierFlags given;
    ModifierFlags sent;
};

struct ModifierRun {
    const char* name;
    std::vector<ModifierStep> steps;
    // The flags a later event goes out with when the state still shows Shift, Control and Fn.
    ModifierFlags later;
};

TEST(Modifiers, ReleasedOnesStayOffWhileTheSystemLags) {
    const ModifierFlags fn = 0x800000, lagging = shiftFlag | controlFlag | fn;
    const ModifierRun runs[] = {
        {"the tool's own, let go back to back",
         {{shiftFlag, true, 0, shiftFlag},
          {controlFlag, true, shiftFlag, shiftFlag | controlFlag},
          {shiftFlag, false, shiftFlag | controlFlag, controlFlag},
          {controlFlag, false, shiftFlag | controlFlag, 0}},
         fn},
        {"the user's Shift, shown before the tool pressed it",
         {{shiftFlag, true, shiftFlag, shiftFlag}, {shiftFlag, false, shiftFlag, shiftFlag}},
         lagging},
        {"pressed again while the state still shows the first press",
         {{shiftFlag, true, 0, shiftFlag},
          {shiftFlag, false, shiftFlag, 0},
          {shiftFlag, true, shiftFlag, shiftFlag},
          {shiftFlag, false, shiftFlag, 0}},
         controlFlag | fn},
        {"twins: the second press is the tool's as well",
         {{shiftFlag, true, 0, shiftFlag},
          {shiftFlag, true, shiftFlag, shiftFlag},
          {shiftFlag, false, shiftFlag, 0}},
         controlFlag | fn}};
    for (const ModifierRun& run : runs) {
        State state;
        for (std::size_t i = 0; i < run.steps.size(); ++i) {
            const ModifierStep& step = run.steps[i];
            modifierKey(state, step.flag, step.down, step.given);
            EXPECT_EQ(outgoingFlags(state, step.given), step.sent) << run.name << ", step " << i;
        }
        EXPECT_EQ(outgoingFlags(state, lagging), run.later) << run.name << ", later";
    }
}

TEST(Render, ActionObjectsAsWrittenAtAnyDepth) {
    const std::pair<std::string, std::string> cases[] = {
        {"{}", "[:]"},
        {R"({"count":2,"click":[1,2]})", R"(["count": 2, "click": [1,2]])"},
        {R"({"wait":1,"wait":"soon"})", R"(["wait": "soon"])"},
        {R"({"a":{"c":[],"b":[true,null,1.5,{}]}})", R"(["a": {"c":[],"b":[true,null,1.5,{}]}])"},
        {R"({"q\"k":"line\nbreak","e":"é😀"})", R"(["q\"k": "line\nbreak", "e": "é😀"])"},
        {R"({"big":18446744073709551615,"neg":-1e308})",
         R"(["big": 18446744073709551615, "neg": -1e+308])"},
        // Deeper than any recursive writer could go on a default stack.
        {"{\"x\":" + std::string(200000, '[') + std::string(200000, ']') + "}",
         "[\"x\": " + std::string(200000, '[') + std::string(200000, ']') + "]"}};
    for (const auto& [text, rendered] : cases)
        EXPECT_EQ(renderAction(nlohmann::ordered_json::parse(text)), rendered);
}

} // namespace

// Reading values from action lists and arguments.
#include "events/events.h"
#include "main/values.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

TEST(Values, IntegerValue) {
    const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
        {"0", 0},
        {"-7", -7},
        {"2.0", 2},
        {"1e3", 1000},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
        {"18446744073709551615", std::nullopt},
        {"2.5", std::nullopt},
        {"9.3e18", std::nullopt},
        {"-9.3e18", std::nullopt},
        {"1e308", std::nullopt},
        {"true", std::nullopt},
        {"false", std::nullopt},
        {"\"2\"", std::nullopt},
        {"null", std::nullopt},
        {"[2]", std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(integerValue(json::parse(text)), expected) << text;
}

TEST(Values, PidGrammar) {
    const std::pair<const char*, std::optional<std::int32_t>> cases[] = {
        {"+123", 123},
        {"007", 7},
        {"-0", 0},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"0000000000002147483647", INT32_MAX},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"+-1", std::nullopt},
        {"--1", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"1 2", std::nullopt},
        {"12a", std::nullopt},
        {"0x1F", std::nullopt},
        {"1.0", std::nullopt},
        {"1_000", std::nullopt},
        {"\xD9\xA1", std::nullopt}, // ARABIC-INDIC DIGIT ONE
        {"１", std::nullopt},       // fullwidth digit
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(parsePid(text), expected) << text;
}

TEST(Values, Points) {
    const std::pair<const char*, std::optional<Point>> cases[] = {
        {"[100,200]", Point{100, 200}},
        {"[10.5,-3,99]", Point{10.5, -3}},
        {"[0,0]", Point{0, 0}},
        {"[10]", std::nullopt},
        {"[]", std::nullopt},
        {"\"10,20\"", std::nullopt},
        {"{\"x\":1,\"y\":2}", std::nullopt},
        {"null", std::nullopt},
        {"true", std::nullopt},
        {"[10,\"20\"]", std::nullopt},
        {"[10,20,\"x\"]", std::nullopt},
        {"[true,false]", std::nullopt},
        {"[1,2,null]", std::nullopt},
        {"[[1],2]", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        const auto value = nlohmann::ordered_json::parse(text);
        EXPECT_EQ(point(&value), expected) << text;
    }
    EXPECT_EQ(point(nullptr), std::nullopt);
}

TEST(Values, ScrollLinesTruncateTowardZeroAndClamp) {
    const std::pair<double, std::int32_t> cases[] = {
        {3.9, 3},
        {-3.9, -3},
        {0.4, 0},
        {-0.7, 0},
        {2147483647.9, 2147483647},
        {-2147483648.5, -2147483648},
        {2147483648.0, 2147483647},
        {1e308, 2147483647},
        {-1e308, -2147483648},
        {std::numeric_limits<double>::infinity(), 2147483647},
        {-std::numeric_limits<double>::infinity(), -2147483648},
        {std::numeric_limits<double>::quiet_NaN(), 0},
    };
    for (const auto& [amount, lines] : cases)
        EXPECT_EQ(scrollLines(amount), lines) << amount;
}

TEST(Values, CaseMappingsAreUnicodeDefaults) {
    EXPECT_EQ(upperCase("straße"), "STRASSE");
    EXPECT_EQ(upperCase("ﬀ"), "FF");
    EXPECT_EQ(lowerCase("COM.Roblox.RobloxStudio"), "com.roblox.robloxstudio");
    EXPECT_EQ(lowerCase("ΣΑΣ"), "σας"); // final sigma, independent of locale
    EXPECT_EQ(upperCase("i"), "I");     // no Turkish dotted capital whatever the locale
    EXPECT_EQ(utf16("a😀"), std::u16string(u"a\xD83D\xDE00"));
}

} // namespace

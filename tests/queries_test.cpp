// trusted, windows and activate, end to end on the simulated desktop.
#include "process.h"

#include <gtest/gtest.h>

using nlohmann::json;
using Lines = std::vector<std::string>;

namespace {

TEST(Trusted, PromptOnlyForTheExactOption) {
    struct Case {
        std::vector<std::string> args;
        bool trusted;
        bool prompt;
    };
    const Case cases[] = {
        {{"trusted"}, true, false},
        {{"trusted"}, false, false},
        {{"trusted", "--prompt"}, false, true},
        {{"trusted", "x", "--prompt", "y"}, true, true},
        {{"trusted", "--prompt", "--prompt"}, true, true},
        {{"trusted", "--Prompt"}, true, false},
        {{"trusted", "--prompt=true"}, true, false},
        {{"trusted", "-prompt"}, true, false},
        {{"trusted", "-p"}, true, false},
        {{"trusted", " --prompt"}, true, false},
    };
    for (const auto& c : cases) {
        const Outcome o = runSim(c.args, json{{"trusted", c.trusted}});
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.out, c.trusted ? "{\"trusted\":true}\n" : "{\"trusted\":false}\n");
        EXPECT_EQ(brief(o.trace),
                  (Lines{"source", std::string("trusted prompt=") + (c.prompt ? "true" : "false")}))
            << c.args.back();
    }
}

TEST(Trusted, DefaultDesktopIsTrusted) {
    const Outcome o = runSim({"trusted"});
    EXPECT_EQ(o.out, "{\"trusted\":true}\n");
}

const json apps = {
    {{"pid", 10}, {"bundleId", "com.roblox.RobloxStudio"}},
    {{"pid", 11}, {"bundleId", "XROBLOXSTUDIOX"}},
    {{"pid", 12}, {"bundleId", "com.apple.Safari"}},
    {{"pid", 13}, {"bundleId", nullptr}},
    {{"pid", 14}},
    {{"pid", -5}, {"bundleId", "robloxstudio"}},
    {{"pid", 15}, {"bundleId", "roblox studio"}},
};

json window(json owner, json layer = 0) {
    return {{"kCGWindowOwnerPID", owner},
            {"kCGWindowLayer", layer},
            {"kCGWindowNumber", 100},
            {"kCGWindowName", "Main"},
            {"kCGWindowBounds", {{"X", 1}, {"Y", 2.5}, {"Width", 800}, {"Height", 600}}}};
}

std::string listed(const json& windows) {
    return runSim({"windows"}, json{{"apps", apps}, {"windows", windows}}).out;
}

const std::string mainEntry10 =
    R"({"id":100,"pid":10,"title":"Main","x":1.0,"y":2.5,"w":800.0,"h":600.0})";

TEST(Windows, OnlyTheTargetsNormalLayerWindowsInListOrder) {
    json w1 = window(11), w2 = window(10);
    w1["kCGWindowNumber"] = 7;
    w1["kCGWindowName"] = "Second";
    const json list = {window(12),
                       w1,
                       window(13),
                       window(14),
                       window(99),
                       window(10, 3),
                       window(10, nullptr),
                       window(10, "0"),
                       window(10, 0.5),
                       window(15),
                       w2,
                       window(-5)};
    const Outcome o = runSim({"windows"}, json{{"apps", apps}, {"windows", list}});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out,
              "["
              R"({"id":7,"pid":11,"title":"Second","x":1.0,"y":2.5,"w":800.0,"h":600.0},)" +
                  mainEntry10 + "," +
                  R"({"id":100,"pid":-5,"title":"Main","x":1.0,"y":2.5,"w":800.0,"h":600.0}])"
                  "\n");
    // Every window's owner is looked up, target or not, and nothing is cached.
    EXPECT_EQ(brief(o.trace),
              (Lines{"source", "windows", "lookup 12", "lookup 11", "lookup 13", "lookup 14",
                     "lookup 99", "lookup 10", "lookup 10", "lookup 10", "lookup 10", "lookup 15",
                     "lookup 10", "lookup -5"}));
}

TEST(Windows, UnreadableListsGiveAnEmptyArray) {
    for (const json& list :
         {json(nullptr), json::object(), json("x"), json(5), json::array(), json{window(10), 3},
          json{window(10), json::array()}, json{window(10), nullptr}}) {
        EXPECT_EQ(listed(list), "[]\n") << list.dump();
    }
}

TEST(Windows, EntryFieldsFollowTheReadingRules) {
    auto with = [](const char* key, json value) {
        json w = window(10);
        if (value.is_discarded())
            w.erase(key);
        else
            w[key] = value;
        return w;
    };
    const json gone = json(json::value_t::discarded);
    struct Case {
        json window;
        std::string entry;
    };
    const Case cases[] = {
        {with("kCGWindowName", gone),
         R"({"id":100,"pid":10,"title":"","x":1.0,"y":2.5,"w":800.0,"h":600.0})"},
        {with("kCGWindowName", 5),
         R"({"id":100,"pid":10,"title":"","x":1.0,"y":2.5,"w":800.0,"h":600.0})"},
        {with("kCGWindowNumber", gone),
         R"({"id":0,"pid":10,"title":"Main","x":1.0,"y":2.5,"w":800.0,"h":600.0})"},
        {with("kCGWindowNumber", 3.5),
         R"({"id":0,"pid":10,"title":"Main","x":1.0,"y":2.5,"w":800.0,"h":600.0})"},
        {with("kCGWindowNumber", true),
         R"({"id":0,"pid":10,"title":"Main","x":1.0,"y":2.5,"w":800.0,"h":600.0})"},
        {with("kCGWindowNumber", 42.0),
         R"({"id":42,"pid":10,"title":"Main","x":1.0,"y":2.5,"w":800.0,"h":600.0})"},
        {with("kCGWindowNumber", json(9223372036854775807LL)),
         R"({"id":9223372036854775807,"pid":10,"title":"Main","x":1.0,"y":2.5,"w":800.0,"h":600.0})"},
        {with("kCGWindowNumber", json(9223372036854775808ULL)),
         R"({"id":0,"pid":10,"title":"Main","x":1.0,"y":2.5,"w":800.0,"h":600.0})"},
        {with("kCGWindowOwnerPID", 10.0), mainEntry10},
        {with("kCGWindowBounds", gone),
         R"({"id":100,"pid":10,"title":"Main","x":0.0,"y":0.0,"w":0.0,"h":0.0})"},
        {with("kCGWindowBounds", json{1, 2, 3, 4}),
         R"({"id":100,"pid":10,"title":"Main","x":0.0,"y":0.0,"w":0.0,"h":0.0})"},
        {with("kCGWindowBounds", json{{"X", 1}, {"Y", 2}, {"Width", 3}, {"Height", "4"}}),
         R"({"id":100,"pid":10,"title":"Main","x":0.0,"y":0.0,"w":0.0,"h":0.0})"},
        {with("kCGWindowBounds",
              json{{"X", 1}, {"Y", 2}, {"Width", 3}, {"Height", 4}, {"Extra", true}}),
         R"({"id":100,"pid":10,"title":"Main","x":0.0,"y":0.0,"w":0.0,"h":0.0})"},
        {with("kCGWindowBounds",
              json{{"X", 1}, {"Y", 2}, {"Width", 3}, {"Height", 4}, {"Odd", 9007199254740993LL}}),
         R"({"id":100,"pid":10,"title":"Main","x":0.0,"y":0.0,"w":0.0,"h":0.0})"},
        {with("kCGWindowBounds", json{{"X", -5}, {"Y", 2}, {"Height", 4}, {"Extra", 1}}),
         R"({"id":100,"pid":10,"title":"Main","x":-5.0,"y":2.0,"w":0.0,"h":4.0})"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(listed(json{c.window}), "[" + c.entry + "]\n") << c.window.dump();
}

TEST(Windows, OwnersOutsideThirtyTwoBitsAreLeftOut) {
    const json list = {window(json(4294967306LL)), window(json(-2147483649LL)), window(10)};
    const Outcome o = runSim({"windows"}, json{{"apps", apps}, {"windows", list}});
    EXPECT_EQ(o.out, "[" + mainEntry10 + "]\n");
    EXPECT_EQ(brief(o.trace), (Lines{"source", "windows", "lookup 10"}));
}

TEST(Windows, MissingOwnerIsPidZero) {
    json w = window(10);
    w.erase("kCGWindowOwnerPID");
    const Outcome o =
        runSim({"windows"}, json{{"apps", json{{{"pid", 0}, {"bundleId", "robloxstudio"}}}},
                                 {"windows", json{w}}});
    EXPECT_EQ(o.out, R"([{"id":100,"pid":0,"title":"Main","x":1.0,"y":2.5,"w":800.0,"h":600.0}])"
                     "\n");
}

TEST(Activate, ParsesThePidAndLooksItUp) {
    const json desktop = {{"apps", json{{{"pid", 123}},
                                        {{"pid", 7}},
                                        {{"pid", 0}},
                                        {{"pid", 2147483647}},
                                        {{"pid", -2147483648}}}}};
    const std::pair<std::string, int> accepted[] = {{"+123", 123},
                                                    {"007", 7},
                                                    {"-0", 0},
                                                    {"2147483647", 2147483647},
                                                    {"-2147483648", -2147483648}};
    for (const auto& [arg, pid] : accepted) {
        const Outcome o = runSim({"activate", arg, "extra"}, desktop);
        EXPECT_EQ(o.status, 0) << arg;
        EXPECT_EQ(o.out, "{\"ok\":true}\n");
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(brief(o.trace), (Lines{"source", "lookup " + std::to_string(pid),
                                         "activate " + std::to_string(pid)}));
    }
}

TEST(Activate, BadPids) {
    const json desktop = {{"apps", json{{{"pid", 1}}, {{"pid", 12}}}}};
    for (const std::string arg : {"", " 1", "1 ", "12a", "0x1F", "1.0", "1_000", "+", "-", "+-1",
                                  "2147483648", "-2147483649", "１"}) {
        const Outcome o = runSim({"activate", arg}, desktop);
        EXPECT_EQ(o.status, 1) << arg;
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, "bad pid\n");
        EXPECT_EQ(brief(o.trace), Lines{"source"}) << arg; // no lookup
    }
    const Outcome missing = runSim({"activate"}, desktop);
    EXPECT_EQ(missing.err, "bad pid\n");
    EXPECT_EQ(brief(missing.trace), Lines{"source"});

    const Outcome notRunning = runSim({"activate", "-12"}, desktop);
    EXPECT_EQ(notRunning.status, 1);
    EXPECT_EQ(notRunning.err, "bad pid\n");
    EXPECT_EQ(brief(notRunning.trace), (Lines{"source", "lookup -12"}));
}

} // namespace

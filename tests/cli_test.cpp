// The command front end and the simulated desktop's own interface, end to end.
#include "process.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

const std::string usage = "usage: marnith-input trusted|windows|activate|run\n";

TEST(Dispatch, FailuresWriteOneLineOnStderrOnly) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{}, usage},
        {{"Run"}, "unknown command Run\n"},
        {{"TRUSTED"}, "unknown command TRUSTED\n"},
        {{""}, "unknown command \n"},
        {{" run"}, "unknown command  run\n"},
        {{"help", "run"}, "unknown command help\n"},
    };
    for (const auto& c : cases) {
        const Outcome o = runSim(c.args);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, c.err);
        // Nothing but the event source has been asked of the platform.
        EXPECT_EQ(brief(o.trace), std::vector<std::string>{"source"});
    }
}

TEST(Dispatch, ExtraArgumentsAreIgnored) {
    const json desktop = {{"apps", {{{"pid", 7}, {"bundleId", "com.roblox.robloxstudio"}}}},
                          {"windows", {{{"kCGWindowOwnerPID", 7}, {"kCGWindowLayer", 0}}}}};
    const Outcome plain = runSim({"windows"}, desktop);
    const Outcome extra = runSim({"windows", "a", "b"}, desktop);
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out, R"([{"id":0,"pid":7,"title":"","x":0.0,"y":0.0,"w":0.0,"h":0.0}])"
                         "\n");
    EXPECT_EQ(extra.out, plain.out);
    EXPECT_EQ(extra.trace, plain.trace);
}

TEST(SimulatedDesktop, BadDesktopFilesEndWithStatusTwo) {
    const std::pair<std::string, std::string> cases[] = {
        {"{", "simulated desktop: "},
        {"[]", "simulated desktop: the desktop must be a JSON object\n"},
        {R"({"trusted":1})", "simulated desktop: \"trusted\" must be a boolean\n"},
        {R"({"pointer":[1]})", "simulated desktop: \"pointer\" must be [x, y] or null\n"},
        {R"({"pointer":[1,true]})", "simulated desktop: \"pointer\" must be [x, y] or null\n"},
        {R"({"frontmost":[1.5]})",
         "simulated desktop: \"frontmost\" must be an array of pids (integer or null)\n"},
        {R"({"frontmost":7})", "simulated desktop: \"frontmost\" must be an array of pids\n"},
        {R"({"apps":[{"bundleId":"x"}]})",
         "simulated desktop: each app must be an object with an integer \"pid\"\n"},
        {R"({"apps":[{"pid":1,"bundleId":3}]})",
         "simulated desktop: an app's \"bundleId\" must be a string or null\n"},
        {R"({"refuse":["pen"]})",
         "simulated desktop: \"refuse\" holds only \"keyboard\", \"mouse\" and \"scroll\"\n"},
        {R"({"realTime":"yes"})", "simulated desktop: \"realTime\" must be a boolean\n"},
    };
    for (const auto& [text, err] : cases) {
        const Outcome o = runSimRaw({"trusted"}, text);
        EXPECT_EQ(o.status, 2) << text;
        EXPECT_EQ(o.out, "") << text;
        EXPECT_EQ(o.err.rfind(err, 0), 0u) << text << " gave " << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << text;
    }
}

TEST(SimulatedDesktop, DeeplyNestedValuesDoNotExhaustTheStack) {
    // Found by fuzzing: the desktop's window list was copied, one call per level.
    const std::size_t depth = 200000;
    const std::string deep = std::string(depth, '[') + std::string(depth, ']');
    const Outcome windows = runSimRaw({"windows"}, "{\"windows\":" + deep + "}");
    EXPECT_EQ(windows.status, 0);
    EXPECT_EQ(windows.out, "[]\n");
    const Outcome apps = runSimRaw({"windows"}, "{\"apps\":[{\"pid\":1,\"extra\":" + deep + "}]}");
    EXPECT_EQ(apps.status, 0);
    EXPECT_EQ(apps.out, "[]\n");
}

TEST(SimulatedDesktop, TraceLinesHaveTheirExactShape) {
    const json desktop = {{"pointer", {12.5, 7}}, {"frontmost", {42}}};
    const std::string actions =
        R"([{"click":[1,2]},{"scroll":-2.5},{"keyDown":"Shift"},{"text":"é"}])";
    const Outcome o = runSim({"run", actions, "42"}, desktop);
    ASSERT_EQ(o.status, 0) << o.err;
    const std::vector<json> expected = {
        {{"op", "source"}},
        {{"op", "trusted"}},
        {{"op", "pointer"}},
        {{"op", "frontmost"}, {"pid", 42}},
        {{"op", "post"},
         {"kind", "mouse"},
         {"type", 5},
         {"x", 1.0},
         {"y", 2.0},
         {"button", 0},
         {"clicks", 1},
         {"flags", 0}},
        {{"op", "sleep"}, {"us", 30000}},
        {{"op", "post"},
         {"kind", "mouse"},
         {"type", 1},
         {"x", 1.0},
         {"y", 2.0},
         {"button", 0},
         {"clicks", 1},
         {"flags", 0}},
        {{"op", "sleep"}, {"us", 20000}},
        {{"op", "post"},
         {"kind", "mouse"},
         {"type", 2},
         {"x", 1.0},
         {"y", 2.0},
         {"button", 0},
         {"clicks", 1},
         {"flags", 0}},
        {{"op", "sleep"}, {"us", 40000}},
        {{"op", "sleep"}, {"us", 15000}},
        {{"op", "frontmost"}, {"pid", 42}},
        {{"op", "post"}, {"kind", "scroll"}, {"lines", -2}, {"flags", 0}},
        {{"op", "sleep"}, {"us", 15000}},
        {{"op", "frontmost"}, {"pid", 42}},
        {{"op", "post"}, {"kind", "key"}, {"code", 56}, {"down", true}, {"flags", 0x20000}},
        {{"op", "sleep"}, {"us", 15000}},
        {{"op", "frontmost"}, {"pid", 42}},
        {{"op", "post"},
         {"kind", "key"},
         {"code", 0},
         {"down", true},
         {"flags", 0x20000},
         {"text", "é"}},
        {{"op", "post"},
         {"kind", "key"},
         {"code", 0},
         {"down", false},
         {"flags", 0x20000},
         {"text", "é"}},
        {{"op", "sleep"}, {"us", 8000}},
        {{"op", "sleep"}, {"us", 15000}},
        {{"op", "post"}, {"kind", "key"}, {"code", 56}, {"down", false}, {"flags", 0}},
    };
    EXPECT_EQ(o.trace, expected);
    EXPECT_EQ(o.out, "{\"ok\":true,\"done\":4}\n");
}

TEST(SimulatedDesktop, EveryTraceLineCarriesAMonotonicTime) {
    const Outcome o = runSim({"run", R"([{"wait":20},{"wait":1}])"}, json{{"realTime", true}});
    ASSERT_EQ(o.status, 0);
    ASSERT_EQ(brief(o.trace),
              (std::vector<std::string>{"source", "trusted", "pointer", "sleep 20000",
                                        "sleep 15000", "sleep 1000", "sleep 15000"}));
    ASSERT_EQ(o.times.size(), o.trace.size());
    for (std::size_t i = 0; i < o.times.size(); ++i) {
        ASSERT_TRUE(o.times[i].is_number_integer()) << i;
        EXPECT_GE(o.times[i].get<long long>(), i ? o.times[i - 1].get<long long>() : 0) << i;
    }
    // The sleeps really slept: the line after the 20 ms wait comes at least 20 ms later.
    EXPECT_GE(o.times[4].get<long long>() - o.times[3].get<long long>(), 20000);
}

} // namespace

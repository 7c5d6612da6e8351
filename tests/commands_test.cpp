// Dispatch, trusted, windows and activate end to end, and the simulated desktop's own
// interface: its desktop file and its trace.
#include "process.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

TEST(Dispatch, FailuresWriteOneLineOnStderrOnly) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "usage: marnith-input trusted|windows|activate|run"},
        {{"Run"}, "unknown command Run"},
        {{""}, "unknown command "},
        {{" run", "run"}, "unknown command  run"},
        {{"ab\xff"
          "c"},
         "unknown command ab\xEF\xBF\xBD"
         "c"}, // U+FFFD for the bad byte
    };
    for (const auto& [args, err] : cases) {
        const Outcome o = runSim(args);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, err + "\n");
        EXPECT_EQ(brief(o.trace), "source"); // nothing else asked of the platform
    }
}

TEST(Trusted, PromptOnlyForTheExactOption) {
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{"trusted"}, false},
        {{"trusted", "x", "--prompt", "y", "--prompt"}, true},
        {{"trusted", "--Prompt", "--prompt=true", "-p", " --prompt", "\xff"}, false},
    };
    for (const bool trusted : {true, false}) {
        for (const auto& [args, prompt] : cases) {
            const Outcome o = runSim(args, json{{"trusted", trusted}});
            EXPECT_EQ(o.status, 0);
            EXPECT_EQ(o.out + o.err, trusted ? "{\"trusted\":true}\n" : "{\"trusted\":false}\n");
            EXPECT_EQ(brief(o.trace), prompt ? "source; trusted true" : "source; trusted false");
        }
    }
    EXPECT_EQ(runSim({"trusted"}).out, "{\"trusted\":true}\n"); // the default desktop
}

const json apps = {
    {{"pid", 10}, {"bundleId", "com.roblox.RobloxStudio"}},
    {{"pid", 11}, {"bundleId", "XROBLOXSTUDIOX"}},
    {{"pid", 12}, {"bundleId", "com.apple.Safari"}},
    {{"pid", 13}, {"bundleId", nullptr}},
    {{"pid", 14}},
    {{"pid", -5}, {"bundleId", "robloxstudio"}},
    {{"pid", 0}, {"bundleId", "ROBLOXSTUDİO"}}, // İ lowers to i and a combining dot
};

json window(json owner, json layer = 0) {
    return {{"kCGWindowOwnerPID", owner},
            {"kCGWindowLayer", layer},
            {"kCGWindowNumber", 100},
            {"kCGWindowName", "Main"},
            {"kCGWindowBounds", {{"X", 1}, {"Y", 2.5}, {"Width", 800}, {"Height", 600}}}};
}

std::string entry(const std::string& id, const std::string& pid, const std::string& rest) {
    return R"({"id":)" + id + R"(,"pid":)" + pid + rest + "}";
}
const std::string mainRest = R"(,"title":"Main","x":1.0,"y":2.5,"w":800.0,"h":600.0)";
const std::string zeroBounds = R"(,"title":"Main","x":0.0,"y":0.0,"w":0.0,"h":0.0)";

TEST(Windows, OnlyTheTargetsNormalLayerWindowsInListOrder) {
    json second = window(11);
    second["kCGWindowNumber"] = 7;
    json nameless = window(json(4294967306LL)), noOwner = window(10);
    noOwner.erase("kCGWindowOwnerPID");
    const json list = {window(12),
                       second,
                       window(13),
                       window(14),
                       window(99),
                       window(10, 3),
                       window(10, nullptr),
                       window(10, "0"),
                       window(10, 0.5),
                       nameless,
                       window(10),
                       window(-5),
                       noOwner,
                       window(-2147483649LL)};
    const Outcome o = runSim({"windows", "extra"}, json{{"apps", apps}, {"windows", list}});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "[" + entry("7", "11", mainRest) + "," + entry("100", "10", mainRest) + "," +
                         entry("100", "-5", mainRest) + "]\n");
    // Every owner in range is looked up, target or not, and nothing is cached.
    EXPECT_EQ(brief(o.trace), "source; windows; lookup 12; lookup 11; lookup 13; lookup 14; "
                              "lookup 99; lookup 10; lookup 10; lookup 10; lookup 10; "
                              "lookup 10; lookup -5; lookup 0");
    for (const json& unreadable : {json(nullptr), json::object(), json(5), json::array(),
                                   json{window(10), 3}, json{window(10), nullptr}})
        EXPECT_EQ(runSim({"windows"}, json{{"apps", apps}, {"windows", unreadable}}).out, "[]\n");
}

TEST(Windows, EntryFieldsFollowTheReadingRules) {
    const json gone = json(json::value_t::discarded);
    const std::tuple<const char*, json, std::string> cases[] = {
        {"kCGWindowName", gone, entry("100", "10", R"(,"title":"")" + mainRest.substr(15))},
        {"kCGWindowName", 5, entry("100", "10", R"(,"title":"")" + mainRest.substr(15))},
        {"kCGWindowNumber", 3.5, entry("0", "10", mainRest)},
        {"kCGWindowNumber", true, entry("0", "10", mainRest)},
        {"kCGWindowNumber", 42.0, entry("42", "10", mainRest)},
        {"kCGWindowNumber", json(9223372036854775807LL),
         entry("9223372036854775807", "10", mainRest)},
        {"kCGWindowNumber", json(9223372036854775808ULL), entry("0", "10", mainRest)},
        {"kCGWindowOwnerPID", 10.0, entry("100", "10", mainRest)},
        {"kCGWindowBounds", gone, entry("100", "10", zeroBounds)},
        {"kCGWindowBounds", json{1, 2, 3, 4}, entry("100", "10", zeroBounds)},
        {"kCGWindowBounds", json{{"X", 1}, {"Y", 2}, {"Width", 3}, {"Height", "4"}},
         entry("100", "10", zeroBounds)},
        {"kCGWindowBounds", json{{"X", 1}, {"Height", 4}, {"Odd", 9007199254740993LL}},
         entry("100", "10", zeroBounds)},
        {"kCGWindowBounds", json{{"X", -5}, {"Y", 2}, {"Height", 4}, {"Extra", 1}},
         entry("100", "10", R"(,"title":"Main","x":-5.0,"y":2.0,"w":0.0,"h":4.0)")},
    };
    for (const auto& [key, value, expected] : cases) {
        json w = window(10);
        if (value.is_discarded())
            w.erase(key);
        else
            w[key] = value;
        EXPECT_EQ(runSim({"windows"}, json{{"apps", apps}, {"windows", {w}}}).out,
                  "[" + expected + "]\n")
            << w.dump();
    }
}

TEST(Activate, ParsesThePidAndLooksItUp) {
    const json desktop = {{"apps", {{{"pid", 123}}, {{"pid", 0}}, {{"pid", -2147483648}}}}};
    for (const auto& [arg, pid] : std::vector<std::pair<std::string, std::string>>{
             {"+123", "123"}, {"-0", "0"}, {"-2147483648", "-2147483648"}}) {
        const Outcome o = runSim({"activate", arg, "extra"}, desktop);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.out + o.err, "{\"ok\":true}\n");
        EXPECT_EQ(brief(o.trace), "source; lookup " + pid + "; activate " + pid);
    }
    // Malformed: no lookup at all. Well-formed but not running: looked up, then refused.
    for (const auto& [args, trace] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"activate"}, "source"},
             {{"activate", ""}, "source"},
             {{"activate", "0x1F"}, "source"},
             {{"activate", "1\xff"}, "source"},
             {{"activate", "-12"}, "source; lookup -12"}}) {
        const Outcome o = runSim(args, desktop);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out + o.err, "bad pid\n");
        EXPECT_EQ(brief(o.trace), trace);
    }
}

TEST(SimulatedDesktop, BadDesktopFilesEndWithStatusTwo) {
    const std::pair<std::string, std::string> cases[] = {
        {"{", "is not valid JSON"},
        {"[]", "the desktop must be a JSON object"},
        {R"({"trusted":1})", "\"trusted\" must be a boolean"},
        {R"({"pointer":[1,true]})", "\"pointer\" must be [x, y] or null"},
        {R"({"frontmost":[1.5]})", "\"frontmost\" must be an array of pids (integer or null)"},
        {R"({"frontmost":7})", "\"frontmost\" must be an array of pids"},
        {R"({"apps":[{"bundleId":"x"}]})", "each app must be an object with an integer \"pid\""},
        {R"({"apps":[{"pid":1,"bundleId":3}]})", "an app's \"bundleId\" must be a string or null"},
        {R"({"refuse":["pen"]})", "\"refuse\" holds only \"keyboard\", \"mouse\" and \"scroll\""},
        {R"({"realTime":"yes"})", "\"realTime\" must be a boolean"},
    };
    for (const auto& [text, reason] : cases) {
        const Outcome o = finish(startSim({"trusted"}, text));
        EXPECT_EQ(o.status, 2) << text;
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err.rfind("simulated desktop: ", 0), 0u) << o.err;
        EXPECT_EQ(o.err.substr(o.err.size() - reason.size() - 1), reason + "\n") << o.err;
    }
    // Found by fuzzing: deeply nested values were copied, one call per level.
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    for (const std::string& desktop :
         {"{\"windows\":" + deep + "}", "{\"apps\":[{\"pid\":1,\"extra\":" + deep + "}]}"})
        EXPECT_EQ(finish(startSim({"windows"}, desktop)).out, "[]\n");
}

TEST(SimulatedDesktop, TraceLinesHaveTheirExactShapeAndTime) {
    const Outcome o =
        runSim({"run", R"([{"click":[1,2]},{"scroll":-2.5},{"text":"é"},{"wait":20}])", "42"},
               json{{"pointer", {12.5, 7}}, {"frontmost", {42}}, {"realTime", true}});
    ASSERT_EQ(o.status, 0) << o.err;
    const auto line = [&](std::size_t i) { return o.trace.at(i).dump(); };
    EXPECT_EQ(line(0) + line(1) + line(2) + line(3),
              R"({"op":"source"}{"op":"trusted"}{"op":"pointer"}{"op":"frontmost","pid":42})");
    EXPECT_EQ(line(5), R"({"op":"sleep","us":30000})");
    EXPECT_EQ(line(6), R"({"button":0,"clicks":1,"flags":0,"kind":"mouse","op":"post","type":1,)"
                       R"("x":1.0,"y":2.0})");
    EXPECT_EQ(line(12), R"({"flags":0,"kind":"scroll","lines":-2,"op":"post"})");
    EXPECT_EQ(line(15), R"({"code":0,"down":true,"flags":0,"kind":"key","op":"post","text":"é"})");
    // Every line carries a monotonic time, and the sleeps really slept (a pause that
    // follows another is counted from the end the previous one was due, so it may come
    // out shorter by less than a millisecond).
    for (std::size_t i = 1; i < o.times.size(); ++i)
        EXPECT_GE(o.times[i], o.times[i - 1]) << i;
    EXPECT_GT(o.times.back() - o.times[o.times.size() - 2], 19000);
}

} // namespace

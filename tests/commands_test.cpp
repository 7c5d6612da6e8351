// The simulated desktop's own interface: its desktop file and its trace. The commands
// themselves are in tests/cases/commands.txt.
#include "process.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

TEST(SimulatedDesktop, BadDesktopFilesEndWithStatusTwo) {
    const std::pair<std::string, std::string> cases[] = {
        {"{", "is not valid JSON"},
        {"[]", "the desktop must be a JSON object"},
        {R"({"trusted":1})", "\"trusted\" must be a boolean"},
        {R"({"pointer":[1]})", "\"pointer\" must be [x, y] or null"},
        {R"({"frontmost":42})", "\"frontmost\" must be an array of pids"},
        {R"({"frontmost":[1.5]})", "\"frontmost\" must be an array of pids (integer or null)"},
        {R"({"apps":{}})", "\"apps\" must be an array"},
        {R"({"apps":[{"pid":4294967296}]})", "each app must be an object with an integer \"pid\""},
        {R"({"apps":[{"pid":1,"bundleId":7}]})", "an app's \"bundleId\" must be a string or null"},
        {R"({"refuse":"keyboard"})", "\"refuse\" must be an array"},
        {R"({"refuse":["pen"]})", "\"refuse\" holds only \"keyboard\", \"mouse\" and \"scroll\""},
        {R"({"realTime":"yes"})", "\"realTime\" must be a boolean"}};
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

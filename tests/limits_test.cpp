// Input at the limits of what a host can pass: the largest argument, the deepest
// nesting, huge numbers, long texts and bytes that are not UTF-8.
#include "process.h"

#include <gtest/gtest.h>

using nlohmann::json;
using Lines = std::vector<std::string>;

namespace {

// The longest single argument Linux passes to a program (MAX_ARG_STRLEN less the NUL).
constexpr std::size_t largestArgument = 131072 - 1;

// An action list of exactly the given size: wait actions padded with spaces.
std::string listOfSize(std::size_t size, std::size_t& actions) {
    const std::string one = R"({"wait":0},)";
    std::string list = "[";
    actions = 0;
    while (list.size() + one.size() + 1 <= size) {
        list += one;
        ++actions;
    }
    list.back() = ' ';
    list += std::string(size - list.size() - 1, ' ') + "]";
    return list;
}

TEST(Limits, TheLargestActionListRuns) {
    std::size_t actions = 0;
    const std::string list = listOfSize(largestArgument, actions);
    ASSERT_EQ(list.size(), largestArgument);
    const Outcome o = runSim({"run", list});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "{\"ok\":true,\"done\":" + std::to_string(actions) + "}\n");
    EXPECT_EQ(o.trace.size(), 3 + 2 * actions);
}

TEST(Limits, TheDeepestNestingIsRenderedWhole) {
    const std::string head = R"([{"x":)", tail = "}]";
    const std::size_t depth = (largestArgument - head.size() - tail.size()) / 2;
    const std::string deep = std::string(depth, '[') + std::string(depth, ']');
    const Outcome o = runSim({"run", head + deep + tail});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "unknown action [\"x\": " + deep + "]\n");

    const Outcome list = runSim({"run", std::string(depth, '[') + std::string(depth, ']')});
    EXPECT_EQ(list.err, "bad actions json\n");
}

TEST(Limits, TheWidestObjectIsRenderedWhole) {
    std::string object = "{";
    std::string rendered = "[";
    for (int i = 0;; ++i) {
        const std::string key = "\"k" + std::to_string(i) + "\"";
        if (object.size() + key.size() + 3 + 2 > largestArgument)
            break;
        object += (i ? "," : "") + key + ":0";
        rendered += (i ? ", " : "") + key + ": 0";
    }
    const Outcome o = runSim({"run", "[" + object + "}]"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "unknown action " + rendered + "]\n"); // in the order written
}

TEST(Limits, LongTextsAreTypedWhole) {
    const std::size_t count = 40000; // three UTF-8 bytes each: near the argument limit
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += "€";
    const Outcome o = runSim({"run", R"([{"text":")" + text + "\"}]"});
    EXPECT_EQ(o.out, "{\"ok\":true,\"done\":1}\n");
    ASSERT_EQ(o.trace.size(), 3 + 3 * count + 1);
    EXPECT_EQ(o.trace[3 + 3 * (count - 1)], (json{{"op", "post"},
                                                  {"kind", "key"},
                                                  {"code", 0},
                                                  {"down", true},
                                                  {"flags", 0},
                                                  {"text", "€"}}));
}

TEST(Limits, HugeNumbersInEveryNumericField) {
    struct Case {
        std::string action;
        Lines events;
    };
    const Case cases[] = {
        {R"({"move":[1e308,-1e308]})", {"mouse 5 (1e+308,-1e+308) b0 c1 0x0"}},
        {R"({"move":[99999999999999999999,-99999999999999999999]})",
         {"mouse 5 (1e+20,-1e+20) b0 c1 0x0"}},
        {R"({"down":[-1e308,1e308]})", {"mouse 1 (-1e+308,1e+308) b0 c1 0x0"}},
        {R"({"wait":1e308})", {"sleep 10000000"}},
        {R"({"wait":-1e308})", {"sleep 0"}},
        {R"({"wait":99999999999999999999})", {"sleep 10000000"}},
        {R"({"key":"A","hold":-99999999999999999999})",
         {"key 0 down 0x0", "sleep 0", "key 0 up 0x0"}},
        {R"({"scroll":1e308})", {"scroll 2147483647 0x0"}},
        {R"({"scroll":-99999999999999999999})", {"scroll -2147483648 0x0"}},
        // A count that is no 64-bit integer is no count: one click.
        {R"({"click":[0,0],"count":99999999999999999999})",
         {"mouse 5 (0.0,0.0) b0 c1 0x0", "sleep 30000", "mouse 1 (0.0,0.0) b0 c1 0x0",
          "sleep 20000", "mouse 2 (0.0,0.0) b0 c1 0x0", "sleep 40000"}},
        {R"({"click":[0,0],"count":-1e308})",
         {"mouse 5 (0.0,0.0) b0 c1 0x0", "sleep 30000", "mouse 1 (0.0,0.0) b0 c1 0x0",
          "sleep 20000", "mouse 2 (0.0,0.0) b0 c1 0x0", "sleep 40000"}},
    };
    for (const auto& c : cases) {
        const Outcome o = runSim({"run", "[" + c.action + "]"});
        EXPECT_EQ(o.status, 0) << c.action << o.err;
        Lines events = brief(o.trace);
        events.erase(events.begin(), events.begin() + 3);
        Lines expected = c.events;
        expected.push_back("sleep 15000");
        EXPECT_EQ(events, expected) << c.action;
    }
    // Beyond the range of a double the list is not JSON the tool can read.
    EXPECT_EQ(runSim({"run", R"([{"wait":1e400}])"}).err, "bad actions json\n");
}

TEST(Limits, BytesThatAreNotUtf8) {
    const Outcome command = runSim({"ab\xff"
                                    "c"});
    EXPECT_EQ(command.status, 1);
    EXPECT_EQ(command.err, "unknown command ab\xEF\xBF\xBD"
                           "c\n"); // U+FFFD
    EXPECT_EQ(runSim({"run", "[{\"text\":\"\xC3\x28\"}]"}).err, "bad actions json\n");
    EXPECT_EQ(runSim({"run", "[{\"key\":\"\xED\xA0\x80\"}]"}).err, "bad actions json\n");
    EXPECT_EQ(runSim({"activate", "1\xff"}).err, "bad pid\n");
    const Outcome guard = runSim({"run", "[]", "4\xff"});
    EXPECT_EQ(guard.out, "{\"ok\":true,\"done\":0}\n");
    const Outcome trusted = runSim({"trusted", "\xff", "--prompt"});
    EXPECT_EQ(trusted.out, "{\"trusted\":true}\n");
}

} // namespace

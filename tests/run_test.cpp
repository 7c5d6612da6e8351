// The run command end to end on the simulated desktop, where a case table cannot say it:
// input at its limits, bytes that are not UTF-8, and signals. The rest is in
// tests/cases/run.txt.
#include "process.h"

#include <csignal>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

const std::string ok1 = R"({"ok":true,"done":1})";

#ifndef _WIN32 // a Windows command line is UTF-16: bad UTF-8 becomes U+FFFD on the way in
TEST(Run, BytesThatAreNotUtf8) {
    EXPECT_EQ(runSim({"run", "[{\"text\":\"\xC3\x28\"}]"}).err, "bad actions json\n");
    // A pid that is not UTF-8 does not parse: the guard is off.
    const Outcome o = runSim({"run", R"([{"wait":5}])", "4\xff"}, json{{"frontmost", {1}}});
    EXPECT_EQ(o.out + brief(o.trace), ok1 + "\nsource; trusted; pointer; sleep 5000; sleep 15000");
    EXPECT_EQ(runSim({"ab\xff"
                      "c"})
                  .err,
              "unknown command ab\xEF\xBF\xBD"
              "c\n");
    EXPECT_EQ(runSim({"activate", "1\xff"}).err, "bad pid\n");
    EXPECT_EQ(brief(runSim({"trusted", "\xff"}).trace), "source; trusted false");
}
#endif

TEST(Run, ArgumentsAtTheirLimits) {
#ifdef _WIN32
    // Windows' whole command line holds 32 767 UTF-16 units with the program's path, and
    // every quote in an argument takes two: the largest lists below that fit.
    const std::size_t largest = 24000;
#else
    // The longest single argument Linux passes to a program (MAX_ARG_STRLEN less the NUL).
    const std::size_t largest = 131071;
#endif
    std::string list = "[";
    std::size_t actions = 0;
    for (; list.size() + 12 <= largest; ++actions)
        list += R"({"wait":0},)";
    list.back() = ' ';
    list += std::string(largest - list.size() - 1, ' ') + "]";
    const Outcome full = runSim({"run", list});
    EXPECT_EQ(full.out, "{\"ok\":true,\"done\":" + std::to_string(actions) + "}\n");
    EXPECT_EQ(full.trace.size(), 3 + 2 * actions);

    const std::size_t depth = (largest - 8) / 2;
    const std::string deep = std::string(depth, '[') + std::string(depth, ']');
    EXPECT_EQ(runSim({"run", R"([{"x":)" + deep + "}]"}).err,
              "unknown action [\"x\": " + deep + "]\n");
    EXPECT_EQ(runSim({"run", deep}).err, "bad actions json\n");

    std::string object = "{", rendered = "[";
    for (int i = 0; object.size() + 14 <= largest; ++i) {
        object += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
        rendered += (i ? ", \"k" : "\"k") + std::to_string(i) + "\": 0";
    }
    EXPECT_EQ(runSim({"run", "[" + object + "}]"}).err, "unknown action " + rendered + "]\n");

    std::string text;
    const std::size_t characters = (largest - 16) / 3; // three UTF-8 bytes each
    for (std::size_t i = 0; i < characters; ++i)
        text += "€";
    const Outcome typed = runSim({"run", R"([{"text":")" + text + "\"}]"});
    EXPECT_EQ(typed.out, ok1 + "\n");
    ASSERT_EQ(typed.trace.size(), 3 + 3 * characters + 1);
    EXPECT_EQ(brief(typed.trace, 3 * characters), "key 0 down 0x0 \"€\"; key 0 up 0x0 \"€\"; "
                                                  "sleep 8000; sleep 15000");
}

#ifndef _WIN32 // console control events cannot be sent between processes under Wine
TEST(Run, SignalsEndItWithEverythingReleased) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        const Running running =
            startSim({"run", R"([{"keyDown":"Shift"},{"keyDown":"Control"},{"keyDown":"X"},)"
                             R"({"down":[2,3]},{"wait":10000},{"key":"A"}])"},
                     json{{"realTime", true}}.dump());
        for (int i = 0; i < 2000 && traceText(running).find("10000000") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::kill(running.pid, signal);
        const Outcome o = finish(running);
        EXPECT_EQ(o.signal, signal);
        EXPECT_EQ(o.out + o.err, "");
        // The ten-second pause was cut short: nothing after it was played.
        EXPECT_EQ(brief(o.trace, 3),
                  "key 56 down 0x20000; sleep 15000; key 59 down 0x60000; sleep 15000; "
                  "key 7 down 0x60000; sleep 15000; mouse 1 (2.0,3.0) b0 c1 0x60000; "
                  "sleep 15000; sleep 10000000; key 56 up 0x40000; key 60 up 0x40000; "
                  "key 59 up 0x0; key 7 up 0x0; mouse 2 (2.0,3.0) b0 c1 0x0")
            << signal;
    }
    // Text stops between characters, clicks between clicks.
    for (const std::string action :
         {R"({"text":"abcdefghijklmnopqrstuvwxyz"})", R"({"click":[1,1],"count":1000})"}) {
        const Running running = startSim({"run", "[" + action + "]"}, R"({"realTime":true})");
        for (int i = 0; i < 2000 && traceText(running).find("sleep") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::kill(running.pid, SIGTERM);
        const Outcome o = finish(running);
        EXPECT_EQ(o.signal, SIGTERM);
        // Cut short after a whole character or a whole click, well before the end.
        EXPECT_TRUE(std::regex_match(brief(o.trace, o.trace.size() - 2),
                                     std::regex(R"(key 0 up 0x0 "[a-y]"; sleep 8000|)"
                                                R"(mouse 2 \(1.0,1.0\) b0 c\d+ 0x0; sleep 40000)")))
            << brief(o.trace);
    }
}
#endif

} // namespace

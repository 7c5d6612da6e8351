// The run command end to end on the simulated desktop: every event, flag and pause.
#include "process.h"

#include <csignal>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

const std::string stopped = R"(,"error":"Studio is no longer the front window; stopped."})";

struct Case {
    std::string actions;
    std::string result; // the stdout line, or "error: " and the stderr line
    std::string events; // the trace after source, trusted and pointer
    json desktop = json::object();
    std::string pid = "";
};

void check(const Case& c) {
    std::vector<std::string> args{"run", c.actions};
    if (!c.pid.empty())
        args.push_back(c.pid);
    const Outcome o = runSim(args, c.desktop);
    const std::string head = "source; trusted; pointer";
    std::string events = brief(o.trace);
    events = events.rfind(head, 0) == 0 ? events.substr(std::min(events.size(), head.size() + 2))
                                        : "(" + events + ")";
    const bool failed = c.result.rfind("error: ", 0) == 0;
    EXPECT_EQ(o.status, failed ? 1 : 0) << c.actions;
    EXPECT_EQ(o.out, failed ? "" : c.result + "\n") << c.actions;
    EXPECT_EQ(o.err, failed ? c.result.substr(7) + "\n" : "") << c.actions;
    EXPECT_EQ(events, c.events) << c.actions;
}

const std::string click12 = "mouse 5 (100.0,200.0) b0 c1 0x0; sleep 30000; "
                            "mouse 1 (100.0,200.0) b0 c1 0x0; sleep 20000; "
                            "mouse 2 (100.0,200.0) b0 c1 0x0; sleep 40000; sleep 15000";
const std::string ok1 = R"({"ok":true,"done":1})";

TEST(Run, WorkedExample) {
    check({R"([{"click":[400,300]},{"keyDown":"Shift"},{"text":"ab"},)"
           R"({"keyUp":"Shift"},{"key":"Return","hold":60},{"wait":500}])",
           R"({"ok":true,"done":6})",
           "mouse 5 (400.0,300.0) b0 c1 0x0; sleep 30000; mouse 1 (400.0,300.0) b0 c1 0x0; "
           "sleep 20000; mouse 2 (400.0,300.0) b0 c1 0x0; sleep 40000; sleep 15000; "
           "key 56 down 0x20000; sleep 15000; key 0 down 0x20000 \"a\"; key 0 up 0x20000 \"a\"; "
           "sleep 8000; key 0 down 0x20000 \"b\"; key 0 up 0x20000 \"b\"; sleep 8000; "
           "sleep 15000; key 56 up 0x0; sleep 15000; key 36 down 0x0; sleep 60000; "
           "key 36 up 0x0; sleep 15000; sleep 500000; sleep 15000"});
}

TEST(Run, ListsPermissionAndCursor) {
    for (const std::string list :
         {"{}", "[1]", "[{},[]]", "", "[", "null", "\"[]\"", "[{}]x", "[{\"text\":\"\\ud800\"}]",
          "[{\"a\":1},null]", "[{\"wait\":1e400}]",
#ifndef _WIN32 // a Windows command line is UTF-16: bad UTF-8 becomes U+FFFD on the way in
          "[{\"text\":\"\xC3\x28\"}]"
#endif
         })
        check({list, "error: bad actions json", "(source)"});
    EXPECT_EQ(runSim({"run"}).err, "bad actions json\n");
    const Case cases[] = {
        {"[]", R"({"ok":true,"done":0})", ""},
        {R"([{"key":"A"}])",
         "error: Accessibility permission is off for Marnith",
         "(source; trusted)",
         {{"trusted", false}}},
        {R"([{"down":null},{"up":"x"}])",
         R"({"ok":true,"done":2})",
         "mouse 1 (7.5,-2.0) b0 c1 0x0; sleep 15000; mouse 2 (7.5,-2.0) b0 c1 0x0; sleep 15000",
         {{"pointer", {7.5, -2}}}},
        {R"([{"down":true}])",
         ok1,
         "mouse 1 (0.0,0.0) b0 c1 0x0; sleep 15000; mouse 2 (0.0,0.0) b0 c1 0x0",
         {{"pointer", nullptr}}},
    };
    for (const auto& c : cases)
        check(c);
}

TEST(Run, ForegroundGuard) {
    const Case cases[] = {
        {R"([{"key":"A"}])",
         R"({"ok":false,"done":0)" + stopped,
         "frontmost 7",
         {{"frontmost", {7}}},
         "42"},
        {R"([{"key":"A"}])",
         R"({"ok":false,"done":0)" + stopped,
         "frontmost null",
         {{"frontmost", nullptr}},
         "42"},
        {R"([{"key":"A"}])",
         R"({"ok":false,"done":0)" + stopped,
         "frontmost null",
         {{"frontmost", {nullptr}}},
         "42"},
        // Lost before the third action, with Shift held: it is released.
        {R"([{"keyDown":"Shift"},{"wait":1},{"key":"A"}])",
         R"({"ok":false,"done":2)" + stopped,
         "frontmost 42; key 56 down 0x20000; sleep 15000; frontmost 42; sleep 1000; "
         "sleep 15000; frontmost null; key 56 up 0x0",
         {{"frontmost", {42, 42, nullptr}}},
         "+42"},
        // Lost while typing: checked before every character after the first, and the
        // text stops there.
        {R"([{"text":"abc"},{"key":"A"}])",
         R"({"ok":false,"done":0)" + stopped,
         "frontmost 42; key 0 down 0x0 \"a\"; key 0 up 0x0 \"a\"; sleep 8000; frontmost 42; "
         "key 0 down 0x0 \"b\"; key 0 up 0x0 \"b\"; sleep 8000; frontmost 7",
         {{"frontmost", {42, 42, 7}}},
         "42"},
        {R"([{"wait":0},{"text":"ab"}])",
         R"({"ok":true,"done":2})",
         "frontmost 42; sleep 0; sleep 15000; frontmost 42; key 0 down 0x0 \"a\"; "
         "key 0 up 0x0 \"a\"; sleep 8000; frontmost 42; key 0 down 0x0 \"b\"; key 0 up 0x0 "
         "\"b\"; sleep 8000; sleep 15000",
         {{"frontmost", {42}}},
         "42"},
        // A pid that does not parse turns the guard off; an empty list asks nothing.
        {R"([{"wait":5}])", ok1, "sleep 5000; sleep 15000", {{"frontmost", {1}}}, "abc"},
        {R"([{"wait":5}])", ok1, "sleep 5000; sleep 15000", {{"frontmost", {1}}}, " 42"},
        {R"([{"wait":5}])", ok1, "sleep 5000; sleep 15000", {{"frontmost", {1}}}, "4\xff"},
        {"[]", R"({"ok":true,"done":0})", "", {{"frontmost", {1}}}, "42"},
    };
    for (const auto& c : cases)
        check(c);
}

TEST(Run, KeysAndText) {
    const Case cases[] = {
        {R"([{"key":"a"}])", ok1, "key 0 down 0x0; sleep 40000; key 0 up 0x0; sleep 15000"},
        {R"([{"key":"Enter","hold":0}])", ok1,
         "key 36 down 0x0; sleep 0; key 36 up 0x0; sleep 15000"},
        {R"([{"key":"A","hold":-99999999999999999999}])", ok1,
         "key 0 down 0x0; sleep 0; key 0 up 0x0; sleep 15000"},
        {R"([{"key":"A","hold":1e308}])", ok1,
         "key 0 down 0x0; sleep 10000000; key 0 up 0x0; sleep 15000"},
        {R"([{"key":"A","hold":0.0019}])", ok1,
         "key 0 down 0x0; sleep 1; key 0 up 0x0; sleep 15000"},
        {R"([{"key":"A","hold":true}])", ok1,
         "key 0 down 0x0; sleep 40000; key 0 up 0x0; sleep 15000"},
        {R"([{"key":"F5","hold":1},{"key":"Up","hold":1}])", R"({"ok":true,"done":2})",
         "key 96 down 0x800000; sleep 1000; key 96 up 0x800000; sleep 15000; "
         "key 126 down 0xa00000; sleep 1000; key 126 up 0xa00000; sleep 15000"},
        {R"([{"keyUp":"RightShift"}])", ok1, "key 60 up 0x0; sleep 15000"},
        // A key whose value has the wrong kind does not stop the search.
        {R"([{"scroll":"x","key":"A","hold":0},{"key":5,"keyDown":"B"},{"keyDown":null,"keyUp":"B"}])",
         R"({"ok":true,"done":3})",
         "key 0 down 0x0; sleep 0; key 0 up 0x0; sleep 15000; key 11 down 0x0; sleep 15000; "
         "key 11 up 0x0; sleep 15000"},
        // Modifiers are tracked per flag and stamped on every event; the release walks
        // Shift and Control keys before the Alternate key.
        {R"([{"keyDown":"LeftShift"},{"keyDown":"RightShift"},{"keyDown":"Alt"},)"
         R"({"move":[1,2]},{"scroll":3},{"keyUp":"RightShift"},{"key":"B","hold":0}])",
         R"({"ok":true,"done":7})",
         "key 56 down 0x20000; sleep 15000; key 60 down 0x20000; sleep 15000; "
         "key 58 down 0xa0000; sleep 15000; mouse 5 (1.0,2.0) b0 c1 0xa0000; sleep 15000; "
         "scroll 3 0xa0000; sleep 15000; key 60 up 0x80000; sleep 15000; key 11 down 0x80000; "
         "sleep 0; key 11 up 0x80000; sleep 15000; key 56 up 0x80000; key 60 up 0x80000; "
         "key 59 up 0x80000; key 62 up 0x80000; key 58 up 0x0"},
        {R"([{"text":""},{"text":"é\n"}])", R"({"ok":true,"done":2})",
         "sleep 15000; key 0 down 0x0 \"é\"; key 0 up 0x0 \"é\"; sleep 8000; "
         "key 0 down 0x0 \"\\n\"; key 0 up 0x0 \"\\n\"; sleep 8000; sleep 15000"},
        // A character outside the BMP travels as one pair of events: 16 ms for two units.
        {R"([{"text":"😀a"},{"text":"\ud83d\ude00"}])", R"({"ok":true,"done":2})",
         "key 0 down 0x0 \"😀\"; key 0 up 0x0 \"😀\"; sleep 16000; key 0 down 0x0 \"a\"; "
         "key 0 up 0x0 \"a\"; sleep 8000; sleep 15000; key 0 down 0x0 \"😀\"; "
         "key 0 up 0x0 \"😀\"; sleep 16000; sleep 15000"},
    };
    for (const auto& c : cases)
        check(c);
}

TEST(Run, PointerActions) {
    const Case cases[] = {
        {R"([{"click":[100,200]}])", ok1, click12},
        {R"([{"click":[100,200],"count":0}])", ok1, click12},
        {R"([{"click":[100,200],"count":"2"}])", ok1, click12},
        {R"([{"click":[100,200],"count":2.5}])", ok1, click12},
        {R"([{"click":[100,200],"count":99999999999999999999}])", ok1, click12},
        {R"([{"click":[100,200],"button":"Right"}])", ok1, click12},
        {R"([{"move":"x","click":[100,200]}])", ok1, click12},
        {R"([{"click":[1,2],"count":2,"button":"right"}])", ok1,
         "mouse 5 (1.0,2.0) b0 c1 0x0; sleep 30000; mouse 3 (1.0,2.0) b1 c1 0x0; sleep 20000; "
         "mouse 4 (1.0,2.0) b1 c1 0x0; sleep 40000; mouse 3 (1.0,2.0) b1 c2 0x0; sleep 20000; "
         "mouse 4 (1.0,2.0) b1 c2 0x0; sleep 40000; sleep 15000"},
        {R"([{"move":[5,5]},{"down":true}])", R"({"ok":true,"done":2})",
         "mouse 5 (5.0,5.0) b0 c1 0x0; sleep 15000; mouse 1 (5.0,5.0) b0 c1 0x0; sleep 15000; "
         "mouse 2 (5.0,5.0) b0 c1 0x0"},
        {R"([{"down":[10,10],"button":"right"},{"move":[50,50],"button":"right"},{"up":true,"button":"right"}])",
         R"({"ok":true,"done":3})",
         "mouse 3 (10.0,10.0) b1 c1 0x0; sleep 15000; mouse 5 (50.0,50.0) b0 c1 0x0; "
         "sleep 15000; mouse 4 (50.0,50.0) b1 c1 0x0; sleep 15000"},
        // Scrolling leaves the cursor where it was.
        {R"([{"move":[3,4]},{"scroll":-3.7},{"scroll":0.4},{"up":[1]}])", R"({"ok":true,"done":4})",
         "mouse 5 (3.0,4.0) b0 c1 0x0; sleep 15000; scroll -3 0x0; sleep 15000; "
         "scroll 0 0x0; sleep 15000; mouse 2 (3.0,4.0) b0 c1 0x0; sleep 15000"},
        {R"([{"scroll":1e308},{"scroll":-99999999999999999999},{"move":[1e308,-1e20]}])",
         R"({"ok":true,"done":3})",
         "scroll 2147483647 0x0; sleep 15000; scroll -2147483648 0x0; sleep 15000; "
         "mouse 5 (1e+308,-1e+20) b0 c1 0x0; sleep 15000"},
        // Selection order: move, click, down, up, scroll, then the keyboard.
        {R"([{"key":"A","scroll":1,"up":1,"down":1,"click":[1,1],"move":[2,2]},)"
         R"({"key":"A","scroll":1,"up":[7,7]},{"key":"A","scroll":1},{"move":[true,false],"wait":2}])",
         R"({"ok":true,"done":4})",
         "mouse 5 (2.0,2.0) b0 c1 0x0; sleep 15000; mouse 2 (7.0,7.0) b0 c1 0x0; sleep 15000; "
         "scroll 1 0x0; sleep 15000; sleep 2000; sleep 15000"},
        {R"([{"keyDown":"Shift"},{"click":[1,2]},{"scroll":2},{"text":"a"}])",
         R"({"ok":true,"done":4})",
         "refused keyboard; sleep 15000; refused mouse; sleep 30000; refused mouse; "
         "sleep 20000; refused mouse; sleep 40000; sleep 15000; refused scroll; sleep 15000; "
         "refused keyboard; refused keyboard; sleep 8000; sleep 15000; refused keyboard",
         {{"refuse", {"mouse", "keyboard", "scroll"}}}},
    };
    for (const auto& c : cases)
        check(c);
}

TEST(Run, NothingStaysHeldHoweverTheRunEnds) {
    const Case cases[] = {
        // The walk lets go of Shift through the left key; the right one is still down.
        {R"([{"keyDown":"RightShift"}])", ok1,
         "key 60 down 0x20000; sleep 15000; key 56 up 0x0; key 60 up 0x0"},
        {R"([{"keyDown":"W"},{"keyDown":"Control"},{"keyDown":"CapsLock"},{"down":[4,5]},)"
         R"({"move":[6,7]},{"down":true,"button":"right"}])",
         R"({"ok":true,"done":6})",
         "key 13 down 0x0; sleep 15000; key 59 down 0x40000; sleep 15000; "
         "key 57 down 0x40000; sleep 15000; mouse 1 (4.0,5.0) b0 c1 0x40000; sleep 15000; "
         "mouse 5 (6.0,7.0) b0 c1 0x40000; sleep 15000; mouse 3 (6.0,7.0) b1 c1 0x40000; "
         "sleep 15000; key 56 up 0x40000; key 60 up 0x40000; key 59 up 0x0; key 13 up 0x0; "
         "key 57 up 0x0; mouse 2 (6.0,7.0) b0 c1 0x0; mouse 4 (6.0,7.0) b1 c1 0x0"},
        {R"([{"keyDown":"W"},{"down":[1,1]},{"wait":0}])",
         R"({"ok":false,"done":2)" + stopped,
         "frontmost 42; key 13 down 0x0; sleep 15000; frontmost 42; "
         "mouse 1 (1.0,1.0) b0 c1 0x0; sleep 15000; frontmost 1; key 13 up 0x0; "
         "mouse 2 (1.0,1.0) b0 c1 0x0",
         {{"frontmost", {42, 42, 1}}},
         "42"},
        {R"([{"keyDown":"Control"},{"keyDown":"D"},{"wait":"soon"}])",
         R"(error: unknown action ["wait": "soon"])",
         "key 59 down 0x40000; sleep 15000; key 2 down 0x40000; sleep 15000; "
         "key 56 up 0x40000; key 60 up 0x40000; key 59 up 0x0; key 2 up 0x0"},
        {R"([{"keyDown":"Shift"},{"key":"Banana"}])", "error: unknown key Banana",
         "key 56 down 0x20000; sleep 15000; key 56 up 0x0"},
        {R"([{"wait":1},{}])", "error: unknown action [:]", "sleep 1000; sleep 15000"},
        {R"([{"keyDown":"shift"}])", "error: unknown key shift", ""},
        {R"([{"count":2,"click":"x","button":"right"}])",
         R"(error: unknown action ["count": 2, "click": "x", "button": "right"])", ""},
    };
    for (const auto& c : cases)
        check(c);
}

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

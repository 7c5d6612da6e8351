// The run command, end to end on the simulated desktop: every event, flag and pause.
#include "process.h"

#include <gtest/gtest.h>

using nlohmann::json;
using Lines = std::vector<std::string>;

namespace {

const Lines start = {"source", "trusted", "pointer"};

// What the trace holds after the run's start (source, trust check, pointer).
Lines played(const Outcome& o) {
    Lines all = brief(o.trace);
    EXPECT_GE(all.size(), start.size());
    EXPECT_EQ(Lines(all.begin(), all.begin() + 3), start);
    return Lines(all.begin() + 3, all.end());
}

Outcome run(const std::string& actions, const json& desktop = json::object()) {
    return runSim({"run", actions}, desktop);
}

TEST(Run, WorkedExample) {
    const Outcome o = run(R"([{"click":[400,300]},{"keyDown":"Shift"},{"text":"ab"},)"
                          R"({"keyUp":"Shift"},{"key":"Return","hold":60},{"wait":500}])");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "{\"ok\":true,\"done\":6}\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(played(o), (Lines{
                             "mouse 5 (400.0,300.0) b0 c1 0x0",
                             "sleep 30000",
                             "mouse 1 (400.0,300.0) b0 c1 0x0",
                             "sleep 20000",
                             "mouse 2 (400.0,300.0) b0 c1 0x0",
                             "sleep 40000",
                             "sleep 15000",
                             "key 56 down 0x20000",
                             "sleep 15000",
                             "key 0 down 0x20000 \"a\"",
                             "key 0 up 0x20000 \"a\"",
                             "sleep 8000",
                             "key 0 down 0x20000 \"b\"",
                             "key 0 up 0x20000 \"b\"",
                             "sleep 8000",
                             "sleep 15000",
                             "key 56 up 0x0",
                             "sleep 15000",
                             "key 36 down 0x0",
                             "sleep 60000",
                             "key 36 up 0x0",
                             "sleep 15000",
                             "sleep 500000",
                             "sleep 15000",
                         }));
}

TEST(Run, EmptyListAndBadLists) {
    const Outcome empty = run("[]");
    EXPECT_EQ(empty.out, "{\"ok\":true,\"done\":0}\n");
    EXPECT_EQ(played(empty), Lines{});

    for (const std::string list : {"{}", "[1]", "[{},[]]", "", "[", "null", "\"[]\"", "[{}]x",
                                   "[{\"text\":\"\\ud800\"}]", "[{\"a\":1},null]"}) {
        const Outcome o = run(list);
        EXPECT_EQ(o.status, 1) << list;
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, "bad actions json\n") << list;
        EXPECT_EQ(brief(o.trace), Lines{"source"}) << list; // not even the trust check
    }
    const Outcome missing = runSim({"run"});
    EXPECT_EQ(missing.err, "bad actions json\n");
    const Outcome invalidUtf8 = run("[{\"text\":\"\xff\"}]");
    EXPECT_EQ(invalidUtf8.err, "bad actions json\n");
}

TEST(Run, RefusesWithoutPermission) {
    const Outcome o = run(R"([{"key":"A"}])", {{"trusted", false}});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "Accessibility permission is off for Marnith\n");
    EXPECT_EQ(brief(o.trace), (Lines{"source", "trusted"}));
}

TEST(Run, PointerSeedsTheCursor) {
    const Outcome seeded = run(R"([{"down":null},{"up":"x"}])", {{"pointer", {7.5, -2}}});
    EXPECT_EQ(played(seeded), (Lines{"mouse 1 (7.5,-2.0) b0 c1 0x0", "sleep 15000",
                                     "mouse 2 (7.5,-2.0) b0 c1 0x0", "sleep 15000"}));
    const Outcome none = run(R"([{"down":true}])", {{"pointer", nullptr}});
    EXPECT_EQ(played(none), (Lines{"mouse 1 (0.0,0.0) b0 c1 0x0", "sleep 15000"}));
}

TEST(Run, ForegroundGuard) {
    const std::string stopped =
        "{\"ok\":false,\"done\":%d,\"error\":\"Studio is no longer the front window; stopped.\"}\n";
    auto stop = [&](int done) {
        char buf[200];
        std::snprintf(buf, sizeof buf, stopped.c_str(), done);
        return std::string(buf);
    };
    // Not frontmost from the start: nothing is posted.
    const Outcome never = runSim({"run", R"([{"key":"A"}])", "42"}, json{{"frontmost", {7}}});
    EXPECT_EQ(never.status, 0);
    EXPECT_EQ(never.out, stop(0));
    EXPECT_EQ(played(never), Lines{"frontmost 7"});

    // No frontmost application counts as lost.
    for (const json& front : {json(nullptr), json::array(), json{nullptr}}) {
        const Outcome nobody =
            runSim({"run", R"([{"key":"A"}])", "42"}, json{{"frontmost", front}});
        EXPECT_EQ(nobody.out, stop(0));
        EXPECT_EQ(played(nobody), Lines{"frontmost null"});
    }

    // Lost before the third action, with Shift held: the modifiers are released.
    const Outcome lost = runSim({"run", R"([{"keyDown":"Shift"},{"wait":1},{"key":"A"}])", "+42"},
                                json{{"frontmost", {42, 42, nullptr}}});
    EXPECT_EQ(lost.status, 0);
    EXPECT_EQ(lost.out, stop(2));
    EXPECT_EQ(played(lost),
              (Lines{"frontmost 42", "key 56 down 0x20000", "sleep 15000", "frontmost 42",
                     "sleep 1000", "sleep 15000", "frontmost null", "key 56 up 0x0"}));

    // Frontmost throughout.
    const Outcome kept =
        runSim({"run", R"([{"wait":0},{"wait":0}])", "42"}, json{{"frontmost", {42}}});
    EXPECT_EQ(kept.out, "{\"ok\":true,\"done\":2}\n");
    EXPECT_EQ(played(kept), (Lines{"frontmost 42", "sleep 0", "sleep 15000", "frontmost 42",
                                   "sleep 0", "sleep 15000"}));

    // A pid that does not parse turns the guard off; an empty list asks nothing.
    for (const std::string pid : {"abc", "", " 42", "2147483648", "4 2"}) {
        const Outcome off = runSim({"run", R"([{"wait":5}])", pid}, json{{"frontmost", {1}}});
        EXPECT_EQ(off.out, "{\"ok\":true,\"done\":1}\n") << pid;
        EXPECT_EQ(played(off), (Lines{"sleep 5000", "sleep 15000"})) << pid;
    }
    const Outcome emptyList = runSim({"run", "[]", "42"}, json{{"frontmost", {1}}});
    EXPECT_EQ(emptyList.out, "{\"ok\":true,\"done\":0}\n");
    EXPECT_EQ(played(emptyList), Lines{});
}

TEST(Run, KeyTapsAndHolds) {
    struct Case {
        const char* action;
        Lines events;
    };
    const Case cases[] = {
        {R"({"key":"a"})", {"key 0 down 0x0", "sleep 40000", "key 0 up 0x0"}},
        {R"({"key":"Enter","hold":0})", {"key 36 down 0x0", "sleep 0", "key 36 up 0x0"}},
        {R"({"key":"A","hold":-5})", {"key 0 down 0x0", "sleep 0", "key 0 up 0x0"}},
        {R"({"key":"A","hold":60000})", {"key 0 down 0x0", "sleep 10000000", "key 0 up 0x0"}},
        {R"({"key":"A","hold":1e308})", {"key 0 down 0x0", "sleep 10000000", "key 0 up 0x0"}},
        {R"({"key":"A","hold":0.0019})", {"key 0 down 0x0", "sleep 1", "key 0 up 0x0"}},
        {R"({"key":"A","hold":"60"})", {"key 0 down 0x0", "sleep 40000", "key 0 up 0x0"}},
        {R"({"key":"A","hold":true})", {"key 0 down 0x0", "sleep 40000", "key 0 up 0x0"}},
        {R"({"key":"F5","hold":1})", {"key 96 down 0x800000", "sleep 1000", "key 96 up 0x800000"}},
        {R"({"key":"Delete","hold":1})",
         {"key 117 down 0x800000", "sleep 1000", "key 117 up 0x800000"}},
        {R"({"key":"Up","hold":1})",
         {"key 126 down 0xa00000", "sleep 1000", "key 126 up 0xa00000"}},
        {R"({"key":"CapsLock","hold":1})", {"key 57 down 0x0", "sleep 1000", "key 57 up 0x0"}},
        {R"({"keyDown":"Meta"})",
         {"key 55 down 0x100000", "sleep 15000",
          // released at the end: every entry up to Command
          "key 56 up 0x100000", "key 60 up 0x100000", "key 59 up 0x100000", "key 62 up 0x100000",
          "key 58 up 0x100000", "key 61 up 0x100000", "key 55 up 0x0"}},
        {R"({"keyUp":"RightShift"})", {"key 60 up 0x0", "sleep 15000"}},
        // A key whose value has the wrong kind does not stop the search.
        {R"({"scroll":"x","key":"A","hold":0})", {"key 0 down 0x0", "sleep 0", "key 0 up 0x0"}},
        {R"({"key":5,"keyDown":"B"})", {"key 11 down 0x0", "sleep 15000"}},
        {R"({"keyDown":null,"keyUp":"C"})", {"key 8 up 0x0", "sleep 15000"}},
        {R"({"key":"Z","text":"q","hold":0})", {"key 6 down 0x0", "sleep 0", "key 6 up 0x0"}},
    };
    for (const auto& c : cases) {
        Lines events = c.events;
        if (events.size() == 3)
            events.push_back("sleep 15000");
        const Outcome o = run(std::string("[") + c.action + "]");
        EXPECT_EQ(o.out, "{\"ok\":true,\"done\":1}\n") << c.action;
        EXPECT_EQ(played(o), events) << c.action;
    }
}

TEST(Run, ModifiersAreTrackedPerFlagAndStampedOnEverything) {
    const Outcome o =
        run(R"([{"keyDown":"LeftShift"},{"keyDown":"RightShift"},{"keyDown":"Alt"},)"
            R"({"move":[1,2]},{"scroll":3},{"keyUp":"RightShift"},{"key":"B","hold":0}])");
    EXPECT_EQ(
        played(o),
        (Lines{"key 56 down 0x20000", "sleep 15000", "key 60 down 0x20000", "sleep 15000",
               "key 58 down 0xa0000", "sleep 15000", "mouse 5 (1.0,2.0) b0 c1 0xa0000",
               "sleep 15000", "scroll 3 0xa0000", "sleep 15000", "key 60 up 0x80000", "sleep 15000",
               "key 11 down 0x80000", "sleep 0", "key 11 up 0x80000", "sleep 15000",
               // release: Shift and Control keys first, then the Alternate key
               "key 56 up 0x80000", "key 60 up 0x80000", "key 59 up 0x80000", "key 62 up 0x80000",
               "key 58 up 0x0"}));
}

TEST(Run, Text) {
    struct Case {
        const char* text;
        Lines events;
    };
    const Case cases[] = {
        {"", {}},
        {"hi!",
         {"key 0 down 0x0 \"h\"", "key 0 up 0x0 \"h\"", "sleep 8000", "key 0 down 0x0 \"i\"",
          "key 0 up 0x0 \"i\"", "sleep 8000", "key 0 down 0x0 \"!\"", "key 0 up 0x0 \"!\"",
          "sleep 8000"}},
        {"é\\n",
         {"key 0 down 0x0 \"é\"", "key 0 up 0x0 \"é\"", "sleep 8000", "key 0 down 0x0 \"\\n\"",
          "key 0 up 0x0 \"\\n\"", "sleep 8000"}},
        // A character outside the BMP travels as one pair of events: 16 ms for two units.
        {"😀a",
         {"key 0 down 0x0 \"😀\"", "key 0 up 0x0 \"😀\"", "sleep 16000", "key 0 down 0x0 \"a\"",
          "key 0 up 0x0 \"a\"", "sleep 8000"}},
        {"\\ud83d\\ude00", {"key 0 down 0x0 \"😀\"", "key 0 up 0x0 \"😀\"", "sleep 16000"}},
    };
    for (const auto& c : cases) {
        Lines events = c.events;
        events.push_back("sleep 15000");
        const Outcome o = run(std::string(R"([{"text":")") + c.text + "\"}]");
        EXPECT_EQ(o.out, "{\"ok\":true,\"done\":1}\n") << c.text;
        EXPECT_EQ(played(o), events) << c.text;
    }
}

TEST(Run, PointerActions) {
    struct Case {
        const char* actions;
        Lines events;
    };
    const Lines click12 = {"mouse 5 (100.0,200.0) b0 c1 0x0",
                           "sleep 30000",
                           "mouse 1 (100.0,200.0) b0 c1 0x0",
                           "sleep 20000",
                           "mouse 2 (100.0,200.0) b0 c1 0x0",
                           "sleep 40000",
                           "sleep 15000"};
    const Case cases[] = {
        {R"([{"click":[100,200]}])", click12},
        {R"([{"click":[100,200],"count":0}])", click12},
        {R"([{"click":[100,200],"count":-3}])", click12},
        {R"([{"click":[100,200],"count":"2"}])", click12},
        {R"([{"click":[100,200],"count":2.5}])", click12},
        {R"([{"click":[100,200],"count":true}])", click12},
        {R"([{"click":[100,200],"button":"Right"}])", click12},
        {R"([{"move":"x","click":[100,200]}])", click12},
        {R"([{"click":[100,200],"count":2,"button":"right"}])",
         {"mouse 5 (100.0,200.0) b0 c1 0x0", "sleep 30000", "mouse 3 (100.0,200.0) b1 c1 0x0",
          "sleep 20000", "mouse 4 (100.0,200.0) b1 c1 0x0", "sleep 40000",
          "mouse 3 (100.0,200.0) b1 c2 0x0", "sleep 20000", "mouse 4 (100.0,200.0) b1 c2 0x0",
          "sleep 40000", "sleep 15000"}},
        {R"([{"click":[1,2],"count":3.0}])",
         {"mouse 5 (1.0,2.0) b0 c1 0x0", "sleep 30000", "mouse 1 (1.0,2.0) b0 c1 0x0",
          "sleep 20000", "mouse 2 (1.0,2.0) b0 c1 0x0", "sleep 40000",
          "mouse 1 (1.0,2.0) b0 c2 0x0", "sleep 20000", "mouse 2 (1.0,2.0) b0 c2 0x0",
          "sleep 40000", "mouse 1 (1.0,2.0) b0 c3 0x0", "sleep 20000",
          "mouse 2 (1.0,2.0) b0 c3 0x0", "sleep 40000", "sleep 15000"}},
        {R"([{"move":[5,5]},{"down":true}])",
         {"mouse 5 (5.0,5.0) b0 c1 0x0", "sleep 15000", "mouse 1 (5.0,5.0) b0 c1 0x0",
          "sleep 15000"}},
        {R"([{"down":[10,10],"button":"right"},{"move":[50,50],"button":"right"},{"up":true,"button":"right"}])",
         {"mouse 3 (10.0,10.0) b1 c1 0x0", "sleep 15000", "mouse 5 (50.0,50.0) b0 c1 0x0",
          "sleep 15000", "mouse 4 (50.0,50.0) b1 c1 0x0", "sleep 15000"}},
        {R"([{"click":[9,8]},{"up":[1]}])",
         {"mouse 5 (9.0,8.0) b0 c1 0x0", "sleep 30000", "mouse 1 (9.0,8.0) b0 c1 0x0",
          "sleep 20000", "mouse 2 (9.0,8.0) b0 c1 0x0", "sleep 40000", "sleep 15000",
          "mouse 2 (9.0,8.0) b0 c1 0x0", "sleep 15000"}},
        // Scrolling leaves the cursor where it was.
        {R"([{"move":[3,4]},{"scroll":-3.7},{"scroll":0.4},{"down":0}])",
         {"mouse 5 (3.0,4.0) b0 c1 0x0", "sleep 15000", "scroll -3 0x0", "sleep 15000",
          "scroll 0 0x0", "sleep 15000", "mouse 1 (3.0,4.0) b0 c1 0x0", "sleep 15000"}},
        {R"([{"scroll":1e308},{"scroll":-1e308},{"scroll":-2147483648.5},{"scroll":99999999999999999999}])",
         {"scroll 2147483647 0x0", "sleep 15000", "scroll -2147483648 0x0", "sleep 15000",
          "scroll -2147483648 0x0", "sleep 15000", "scroll 2147483647 0x0", "sleep 15000"}},
        // Selection order: move, click, down, up, scroll, then the keyboard.
        {R"([{"key":"A","scroll":1,"up":1,"down":1,"click":[1,1],"move":[2,2]}])",
         {"mouse 5 (2.0,2.0) b0 c1 0x0", "sleep 15000"}},
        {R"([{"key":"A","scroll":1,"up":1,"down":[6,6]}])",
         {"mouse 1 (6.0,6.0) b0 c1 0x0", "sleep 15000"}},
        {R"([{"key":"A","scroll":1,"up":[7,7]}])", {"mouse 2 (7.0,7.0) b0 c1 0x0", "sleep 15000"}},
        {R"([{"key":"A","scroll":1}])", {"scroll 1 0x0", "sleep 15000"}},
        {R"([{"move":[true,false],"wait":2}])", {"sleep 2000", "sleep 15000"}},
    };
    for (const auto& c : cases) {
        const Outcome o = run(c.actions);
        EXPECT_EQ(o.status, 0) << c.actions << o.err;
        EXPECT_EQ(played(o), c.events) << c.actions;
    }
}

TEST(Run, RefusedEventsAreSkippedButTheActionCounts) {
    const Outcome o = run(R"([{"keyDown":"Shift"},{"click":[1,2]},{"scroll":2},{"text":"a"}])",
                          {{"refuse", {"mouse", "keyboard"}}});
    EXPECT_EQ(o.out, "{\"ok\":true,\"done\":4}\n");
    EXPECT_EQ(played(o), (Lines{"refused keyboard", "sleep 15000", "refused mouse", "sleep 30000",
                                "refused mouse", "sleep 20000", "refused mouse", "sleep 40000",
                                "sleep 15000", "scroll 2 0x20000", "sleep 15000",
                                "refused keyboard", "refused keyboard", "sleep 8000", "sleep 15000",
                                // Shift is still held in the books, so the release walks
                                "refused keyboard"}));
}

TEST(Run, FailuresPartWayReleaseHeldModifiersFirst) {
    struct Case {
        const char* actions;
        const char* err;
        Lines events;
    };
    const Case cases[] = {
        {R"([{"wait":1},{}])", "unknown action [:]\n", {"sleep 1000", "sleep 15000"}},
        {R"([{"keyDown":"Control"},{"wait":"soon"}])",
         "unknown action [\"wait\": \"soon\"]\n",
         {"key 59 down 0x40000", "sleep 15000", "key 56 up 0x40000", "key 60 up 0x40000",
          "key 59 up 0x0"}},
        {R"([{"keyDown":"Shift"},{"key":"Banana"}])",
         "unknown key Banana\n",
         {"key 56 down 0x20000", "sleep 15000", "key 56 up 0x0"}},
        {R"([{"keyDown":"shift"}])", "unknown key shift\n", {}},
        {R"([{"move":[1]}])", "unknown action [\"move\": [1]]\n", {}},
        {R"([{"count":2,"click":"x","button":"right"}])",
         "unknown action [\"count\": 2, \"click\": \"x\", \"button\": \"right\"]\n",
         {}},
    };
    for (const auto& c : cases) {
        const Outcome o = run(c.actions);
        EXPECT_EQ(o.status, 1) << c.actions;
        EXPECT_EQ(o.out, "") << c.actions;
        EXPECT_EQ(o.err, c.err) << c.actions;
        EXPECT_EQ(played(o), c.events) << c.actions;
    }
}

} // namespace

// Ending a run with a termination signal, in real time on the simulated desktop.
#include "process.h"

#include <chrono>
#include <csignal>
#include <thread>

#include <gtest/gtest.h>

using nlohmann::json;
using Lines = std::vector<std::string>;

namespace {

// Waits until the trace shows the line, so the signal arrives during the long pause.
void awaitTrace(const Running& running, const std::string& text) {
    for (int i = 0; i < 2000 && traceText(running).find(text) == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_NE(traceText(running).find(text), std::string::npos) << text;
}

TEST(Signals, InterruptedRunsReleaseHeldModifiersAndEndByTheSameSignal) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        const Running running = start(
            {"run", R"([{"keyDown":"Shift"},{"keyDown":"Control"},{"wait":10000},{"key":"A"}])"},
            json{{"realTime", true}}.dump());
        awaitTrace(running, R"("us":10000000)");
        ::kill(running.pid, signal);
        const Outcome o = finish(running);
        EXPECT_EQ(o.signal, signal);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, "");
        Lines events = brief(o.trace);
        // The ten-second pause was cut short: no action after it was played, and the
        // held keys were released as at the normal end of a run.
        EXPECT_EQ(events,
                  (Lines{"source", "trusted", "pointer", "key 56 down 0x20000", "sleep 15000",
                         "key 59 down 0x60000", "sleep 15000", "sleep 10000000",
                         "key 56 up 0x40000", "key 60 up 0x40000", "key 59 up 0x0"}))
            << signal;
    }
}

TEST(Signals, InterruptedTextStopsBetweenCharacters) {
    const Running running = start({"run", R"([{"text":"abcdefghijklmnopqrstuvwxyz"}])"},
                                  json{{"realTime", true}}.dump());
    awaitTrace(running, R"("text":"b")");
    ::kill(running.pid, SIGTERM);
    const Outcome o = finish(running);
    EXPECT_EQ(o.signal, SIGTERM);
    EXPECT_EQ(o.out, "");
    // Every character typed is whole (down and up); the rest were never typed.
    Lines events = brief(o.trace);
    ASSERT_GE(events.size(), 6u);
    EXPECT_LT(events.size(), 3u + 26u * 3u);
    const std::size_t typed = events.size() - 3;
    EXPECT_EQ(typed % 3, 0u);
    EXPECT_EQ(events.back().rfind("sleep 8000", 0), 0u);
}

} // namespace

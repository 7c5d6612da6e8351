// The Windows tool end to end, natively or under Wine on Xvfb: Win32 probe windows of
// ours that report what they receive and the global key state, and Notepad.
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "../desktop.h"
#include "../process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

// A Windows program's command line: run through Wine, except on Windows.
std::vector<std::string> win(std::vector<std::string> argv) {
#ifndef _WIN32
    argv.insert(argv.begin(), "wine");
#endif
    return argv;
}

#ifndef _WIN32
// Xvfb, a Wine prefix of the suite's own (made here, not by the first test) and one
// wineserver kept running for the whole program.
class WineDesktop : public ::testing::Environment {
  public:
    void SetUp() override {
        xvfb = startXvfb();
        ::setenv("WINEPREFIX", MARNITH_WINE_PREFIX, 1);
        ::setenv("WINEDEBUG", "-all", 1);
        ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        runProgram({"wineserver", "-k"}); // one left from another display
        if (!std::filesystem::exists(MARNITH_WINE_PREFIX "/system.reg")) {
            ASSERT_EQ(runProgram({"wineboot", "-i"}).status, 0);
            runProgram({"wineserver", "-w"});
        }
        ASSERT_EQ(runProgram({"wineserver", "-p"}).status, 0);
    }
    void TearDown() override {
        runProgram({"wineserver", "-k"});
        stop(xvfb);
    }
    Running xvfb;
};
#endif

Outcome tool(std::vector<std::string> args) {
    args.insert(args.begin(), MARNITH_WIN_INPUT);
    return runProgram(win(args));
}

// A probe window: its Windows pid and window rectangle come from its READY line.
struct Target : Probe {
    Target(const std::string& exe, const std::string& title, const std::string& x,
           const std::string& y)
        : Probe(win({MARNITH_WIN_PROBES "/" + exe, title, x, y, "400", "300"})) {
        std::istringstream(ready.substr(6)) >> window >> winPid >> left >> top;
    }
    std::string id() const { return std::to_string(winPid); }
    // Input lines since the last call, until the probe is quiet; Held lines left out.
    std::vector<std::string> input() {
        std::vector<std::string> out;
        for (const auto& l : inputUntilQuiet()) {
            if (l.rfind("Held", 0) != 0)
                out.push_back(l);
        }
        return out;
    }
    // The virtual keys and buttons down on the desktop, as last reported.
    std::string held() {
        inputUntilQuiet();
        std::string last = "Held";
        for (const auto& l : received()) {
            if (l.rfind("Held", 0) == 0)
                last = l;
        }
        return last;
    }
    unsigned long winPid = 0;
    long left = 0, top = 0;
};

Target studio() {
    return Target("RobloxStudioBeta-probe.exe", "Place 1 — Studio ✓ 😀", "100", "100");
}
Target other() {
    return Target("marnith-wine-probe.exe", "Other", "600", "150");
}

std::string ok(int done) {
    return "{\"ok\":true,\"done\":" + std::to_string(done) + "}\n";
}

TEST(Wine, QueriesActivationAndBadPids) {
    Target target = studio(), second = other();
    const Outcome trusted = tool({"trusted", "--prompt"}), windows = tool({"windows"});
    EXPECT_EQ(trusted.out + trusted.err, "{\"trusted\":true}\n");
    EXPECT_EQ(windows.out, "[{\"id\":" + std::to_string(target.window) + ",\"pid\":" + target.id() +
                               ",\"title\":\"Place 1 — Studio ✓ 😀\",\"x\":100.0,\"y\":100.0,"
                               "\"w\":400.0,\"h\":300.0}]\n");
    // The other window is in front; activation brings the target forward before the
    // guarded run starts, and the key reaches it.
    EXPECT_EQ(tool({"activate", second.id()}).out, "{\"ok\":true}\n");
    EXPECT_EQ(tool({"activate", target.id()}).out, "{\"ok\":true}\n");
    EXPECT_EQ(tool({"run", R"([{"key":"Q"}])", target.id()}).out, ok(1));
    EXPECT_EQ(target.input(),
              (std::vector<std::string>{"Key down vk=51 scan=10 ext=0 sys=0", "Char 0071",
                                        "Key up vk=51 scan=10 ext=0 sys=0"}));
    // Front to back: activation raises the window it brings forward.
    Target twin("RobloxStudioBeta-probe.exe", "Place 2", "300", "500");
    for (const Target* front : {&target, &twin}) {
        tool({"activate", front->id()});
        const json listed = json::parse(tool({"windows"}).out);
        ASSERT_EQ(listed.size(), 2u);
        EXPECT_EQ(listed[0]["id"], front->window);
        EXPECT_EQ(listed[1]["id"], (front == &twin ? target : twin).window);
    }
    // pid + 1 opens the same process on Windows: it is still not that process's pid.
    for (const std::string& pid : {std::to_string(target.winPid + 1), std::string("999996")}) {
        const Outcome o = tool({"activate", pid});
        EXPECT_EQ(o.status, 1) << pid;
        EXPECT_EQ(o.out + o.err, "bad pid\n") << pid;
    }
}

TEST(Wine, KeysTextPointerAndWheelArriveExactly) {
    Target target = studio();
    tool({"activate", target.id()});
    auto at = [&](long dx, long dy) {
        return "[" + std::to_string(target.left + dx) + "," + std::to_string(target.top + dy) + "]";
    };
    const Outcome o =
        tool({"run",
              R"([{"keyDown":"Shift"},{"key":"A"},{"keyUp":"Shift"},{"keyDown":"RightControl"},)"
              R"({"key":"Left"},{"keyUp":"RightControl"},{"key":"F10"},{"text":"é😀\n\tb"},)"
              R"({"click":)" +
                  at(50, 60) + R"(,"count":2},{"click":)" + at(70, 80) +
                  R"(,"button":"right"},{"scroll":3},{"scroll":-500},{"down":)" + at(10, 40) +
                  R"(},{"move":)" + at(200, 250) + R"(},{"up":true}])",
              target.id()});
    EXPECT_EQ(o.out + o.err, ok(15));
    auto button = [&](const std::string& name, long dx, long dy, const std::string& mk) {
        return "Button " + name + " " + std::to_string(target.left + dx) + "," +
               std::to_string(target.top + dy) + " mk=" + mk;
    };
    EXPECT_EQ(
        target.input(),
        (std::vector<std::string>{
            "Key down vk=10 scan=2A ext=0 sys=0", "Key down vk=41 scan=1E ext=0 sys=0", "Char 0041",
            "Key up vk=41 scan=1E ext=0 sys=0", "Key up vk=10 scan=2A ext=0 sys=0",
            "Key down vk=11 scan=1D ext=1 sys=0", "Key down vk=25 scan=4B ext=1 sys=0",
            "Key up vk=25 scan=4B ext=1 sys=0", "Key up vk=11 scan=1D ext=1 sys=0",
            "Key down vk=79 scan=44 ext=0 sys=1", "Key up vk=79 scan=44 ext=0 sys=1",
            // Text: one VK_PACKET per code unit, both halves of the emoji in one call;
            // line break and tab on their keys.
            "Key down vk=E7 scan=E9 ext=0 sys=0", "Char 00E9", "Key up vk=E7 scan=E9 ext=0 sys=0",
            "Key down vk=E7 scan=3D ext=0 sys=0", "Char D83D", "Key down vk=E7 scan=00 ext=0 sys=0",
            "Char DE00", "Key up vk=E7 scan=3D ext=0 sys=0", "Key up vk=E7 scan=00 ext=0 sys=0",
            "Key down vk=0D scan=1C ext=0 sys=0", "Char 000D", "Key up vk=0D scan=1C ext=0 sys=0",
            "Key down vk=09 scan=0F ext=0 sys=0", "Char 0009", "Key up vk=09 scan=0F ext=0 sys=0",
            "Key down vk=E7 scan=62 ext=0 sys=0", "Char 0062", "Key up vk=E7 scan=62 ext=0 sys=0",
            // Windows counts the clicks itself: the second is a double click.
            button("LDown", 50, 60, "01"), button("LUp", 50, 60, "00"),
            button("LDouble", 50, 60, "01"), button("LUp", 50, 60, "00"),
            button("RDown", 70, 80, "02"), button("RUp", 70, 80, "00"),
            // 3 lines up; 500 down, cut to 100 so the 16-bit delta does not wrap.
            "Button Wheel 360", "Button Wheel -12000",
            // A drag: pressed at one place, released at another.
            button("LDown", 10, 40, "01"), button("LUp", 200, 250, "00")}));
    EXPECT_EQ(target.held(), "Held");
}

TEST(Wine, TheGuardAndEveryEndingLeaveNothingHeld) {
    Target target = studio(), second = other();
    // The button first: under Wine a press makes the X11 driver re-read the key state
    // from the X server, which knows nothing of keys pressed with SendInput.
    const std::string holding =
        R"([{"down":[150,160]},{"keyDown":"Shift"},{"keyDown":"Control"},{"keyDown":"W"},)";
    const std::string allHeld = "Held 01 10 11 57 A0 A2";
    // Every ending lets go of what the run held, wherever the front window is by then:
    // the releases are looked for in what both windows received. (Wine also re-reads the
    // key state when the front window changes, so the Held line alone would not show it.)
    auto releasedAll = [&] {
        std::set<std::string> ups;
        for (Target* t : {&target, &second}) {
            for (const auto& l : t->input())
                ups.insert(l);
        }
        for (const char* up :
             {"Key up vk=10 scan=2A ext=0 sys=0", "Key up vk=11 scan=1D ext=0 sys=0",
              "Key up vk=57 scan=11 ext=0 sys=0", "Button LUp 150,160 mk=00"}) {
            EXPECT_TRUE(ups.count(up)) << up;
        }
        EXPECT_EQ(target.held(), "Held");
    };
    // Another window comes forward during the run: it stops at the next action.
    tool({"activate", target.id()});
    Running running = start(
        win({MARNITH_WIN_INPUT, "run", holding + R"({"wait":3000},{"key":"A"}])", target.id()}));
    EXPECT_NE(target.await(allHeld, 20000ms), "");
    tool({"activate", second.id()});
    Outcome o = finish(running);
    EXPECT_EQ(o.out, "{\"ok\":false,\"done\":5,\"error\":\"Studio is no longer the front "
                     "window; stopped.\"}\n");
    releasedAll();
    // A failure, a finished run and Ctrl+C.
    tool({"activate", target.id()});
    o = tool({"run", holding + R"({"key":"NoSuchKey"}])", target.id()});
    EXPECT_EQ(o.out + o.err, "unknown key NoSuchKey\n");
    releasedAll();
    EXPECT_EQ(tool({"run", holding.substr(0, holding.size() - 1) + "]", target.id()}).out, ok(4));
    releasedAll();
    running = start(win({MARNITH_WIN_INPUT, "run", holding + R"({"wait":10000}])"}));
    EXPECT_NE(target.await(allHeld, 20000ms), "");
    interrupt(running);
    o = finish(running);
#ifdef _WIN32
    EXPECT_EQ(o.status, static_cast<int>(0xC000013A)); // STATUS_CONTROL_C_EXIT
#else
    EXPECT_EQ(o.status, 0xC000013A & 0xFF); // as Wine reports it
#endif
    EXPECT_EQ(o.out + o.err, "");
    releasedAll();
}

TEST(Wine, NotepadGetsTheTextExactly) {
    const Running notepad = start(win({"notepad"}));
    std::string pid;
    for (int i = 0; i < 100 && (pid.empty() || pid == "0"); ++i) {
        std::this_thread::sleep_for(100ms);
        const Outcome o =
            runProgram(win({MARNITH_WIN_PROBES "/marnith-wine-probe.exe", "--pid-of", "Notepad"}));
        pid = o.out.size() > 5 ? o.out.substr(4, o.out.size() - 5) : "";
    }
    ASSERT_NE(pid, "0");
    EXPECT_EQ(tool({"activate", pid}).out, "{\"ok\":true}\n");
    const Outcome o = tool({"run",
                            R"([{"text":"Grüße 😀\n\tend"},{"keyDown":"Control"},{"key":"A"},)"
                            R"({"key":"C"},{"keyUp":"Control"}])",
                            pid});
    EXPECT_EQ(o.out + o.err, ok(5));
    const Outcome clip =
        runProgram(win({MARNITH_WIN_PROBES "/marnith-wine-probe.exe", "--clipboard"}));
    EXPECT_EQ(clip.out, "CLIPBOARD \"Grüße 😀\\r\\n\\tend\"\n");
    stop(notepad);
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
#ifndef _WIN32
    ::testing::AddGlobalTestEnvironment(new WineDesktop);
#endif
    return RUN_ALL_TESTS();
}

// The real tool on a real X server: Xvfb with openbox, probe clients that report what
// they receive, and xdotool as an independent view of the same screen.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

// After gtest: Xlib defines None and Bool as macros.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

// Starts a helper (Xvfb, openbox, a probe) with its output going to the given fds.
pid_t spawn(const std::vector<std::string>& argv, int outFd = -1, int errFd = -1) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        if (outFd >= 0)
            ::dup2(outFd, 1);
        if (errFd >= 0)
            ::dup2(errFd, 2);
        std::vector<char*> a;
        for (const auto& s : argv)
            a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        ::execvp(a[0], a.data());
        ::_exit(127);
    }
    return child;
}

void stop(pid_t pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(10ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

Outcome tool(std::vector<std::string> args) {
    args.insert(args.begin(), MARNITH_INPUT);
    return runProgram(args);
}

// Xvfb on a free display with openbox, for the whole test program.
class XServer : public ::testing::Environment {
  public:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        xvfb = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x1024x24",
                      "-nolisten", "tcp", "-noreset"},
                     -1, ::open("/dev/null", O_WRONLY));
        ::close(fds[1]);
        // Xvfb writes the number and the newline separately: read to the newline, or
        // it fails writing the second part.
        std::string number;
        char c = 0;
        while (::read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        ::close(fds[0]);
        ASSERT_FALSE(number.empty()) << "Xvfb did not start";
        ::setenv("DISPLAY", (":" + number).c_str(), 1);
        display = XOpenDisplay(nullptr);
        ASSERT_NE(display, nullptr);
        openbox = spawn({"openbox", "--sm-disable"}, ::open("/dev/null", O_WRONLY),
                        ::open("/dev/null", O_WRONLY));
        for (int i = 0; i < 500 && !windowManagerReady(); ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(windowManagerReady());
        // openbox leaves windows mapped right after it announces itself unmanaged.
        std::this_thread::sleep_for(300ms);
    }
    void TearDown() override {
        if (display)
            XCloseDisplay(display);
        stop(openbox);
        stop(xvfb);
    }

    bool windowManagerReady() {
        const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
        auto read = [&](Window w) -> Window {
            Atom type;
            int format;
            unsigned long n, after;
            unsigned char* data = nullptr;
            Window out = None;
            if (XGetWindowProperty(display, w, check, 0, 1, False, XA_WINDOW, &type, &format, &n,
                                   &after, &data) == Success &&
                data && n == 1)
                out = *reinterpret_cast<Window*>(data);
            if (data)
                XFree(data);
            return out;
        };
        const Window w = read(DefaultRootWindow(display));
        return w != None && read(w) == w;
    }

    static Display* display;
    pid_t xvfb = 0, openbox = 0;
};
Display* XServer::display = nullptr;

// A probe client window and the lines it prints.
class Probe {
  public:
    explicit Probe(const std::vector<std::string>& args) {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        std::vector<std::string> argv{MARNITH_PROBE};
        argv.insert(argv.end(), args.begin(), args.end());
        pid = spawn(argv, fds[1]);
        ::close(fds[1]);
        fd = fds[0];
        const std::string ready = await("READY");
        window = std::stoul(ready.substr(6));
    }
    ~Probe() {
        stop(pid);
        ::close(fd);
    }

    // Waits for a line starting with the prefix and returns it; "" after the timeout.
    std::string await(const std::string& prefix, std::chrono::milliseconds timeout = 3000ms) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            for (std::size_t i = seen; i < lines.size(); ++i) {
                if (lines[i].rfind(prefix, 0) == 0) {
                    seen = i + 1;
                    return lines[i];
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !pump(left))
                return "";
        }
    }

    // Everything received until the line is seen (and a little after), key and
    // button events only.
    std::vector<std::string> inputUntil(const std::string& last) {
        std::vector<std::string> out;
        const std::size_t from = seen;
        await(last);
        while (pump(150ms)) {
        }
        for (std::size_t i = from; i < lines.size(); ++i) {
            if (lines[i].rfind("Key", 0) == 0 || lines[i].rfind("Button", 0) == 0)
                out.push_back(lines[i]);
        }
        seen = lines.size();
        return out;
    }

    // Every line received so far.
    const std::vector<std::string>& received() const { return lines; }

    pid_t pid = 0;
    unsigned long window = 0;

  private:
    // Reads what is available within the timeout; false when nothing came.
    bool pump(std::chrono::milliseconds timeout) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return false;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        partial.append(buf, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
            lines.push_back(partial.substr(0, nl));
            partial.erase(0, nl + 1);
        }
        return true;
    }

    int fd = -1;
    std::string partial;
    std::vector<std::string> lines;
    std::size_t seen = 0;
};

std::string pidOf(const Probe& p) {
    return std::to_string(p.pid);
}

unsigned long activeWindow() {
    const Outcome r = runProgram({"xdotool", "getactivewindow"});
    return r.status == 0 ? std::stoul(r.out) : 0;
}

void activate(const Probe& p) {
    runProgram({"xdotool", "windowactivate", "--sync", std::to_string(p.window)});
}

std::vector<KeySym> keymap() {
    Display* d = XServer::display;
    int minCode = 0, maxCode = 0, per = 0;
    XDisplayKeycodes(d, &minCode, &maxCode);
    KeySym* map =
        XGetKeyboardMapping(d, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &per);
    std::vector<KeySym> out(map, map + (maxCode - minCode + 1) * per);
    XFree(map);
    return out;
}

bool anyKeyHeld() {
    char keys[32];
    XQueryKeymap(XServer::display, keys);
    return std::any_of(keys, keys + 32, [](char k) { return k != 0; });
}

TEST(X11, WindowsListsTheTargetsWindowsLikeXdotoolSeesThem) {
    Probe other({"Other", "Other app", "300x200+700+50"});
    Probe dock({"RobloxStudio", "Dock", "200x40+0+900", "dock"});
    Probe first({"RobloxStudio", "Place 1 — Studio", "400x300+40+60"});
    Probe second({"com.roblox.ROBLOXSTUDIO.Beta", "Place 2", "320x240+500+400", "nopid"});
    activate(first);

    const Outcome r = tool({"windows", "ignored"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const json entries = json::parse(r.out);
    ASSERT_EQ(entries.size(), 2u) << r.out;
    // Front to back: the activated window first. The one without _NET_WM_PID gets its
    // pid from the X server.
    EXPECT_EQ(entries[0]["id"], first.window);
    EXPECT_EQ(entries[0]["pid"], first.pid);
    EXPECT_EQ(entries[0]["title"], "Place 1 — Studio");
    EXPECT_EQ(entries[0]["w"], 400.0);
    EXPECT_EQ(entries[0]["h"], 300.0);
    EXPECT_EQ(entries[1]["id"], second.window);
    EXPECT_EQ(entries[1]["pid"], second.pid);
    EXPECT_EQ(entries[1]["title"], "Place 2");
    EXPECT_EQ(entries[1]["w"], 320.0);
    EXPECT_EQ(entries[1]["h"], 240.0);

    // The same windows, and the same client-area origin, as xdotool finds.
    const Outcome found = runProgram({"xdotool", "search", "--onlyvisible", "--class", "robloxstudio"});
    std::vector<unsigned long> ids;
    std::istringstream lines(found.out);
    for (std::string line; std::getline(lines, line);)
        ids.push_back(std::stoul(line));
    std::sort(ids.begin(), ids.end());
    std::vector<unsigned long> listed{entries[0]["id"], entries[1]["id"]};
    std::vector<unsigned long> expected{first.window, second.window, dock.window};
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ids, expected); // xdotool does not leave the dock out
    for (const json& entry : entries) {
        Window child;
        int x = 0, y = 0;
        XTranslateCoordinates(XServer::display, entry["id"].get<Window>(),
                              DefaultRootWindow(XServer::display), 0, 0, &x, &y, &child);
        EXPECT_EQ(entry["x"], double(x));
        EXPECT_EQ(entry["y"], double(y));
    }

    activate(second);
    const json again = json::parse(tool({"windows"}).out);
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[0]["id"], second.window);
}

TEST(X11, ActivateBringsTheApplicationToTheFront) {
    Probe a({"AppA", "A", "300x200+50+50"});
    Probe b({"AppB", "B", "300x200+400+50"});
    activate(a);
    const Outcome r = tool({"activate", pidOf(b), "extra"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"ok\":true}\n");
    EXPECT_EQ(activeWindow(), b.window); // already active when the tool returns

    // Already in front: still fine.
    EXPECT_EQ(tool({"activate", pidOf(b)}).out, "{\"ok\":true}\n");

    // A process with no window is no running application.
    for (const std::string& pid :
         std::vector<std::string>{std::to_string(::getpid()), "-5", "x", ""}) {
        const Outcome bad = tool({"activate", pid});
        EXPECT_EQ(bad.status, 1) << pid;
        EXPECT_EQ(bad.out, "");
        EXPECT_EQ(bad.err, "bad pid\n");
    }
}

TEST(X11, RunDeliversKeysWithModifiersAndLeavesNothingHeld) {
    Probe p({"RobloxStudio", "Keys", "300x200+50+50"});
    activate(p);
    const Outcome r = tool({"run",
                           R"([{"key":"a","hold":5},{"keyDown":"Shift"},{"key":"b","hold":5},)"
                           R"({"keyUp":"Shift"},{"keyDown":"Control"},{"key":"Return","hold":0},)"
                           R"({"keyDown":"Meta"},{"key":"Up","hold":0},{"key":"F5","hold":0}])",
                           pidOf(p)});
    EXPECT_EQ(r.out, "{\"ok\":true,\"done\":9}\n") << r.err;
    const auto events = p.inputUntil("KeyRelease kc=133");
    const std::vector<std::string> expected = {
        "KeyPress kc=38 str=a state=0x0",
        "KeyRelease kc=38 str=a state=0x0",
        "KeyPress kc=50 str=<Shift_L> state=0x0",
        "KeyPress kc=56 str=B state=0x1",
        "KeyRelease kc=56 str=B state=0x1",
        "KeyRelease kc=50 str=<Shift_L> state=0x1",
        "KeyPress kc=37 str=<Control_L> state=0x0",
        "KeyPress kc=36 str=<Return> state=0x4",
        "KeyRelease kc=36 str=<Return> state=0x4",
        "KeyPress kc=133 str=<Super_L> state=0x4",
        "KeyPress kc=111 str=<Up> state=0x44",
        "KeyRelease kc=111 str=<Up> state=0x44",
        "KeyPress kc=71 str=<F5> state=0x44",
        "KeyRelease kc=71 str=<F5> state=0x44",
        // The end of the run releases the modifiers: Shift and Control keys first.
        "KeyRelease kc=50 str=<Shift_L> state=0x44",
        "KeyRelease kc=62 str=<Shift_R> state=0x44",
        "KeyRelease kc=37 str=<Control_L> state=0x44",
        "KeyRelease kc=105 str=<Control_R> state=0x40",
        "KeyRelease kc=64 str=<Alt_L> state=0x40",
        "KeyRelease kc=108 str=<Alt_R> state=0x40",
        "KeyRelease kc=133 str=<Super_L> state=0x40",
    };
    // Key-ups of keys that were not down reach no client; compare what was delivered.
    std::vector<std::string> delivered;
    std::copy_if(expected.begin(), expected.end(), std::back_inserter(delivered),
                 [](const std::string& e) {
                     return e.find("Shift_R") == std::string::npos &&
                            e.find("Control_R") == std::string::npos &&
                            e.find("Alt_") == std::string::npos &&
                            e != "KeyRelease kc=50 str=<Shift_L> state=0x44";
                 });
    EXPECT_EQ(events, delivered);
    EXPECT_FALSE(anyKeyHeld());

    // A run that fails part-way also lets go of what it held.
    const Outcome failed = tool({"run", R"([{"keyDown":"Alt"},{"key":"Banana"}])", pidOf(p)});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err, "unknown key Banana\n");
    EXPECT_FALSE(anyKeyHeld());
}

TEST(X11, RunTypesAnyCharacterAndRestoresTheKeymap) {
    Probe p({"RobloxStudio", "Text", "300x200+50+50"});
    activate(p);
    const auto before = keymap();
    const std::string text = "aé€😀Ωжß漢字🎉b A\\n";
    const Outcome r = tool({"run", R"([{"keyDown":"Shift"},{"text":")" + text + R"("}])", pidOf(p)});
    EXPECT_EQ(r.out, "{\"ok\":true,\"done\":2}\n") << r.err;
    std::string typed;
    for (const auto& line : p.inputUntil("KeyRelease kc=50")) {
        if (line.rfind("KeyPress", 0) != 0 || line.find("<Shift_L>") != std::string::npos)
            continue;
        const auto from = line.find("str=") + 4;
        typed += line.substr(from, line.find(" state=") - from);
    }
    // Held Shift does not change a typed character.
    EXPECT_EQ(typed, "aé€😀Ωжß漢字🎉b A<Return>");
    EXPECT_EQ(keymap(), before);
    EXPECT_FALSE(anyKeyHeld());
}

TEST(X11, RunClicksScrollsAndDrags) {
    Probe p({"RobloxStudio", "Pointer", "400x300+100+100"});
    activate(p);
    const json w = json::parse(tool({"windows"}).out)[0];
    const double x0 = w["x"], y0 = w["y"];
    auto at = [&](int dx, int dy) {
        return "[" + std::to_string(x0 + dx) + "," + std::to_string(y0 + dy) + "]";
    };
    const Outcome r =
        tool({"run",
              "[{\"click\":" + at(10, 20) + ",\"count\":2}," + "{\"click\":" + at(30, 40) +
                  ",\"button\":\"right\"}," + "{\"scroll\":2},{\"scroll\":-3.9}," +
                  "{\"down\":" + at(50, 60) + "},{\"move\":" + at(150, 160) + "},{\"up\":true}]",
              pidOf(p)});
    EXPECT_EQ(r.out, "{\"ok\":true,\"done\":7}\n") << r.err;
    std::vector<std::string> events;
    for (const auto& line : p.inputUntil("ButtonRelease b=1 x=150")) {
        events.push_back(line);
    }
    const std::vector<std::string> expected = {
        "ButtonPress b=1 x=10 y=20 state=0x0", "ButtonRelease b=1 x=10 y=20 state=0x100",
        "ButtonPress b=1 x=10 y=20 state=0x0", "ButtonRelease b=1 x=10 y=20 state=0x100",
        "ButtonPress b=3 x=30 y=40 state=0x0", "ButtonRelease b=3 x=30 y=40 state=0x400",
        "ButtonPress b=4 x=30 y=40 state=0x0", "ButtonRelease b=4 x=30 y=40 state=0x800",
        "ButtonPress b=4 x=30 y=40 state=0x0", "ButtonRelease b=4 x=30 y=40 state=0x800",
        "ButtonPress b=5 x=30 y=40 state=0x0", "ButtonRelease b=5 x=30 y=40 state=0x1000",
        "ButtonPress b=5 x=30 y=40 state=0x0", "ButtonRelease b=5 x=30 y=40 state=0x1000",
        "ButtonPress b=5 x=30 y=40 state=0x0", "ButtonRelease b=5 x=30 y=40 state=0x1000",
        "ButtonPress b=1 x=50 y=60 state=0x0", "ButtonRelease b=1 x=150 y=160 state=0x100",
    };
    EXPECT_EQ(events, expected);

    // The two presses of the double click come within the strictest toolkit
    // double-click time (Xt's 200 ms), so the client counts them as one double click.
    std::vector<unsigned long> presses;
    for (const auto& line : p.received()) {
        if (line.rfind("PressTime t=", 0) == 0)
            presses.push_back(std::stoul(line.substr(12)));
    }
    ASSERT_GE(presses.size(), 2u);
    EXPECT_LT(presses[1] - presses[0], 200u);
}

TEST(X11, TheGuardStopsARunWhenAnotherWindowComesToTheFront) {
    Probe target({"RobloxStudio", "Target", "300x200+50+50"});
    Probe other({"Other", "Other", "300x200+500+50"});
    activate(target);
    const Running running = start({MARNITH_INPUT, "run",
                                   R"([{"keyDown":"Shift"},{"wait":1500},{"key":"A"},{"key":"B"}])",
                                   pidOf(target)});
    std::this_thread::sleep_for(500ms);
    activate(other);
    const Outcome o = finish(running);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "{\"ok\":false,\"done\":2,\"error\":\"Studio is no longer the front "
                     "window; stopped.\"}\n");
    EXPECT_FALSE(anyKeyHeld());
    // Nothing of the last two actions reached either window.
    EXPECT_EQ(target.await("KeyPress kc=38", 300ms), "");
    EXPECT_EQ(other.await("KeyPress", 300ms), "");
}

TEST(X11, WithoutADisplay) {
    const std::string saved = std::getenv("DISPLAY");
    ::setenv("DISPLAY", ":4095", 1);
    const Outcome trusted = tool({"trusted", "--prompt"});
    const Outcome windows = tool({"windows"});
    const Outcome activated = tool({"activate", "1"});
    const Outcome ran = tool({"run", "[]"});
    ::setenv("DISPLAY", saved.c_str(), 1);
    EXPECT_EQ(trusted.out, "{\"trusted\":false}\n");
    EXPECT_EQ(windows.out, "[]\n");
    EXPECT_EQ(activated.err, "bad pid\n");
    EXPECT_EQ(ran.err, "Accessibility permission is off for Marnith\n");
    EXPECT_EQ(ran.status, 1);
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new XServer);
    return RUN_ALL_TESTS();
}

// The real tool on a real X server: Xvfb with openbox, probe clients that report what
// they receive, and xdotool as an independent view of the same screen.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../desktop.h"
#include "../process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

// After gtest: Xlib defines None and Bool as macros.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

Outcome tool(std::vector<std::string> args) {
    args.insert(args.begin(), MARNITH_INPUT);
    return runProgram(args);
}

// Xvfb on a free display with openbox, for the whole test program.
class XServer : public ::testing::Environment {
  public:
    void SetUp() override {
        xvfb = startXvfb();
        display = XOpenDisplay(nullptr);
        ASSERT_NE(display, nullptr);
        // The window manager's check window vanishes when it is stopped.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        startWindowManager();
    }
    void TearDown() override {
        if (display)
            XCloseDisplay(display);
        stopWindowManager();
        stop(xvfb);
    }
    static void startWindowManager() {
        openbox = start({"openbox", "--sm-disable"});
        for (int i = 0; i < 500 && !windowManagerReady(); ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(windowManagerReady());
        // openbox leaves windows mapped right after it announces itself unmanaged.
        std::this_thread::sleep_for(300ms);
    }
    static void stopWindowManager() { stop(openbox); }

    static bool windowManagerReady() {
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
    static Running openbox;
    Running xvfb;
};
Display* XServer::display = nullptr;
Running XServer::openbox;

// Our Xlib probe with these arguments, or with "gtk" or "qt" first, a toolkit's.
std::vector<std::string> x11(const std::vector<std::string>& args) {
    std::vector<std::string> argv{MARNITH_PROBE};
    if (args[0] == "gtk" || args[0] == "qt")
        argv = {"/usr/bin/python3", MARNITH_TOOLKIT_PROBE};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// The text field's text once it has stopped changing (toolkit probes).
std::string fieldText(Probe& p) {
    p.inputUntilQuiet();
    std::string last = "\"\"";
    for (const auto& line : p.received()) {
        if (line.rfind("TEXT ", 0) == 0)
            last = line.substr(5);
    }
    return json::parse(last).get<std::string>();
}

// The characters typed since the last look, as the client read them (Xlib probe).
std::string typedText(Probe& p) {
    std::string out;
    for (const auto& line : p.inputUntilQuiet()) {
        if (line.rfind("KeyPress", 0) != 0)
            continue;
        const auto from = line.find("str=") + 4;
        const std::string c = line.substr(from, line.find(" state=") - from);
        if (c.size() < 3 || c.front() != '<' || c.back() != '>') // not a named key
            out += c;
    }
    return out;
}

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

// Runs the tool and, for a run, waits for it: a tool that has exited has typed everything.
Outcome runIn(const Probe& p, const std::string& actions) {
    return tool({"run", actions, pidOf(p)});
}

// 40 distinct characters without a key in the US map, cycled to the length.
std::string cycled(std::size_t count) {
    static const std::vector<std::string> alphabet = [] {
        std::vector<std::string> out;
        for (const char* c :
             {"é", "€", "Ω", "ж", "ß", "漢", "字", "ü", "ñ", "ø", "å", "ç", "λ", "π",
              "σ", "д", "и", "к", "л", "м",  "н",  "о", "п", "р", "с", "т", "у", "ф",
              "х", "ц", "ч", "ш", "щ", "ы",  "э",  "ю", "я", "ą", "ę", "ł"})
            out.push_back(c);
        return out;
    }();
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += alphabet[i % alphabet.size()];
    return text;
}

TEST(X11, WindowsListsTheTargetsWindowsLikeXdotoolSeesThem) {
    Probe other(x11({"Other", "Other app", "300x200+700+50"}));
    Probe dock(x11({"RobloxStudio", "Dock", "200x40+0+900", "dock"}));
    Probe first(x11({"RobloxStudio", "Place 1 — Studio", "400x300+40+60"}));
    Probe second(x11({"com.roblox.ROBLOXSTUDIO.Beta", "Place 2: ünïcödé Ωж 漢字", "320x240+500+400",
                      "nopid", "ctext"}));
    Probe frameless(x11({"qt", "RobloxStudioFrameless", "frameless"}));
    activate(first);
    const Outcome r = tool({"windows", "ignored"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json entries = json::parse(r.out);
    ASSERT_EQ(entries.size(), 3u) << r.out;
    // Front to back; the one without _NET_WM_PID gets its pid from the X server, its
    // compound-text title comes out as UTF-8; the frameless Qt window is a normal one.
    EXPECT_EQ(entries[0]["id"], first.window);
    EXPECT_EQ(entries[0]["pid"], first.pid);
    EXPECT_EQ(entries[0]["title"], "Place 1 — Studio");
    EXPECT_EQ(entries[0]["w"].get<double>() * 1000 + entries[0]["h"].get<double>(), 400300);
    EXPECT_EQ(entries[1]["pid"], frameless.pid);
    EXPECT_EQ(entries[2]["id"], second.window);
    EXPECT_EQ(entries[2]["pid"], second.pid);
    EXPECT_EQ(entries[2]["title"], "Place 2: ünïcödé Ωж 漢字");
    // The same windows (but the dock) and client-area origins as xdotool finds.
    const Outcome found =
        runProgram({"xdotool", "search", "--onlyvisible", "--class", "robloxstudio"});
    std::vector<unsigned long> ids,
        expected{first.window, second.window, dock.window, frameless.window};
    std::istringstream lines(found.out);
    for (std::string line; std::getline(lines, line);)
        ids.push_back(std::stoul(line));
    std::sort(ids.begin(), ids.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ids, expected);
    for (const json& entry : entries) {
        Window child;
        int x = 0, y = 0;
        XTranslateCoordinates(XServer::display, entry["id"].get<Window>(),
                              DefaultRootWindow(XServer::display), 0, 0, &x, &y, &child);
        EXPECT_EQ(entry["x"].get<double>() * 10000 + entry["y"].get<double>(), x * 10000 + y);
    }
}

TEST(X11, ActivateBringsTheApplicationForwardFromAnyDesktop) {
    Probe a(x11({"AppA", "A", "300x200+50+50"}));
    Probe b(x11({"AppB", "B", "300x200+400+50"}));
    activate(a);
    EXPECT_EQ(tool({"activate", pidOf(b), "extra"}).out, "{\"ok\":true}\n");
    EXPECT_EQ(activeWindow(), b.window); // already active when the tool returns
    EXPECT_EQ(tool({"activate", pidOf(b)}).out, "{\"ok\":true}\n"); // already in front
    // On another desktop: that desktop is shown first.
    runProgram({"xdotool", "set_desktop_for_window", std::to_string(a.window), "1"});
    EXPECT_EQ(tool({"activate", pidOf(a)}).out, "{\"ok\":true}\n");
    EXPECT_EQ(activeWindow(), a.window);
    EXPECT_EQ(runProgram({"xdotool", "get_desktop"}).out, "1\n");
    runProgram({"xdotool", "set_desktop", "0"});
    // A process with no window is no running application.
    for (const std::string& pid : {std::to_string(::getpid()), std::string("-5"), std::string("")})
        EXPECT_EQ(tool({"activate", pid}).err, "bad pid\n") << pid;
}

TEST(X11, RunDeliversKeysWithModifiersAndLeavesNothingHeld) {
    Probe p(x11({"RobloxStudio", "Keys", "300x200+50+50"}));
    activate(p);
    const Outcome r =
        runIn(p, R"([{"key":"a","hold":5},{"keyDown":"Shift"},{"key":"b","hold":5},)"
                 R"({"keyUp":"Shift"},{"keyDown":"Control"},{"key":"Return","hold":0},)"
                 R"({"keyDown":"Meta"},{"key":"Up","hold":0},{"key":"F5","hold":0},)"
                 R"({"keyDown":"RightShift"},{"keyDown":"W"}])");
    EXPECT_EQ(r.out, "{\"ok\":true,\"done\":11}\n") << r.err;
    // Key-ups of keys that are not down reach no client. The end of the run lets go of
    // the right Shift key, Control and Super (the walk), then W.
    EXPECT_EQ(p.inputUntil("KeyRelease kc=25"),
              (std::vector<std::string>{"KeyPress kc=38 str=a state=0x0",
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
                                        "KeyPress kc=62 str=<Shift_R> state=0x44",
                                        "KeyPress kc=25 str=W state=0x45",
                                        "KeyRelease kc=62 str=<Shift_R> state=0x45",
                                        "KeyRelease kc=37 str=<Control_L> state=0x44",
                                        "KeyRelease kc=133 str=<Super_L> state=0x40",
                                        "KeyRelease kc=25 str=w state=0x0"}));
    EXPECT_FALSE(anyKeyHeld());
    const Outcome failed = runIn(p, R"([{"keyDown":"Alt"},{"keyDown":"D"},{"key":"Banana"}])");
    EXPECT_EQ(failed.err, "unknown key Banana\n");
    EXPECT_FALSE(anyKeyHeld());
}

TEST(X11, TextIsExactInEveryToolkitWhateverShiftAndCapsLock) {
    const auto before = keymap();
    const std::string text = "Hello, World! ~`{}|\"<>? 123 aé€😀Ωжß漢字🎉b " + cycled(60);
    const std::string actions = json::array({{{"text", text + "\n"}},
                                             {{"keyDown", "Shift"}},
                                             {{"text", "aB1!é"}},
                                             {{"keyUp", "Shift"}}})
                                    .dump();
    for (const bool capsLock : {false, true}) {
        if (capsLock)
            runProgram({"xdotool", "key", "Caps_Lock"});
        Probe xlib(x11({"RobloxStudio", "Text", "300x200+50+50"}));
        activate(xlib);
        EXPECT_EQ(runIn(xlib, actions).out, "{\"ok\":true,\"done\":4}\n");
        EXPECT_EQ(typedText(xlib), text + "aB1!é") << capsLock;
        for (const char* toolkit : {"gtk", "qt"}) {
            Probe p(x11({toolkit, "RobloxStudio"}));
            activate(p);
            const Outcome r = runIn(p, actions);
            EXPECT_EQ(r.out, "{\"ok\":true,\"done\":4}\n") << r.err;
            EXPECT_EQ(fieldText(p), text + "aB1!é") << toolkit << " caps lock " << capsLock;
        }
    }
    runProgram({"xdotool", "key", "Caps_Lock"});
    EXPECT_EQ(keymap(), before);
    EXPECT_FALSE(anyKeyHeld());
}

TEST(X11, SparesAreTakenBackAndNeverShared) {
    const auto before = keymap();
    Probe p(x11({"gtk", "RobloxStudio"}));
    activate(p);
    // A run killed while typing leaves its spares bound; the next run takes them back.
    const Running killed = start({MARNITH_INPUT, "run", R"([{"text":")" + cycled(200) + "\"}]"});
    std::this_thread::sleep_for(400ms);
    ::kill(killed.pid, SIGKILL);
    finish(killed);
    EXPECT_NE(keymap(), before);
    const std::string partial = fieldText(p);
    EXPECT_FALSE(partial.empty());
    EXPECT_EQ(runIn(p, R"([{"text":"Hello ąęł"}])").out, "{\"ok\":true,\"done\":1}\n");
    EXPECT_EQ(fieldText(p), partial + "Hello ąęł");
    EXPECT_EQ(keymap(), before);
    // Every spare held by a live process that keeps them: the run fails on the character
    // once it has waited its while, instead of leaving it out.
    Display* d = XServer::display;
    const Window marker = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    const long nonce = 12345;
    XChangeProperty(d, marker, XInternAtom(d, "_MARNITH_INPUT_OWNER", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&nonce), 1);
    std::vector<long> held;
    for (std::size_t code = 0; code < before.size() / 7; ++code) {
        if (std::all_of(&before[code * 7], &before[code * 7 + 7], [](KeySym k) { return k == 0; }))
            held.insert(held.end(),
                        {static_cast<long>(code + 8), static_cast<long>(marker), nonce});
    }
    const Atom spares = XInternAtom(d, "_MARNITH_INPUT_SPARES", False);
    XChangeProperty(d, DefaultRootWindow(d), spares, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(held.data()),
                    static_cast<int>(held.size()));
    XSync(d, False);
    const Outcome starved = runIn(p, R"([{"text":"éa"}])");
    EXPECT_EQ(starved.status, 1);
    EXPECT_EQ(starved.err, "cannot type é\n");
    EXPECT_EQ(fieldText(p), partial + "Hello ąęł");
    XDeleteProperty(d, DefaultRootWindow(d), spares);
    XDestroyWindow(d, marker);
    // A keymap with no spare keycode at all: the run fails before typing any of the text.
    for (std::size_t i = 0; i < held.size(); i += 3) {
        KeySym f35 = XK_F35;
        XChangeKeyboardMapping(d, static_cast<int>(held[i]), 1, &f35, 1);
    }
    XSync(d, False);
    EXPECT_EQ(runIn(p, R"([{"text":"aé"}])").err, "cannot type é\n");
    EXPECT_EQ(fieldText(p), partial + "Hello ąęł");
    for (std::size_t i = 0; i < held.size(); i += 3) {
        KeySym none = NoSymbol;
        XChangeKeyboardMapping(d, static_cast<int>(held[i]), 1, &none, 1);
    }
    XSync(d, False);
    EXPECT_EQ(keymap(), before);
    // Two runs at once, each with characters of its own: every character arrives.
    Probe q(x11({"qt", "RobloxStudio"}));
    activate(q);
    const std::string one = cycled(72), two = "ΑΒΓΔΕΖΗΘΙΚΛΜ"
                                              "ΑΒΓΔΕΖΗΘΙΚΛΜ"
                                              "ΑΒΓΔΕΖΗΘΙΚΛΜ";
    const Running a = start({MARNITH_INPUT, "run", R"([{"text":")" + one + "\"}]"});
    const Running b = start({MARNITH_INPUT, "run", R"([{"text":")" + two + "\"}]"});
    EXPECT_EQ(finish(a).out + finish(b).out,
              "{\"ok\":true,\"done\":1}\n{\"ok\":true,\"done\":1}\n");
    auto sorted = [](const std::string& s) {
        std::u32string u;
        for (std::size_t i = 0; i < s.size();) {
            const auto c = static_cast<unsigned char>(s[i]);
            const std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            u += static_cast<char32_t>(std::hash<std::string>{}(s.substr(i, n)));
            i += n;
        }
        std::sort(u.begin(), u.end());
        return u;
    };
    EXPECT_EQ(sorted(fieldText(q)), sorted(one + two));
    EXPECT_EQ(keymap(), before);
}

TEST(X11, ActivationRightAfterTextLandsAndTheGuardStopsTextMidway) {
    Probe target(x11({"RobloxStudio", "Target", "300x200+50+50"}));
    Probe other(x11({"Other", "Other", "300x200+500+50"}));
    activate(target);
    EXPECT_EQ(runIn(target, R"([{"text":")" + cycled(80) + "\"}]").out,
              "{\"ok\":true,\"done\":1}\n");
    EXPECT_EQ(tool({"activate", pidOf(other)}).out, "{\"ok\":true}\n");
    EXPECT_EQ(runIn(other, R"([{"wait":0}])").out, "{\"ok\":true,\"done\":1}\n");
    EXPECT_EQ(tool({"activate", pidOf(target)}).out, "{\"ok\":true}\n");
    target.inputUntilQuiet();
    other.inputUntilQuiet();
    // Another window comes forward while text is typed: the text stops there, and what
    // the run held is let go.
    std::string text(200, 'x');
    const Running running =
        start({MARNITH_INPUT, "run",
               R"([{"keyDown":"Shift"},{"text":")" + text + "\"},{\"key\":\"A\"}]", pidOf(target)});
    std::this_thread::sleep_for(800ms);
    activate(other);
    const Outcome o = finish(running);
    EXPECT_EQ(o.out, "{\"ok\":false,\"done\":1,\"error\":\"Studio is no longer the front "
                     "window; stopped.\"}\n");
    const std::size_t typed = typedText(target).size();
    EXPECT_GT(typed, 10u);
    EXPECT_LT(typed, 200u);
    // At most the character in flight when the other window came forward reaches it (the
    // check and the key are two requests, and the switch can fall between them).
    EXPECT_LE(typedText(other).size(), 1u);
    EXPECT_FALSE(anyKeyHeld());
}

TEST(X11, RunClicksScrollsAndDrags) {
    Probe p(x11({"RobloxStudio", "Pointer", "400x300+100+100"}));
    activate(p);
    const json w = json::parse(tool({"windows"}).out)[0];
    auto at = [&](int dx, int dy) {
        return "[" + std::to_string(w["x"].get<double>() + dx) + "," +
               std::to_string(w["y"].get<double>() + dy) + "]";
    };
    const Outcome r = runIn(
        p, "[{\"click\":" + at(10, 20) + ",\"count\":2},{\"click\":" + at(30, 40) +
               ",\"button\":\"right\"},{\"scroll\":2},{\"scroll\":-1.9},{\"down\":" + at(50, 60) +
               "},{\"move\":" + at(150, 160) + "},{\"up\":true}," + "{\"down\":" + at(5, 5) + "}]");
    EXPECT_EQ(r.out, "{\"ok\":true,\"done\":8}\n") << r.err;
    // The button still down at the end is released where the pointer is.
    EXPECT_EQ(
        p.inputUntil("ButtonRelease b=1 x=5"),
        (std::vector<std::string>{
            "ButtonPress b=1 x=10 y=20 state=0x0", "ButtonRelease b=1 x=10 y=20 state=0x100",
            "ButtonPress b=1 x=10 y=20 state=0x0", "ButtonRelease b=1 x=10 y=20 state=0x100",
            "ButtonPress b=3 x=30 y=40 state=0x0", "ButtonRelease b=3 x=30 y=40 state=0x400",
            "ButtonPress b=4 x=30 y=40 state=0x0", "ButtonRelease b=4 x=30 y=40 state=0x800",
            "ButtonPress b=4 x=30 y=40 state=0x0", "ButtonRelease b=4 x=30 y=40 state=0x800",
            "ButtonPress b=5 x=30 y=40 state=0x0", "ButtonRelease b=5 x=30 y=40 state=0x1000",
            "ButtonPress b=1 x=50 y=60 state=0x0", "ButtonRelease b=1 x=150 y=160 state=0x100",
            "ButtonPress b=1 x=5 y=5 state=0x0", "ButtonRelease b=1 x=5 y=5 state=0x100"}));
    // The double click's presses come within the strictest toolkit double-click time
    // (Xt's 200 ms), so the client counts them as one double click.
    std::vector<unsigned long> presses;
    for (const auto& line : p.received()) {
        if (line.rfind("PressTime t=", 0) == 0)
            presses.push_back(std::stoul(line.substr(12)));
    }
    ASSERT_GE(presses.size(), 2u);
    EXPECT_LT(presses[1] - presses[0], 200u);
}

TEST(X11, WithoutAWindowManagerTheFocusIsTheFront) {
    Probe target(x11({"RobloxStudio", "Target", "300x200+50+50"}));
    Probe other(x11({"Other", "Other", "300x200+500+50"}));
    XServer::stopWindowManager(); // its _NET_ACTIVE_WINDOW stays behind, naming a window
    EXPECT_EQ(tool({"activate", pidOf(target)}).out, "{\"ok\":true}\n");
    EXPECT_EQ(runIn(target, R"([{"text":"ok"}])").out, "{\"ok\":true,\"done\":1}\n");
    EXPECT_EQ(typedText(target), "ok");
    runProgram({"xdotool", "windowfocus", std::to_string(other.window)});
    EXPECT_EQ(runIn(target, R"([{"text":"no"}])").out.rfind("{\"ok\":false,\"done\":0,", 0), 0u);
    EXPECT_EQ(typedText(other), "");
    XServer::startWindowManager();
}

TEST(X11, WithoutADisplay) {
    const std::string saved = std::getenv("DISPLAY");
    ::setenv("DISPLAY", ":4095", 1);
    const Outcome trusted = tool({"trusted", "--prompt"}), windows = tool({"windows"}),
                  activated = tool({"activate", "1"}), ran = tool({"run", "[]"});
    ::setenv("DISPLAY", saved.c_str(), 1);
    EXPECT_EQ(trusted.out + windows.out + activated.err + ran.err,
              "{\"trusted\":false}\n[]\nbad pid\nAccessibility permission is off for Marnith\n");
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new XServer);
    return RUN_ALL_TESTS();
}

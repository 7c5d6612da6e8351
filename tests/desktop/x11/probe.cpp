// An Xlib window logging what it receives; its arguments and lines are in ../README.md.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <array>
#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <unistd.h>

namespace {

Display* d;

// The key's name, from its unshifted keysym: the tool's for the modifiers and letters, X's
// for other keys that type no character (Return, Tab, the arrows, F10 ...), and none for keys
// that type one (text goes on them).
std::string keyName(unsigned keycode) {
    const KeySym sym = XkbKeycodeToKeysym(d, KeyCode(keycode), 0, 0);
    const char* x = XKeysymToString(sym);
    const std::string s = x ? x : "";
    static const std::string names = " Shift_L:LeftShift Shift_R:RightShift Control_L:LeftControl"
                                     " Control_R:RightControl Alt_L:LeftAlt Alt_R:RightAlt"
                                     " Super_L:LeftMeta ";
    if (const auto at = names.find(" " + s + ":"); !s.empty() && at != std::string::npos)
        return names.substr(at + s.size() + 2, names.find(' ', at + 1) - at - s.size() - 2);
    if (sym >= XK_a && sym <= XK_z)
        return std::string(1, char(sym - XK_a + 'A'));
    return sym < 0x100 || sym >= 0x01000000 ? "" : s;
}

// The held modifiers, leaving out the class of the key the event is for.
std::string mods(unsigned state, const std::string& key) {
    std::string out;
    static const std::pair<unsigned, const char*> classes[]{
        {ShiftMask, "Shift"}, {ControlMask, "Control"}, {Mod1Mask, "Alt"}, {Mod4Mask, "Meta"}};
    for (const auto& [mask, cls] : classes)
        if ((state & mask) && key.find(cls) == std::string::npos)
            out += " +" + std::string(1, char(std::tolower(cls[0]))) + (cls + 1);
    return out;
}

void prop(Window w, const char* name, Atom type, int format, const void* data, int n) {
    XChangeProperty(d, w, XInternAtom(d, name, False), type, format, PropModeReplace,
                    static_cast<const unsigned char*>(data), n);
}

void say(const std::string& line) {
    std::puts(line.c_str()); // stdout is line-buffered: the driver reads the log as it grows
}

int held() {
    char keys[32];
    XQueryKeymap(d, keys);
    std::string out;
    for (unsigned code = 8; code < 256; ++code)
        if (keys[code / 8] & (1 << (code % 8))) {
            const std::string name = keyName(code);
            out += " " + (name.empty() ? "keycode" + std::to_string(code) : name);
        }
    Window unused;
    int i;
    unsigned mask = 0;
    XQueryPointer(d, DefaultRootWindow(d), &unused, &unused, &i, &i, &i, &i, &mask);
    out += std::string(mask & Button1Mask ? " left" : "") + (mask & Button3Mask ? " right" : "");
    say("held" + (out.empty() ? std::string(" none") : out));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    d = XOpenDisplay(nullptr);
    if (!d || argc < 2)
        return 1;
    if (std::strcmp(argv[1], "--held") == 0)
        return held();
    if (std::strcmp(argv[1], "--group") == 0 && argc > 2)
        return !(XkbLockGroup(d, XkbUseCoreKbd, unsigned(std::atoi(argv[2]))) && XSync(d, False));
    // Xlib sets up XKB, and with it the notices of keymap changes, on first use: before
    // any key comes, or a change made meanwhile goes unnoticed and its keys read as none.
    XkbKeycodeToKeysym(d, 8, 0, 0);
    if (argc < 4)
        return 2;
    unsigned width = 0, height = 0;
    int x = 0, y = 0;
    XParseGeometry(argv[3], &x, &y, &width, &height);
    const std::set<std::string> flags(argv + 4, argv + argc);
    auto flag = [&](const char* f) { return flags.count(f) > 0; };
    const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), x, y, width, height, 0, 0,
                                         WhitePixel(d, DefaultScreen(d)));
    XTextProperty name{};
    Xutf8TextListToTextProperty(d, &argv[2], 1,
                                flag("ctext") ? XCompoundTextStyle : XStdICCTextStyle, &name);
    XSizeHints size{};
    size.flags = USPosition | USSize, size.x = x, size.y = y;
    size.width = int(width), size.height = int(height);
    XWMHints wm{};
    wm.flags = InputHint, wm.input = True;
    XClassHint hint{const_cast<char*>("probe"), argv[1]};
    XSetWMProperties(d, w, &name, nullptr, nullptr, 0, &size, &wm, &hint);
    if (!flag("ctext"))
        prop(w, "_NET_WM_NAME", XInternAtom(d, "UTF8_STRING", False), 8, argv[2],
             int(std::strlen(argv[2])));
    const long pid = getpid();
    if (!flag("nopid"))
        prop(w, "_NET_WM_PID", XA_CARDINAL, 32, &pid, 1);
    const Atom dock = XInternAtom(d, "_NET_WM_WINDOW_TYPE_DOCK", False);
    if (flag("dock"))
        prop(w, "_NET_WM_WINDOW_TYPE", XA_ATOM, 32, &dock, 1);
    XSelectInput(d, w,
                 KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                     PointerMotionMask | StructureNotifyMask);
    // Characters as Xlib's own input method gives them (legacy keysyms such as Cyrillic
    // ones included); dead keys are not composed, so one typed shows as a gap.
    std::setlocale(LC_ALL, "C.UTF-8");
    XSetLocaleModifiers("@im=none");
    XIM im = XOpenIM(d, nullptr, nullptr, nullptr);
    XIC ic = im ? XCreateIC(im, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow,
                            w, nullptr)
                : nullptr;
    XMapWindow(d, w);
    // X events carry no click count: count as toolkits do, from the server time (within
    // Xt's 200 ms, the strictest double-click time) and the button.
    unsigned lastButton = 0, clicks = 0;
    Time lastPress = 0;
    int lastX = 0, lastY = 0, pressX = 0, pressY = 0; // where the pointer was seen, pressed
    bool ready = false;
    for (;;) {
        XEvent e;
        XNextEvent(d, &e);
        if (e.type == MapNotify && !ready) {
            ready = true;
            Window child;
            int cx = 0, cy = 0;
            XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &cx, &cy, &child);
            std::printf("ready %lu %ld %d %d %u %u %d %d\n", w, pid, cx, cy, width, height, cx, cy);
        } else if (e.type == KeyPress || e.type == KeyRelease) {
            const std::string key = keyName(e.xkey.keycode);
            if (!key.empty())
                say(std::string(e.type == KeyPress ? "key down " : "key up ") + key +
                    mods(e.xkey.state, key));
            char buf[16] = "";
            KeySym sym = NoSymbol;
            Status status = 0;
            const int n = e.type == KeyPress && ic
                              ? Xutf8LookupString(ic, &e.xkey, buf, sizeof buf - 1, &sym, &status)
                              : 0;
            const bool printable = n > 0 && (unsigned char)buf[0] >= 0x20 && buf[0] != 0x7F;
            if (printable && !(e.xkey.state & (ControlMask | Mod1Mask | Mod4Mask)))
                say("char " + std::string(buf, std::size_t(n)));
        } else if ((e.type == ButtonPress || e.type == ButtonRelease) && e.xbutton.button >= 4) {
            if (e.type == ButtonPress && e.xbutton.button <= 5)
                say(e.xbutton.button == 4 ? "wheel +1" : "wheel -1");
        } else if (e.type == ButtonPress || e.type == ButtonRelease) {
            const unsigned b = e.xbutton.button;
            if (e.type == ButtonPress) {
                const bool near =
                    std::abs(e.xbutton.x - pressX) <= 4 && std::abs(e.xbutton.y - pressY) <= 4;
                clicks =
                    b == lastButton && near && e.xbutton.time - lastPress < 200 ? clicks + 1 : 1;
                lastButton = b, lastPress = e.xbutton.time, pressX = e.xbutton.x,
                pressY = e.xbutton.y;
            }
            lastX = e.xbutton.x, lastY = e.xbutton.y;
            say(std::string(e.type == ButtonPress ? "button down " : "button up ") +
                std::array{"", "left ", "middle ", "right "}[b] + std::to_string(clicks));
        } else if (e.type == MappingNotify) {
            XRefreshKeyboardMapping(&e.xmapping);
            if (flag("mappings"))
                say("mapping");
        } else if (e.type == MotionNotify && (e.xmotion.x != lastX || e.xmotion.y != lastY)) {
            if (e.xmotion.state & (Button1Mask | Button3Mask))
                say(e.xmotion.state & Button1Mask ? "drag left" : "drag right");
            lastX = e.xmotion.x, lastY = e.xmotion.y;
        }
    }
}

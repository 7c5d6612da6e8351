// A test client: maps one top-level window with a chosen class, title, pid and
// geometry, and prints one flushed line per event it receives.
//
//   probe CLASS TITLE WIDTHxHEIGHT+X+Y [nopid] [dock] [ctext]
//
// With ctext the title is only in WM_NAME, as compound text (as xterm stores titles).
//
// Lines: "READY <window>", "KeyPress kc=<code> str=<utf-8> state=0x<mask>",
// "KeyRelease ...", "ButtonPress b=<n> x=<x> y=<y> state=0x<mask>" followed by
// "PressTime t=<server ms>", "ButtonRelease ...",
// "Motion x=<x> y=<y>", "FocusIn", "FocusOut".
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string utf8(unsigned long cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
}

// The character of a keysym in the two encodings the tool binds: Latin-1 keysyms are
// their code point, Unicode keysyms are 0x01000000 plus it. Others print by name.
std::string character(KeySym sym) {
    if ((sym >= 0x20 && sym <= 0x7E) || (sym >= 0xA0 && sym <= 0xFF))
        return utf8(sym);
    if (sym >= 0x01000000 && sym <= 0x0110FFFF)
        return utf8(sym - 0x01000000);
    const char* name = XKeysymToString(sym);
    return name ? std::string("<") + name + ">" : "<none>";
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4)
        return 2;
    Display* d = XOpenDisplay(nullptr);
    if (!d)
        return 1;
    unsigned width = 0, height = 0;
    int x = 0, y = 0;
    std::sscanf(argv[3], "%ux%u+%d+%d", &width, &height, &x, &y);
    bool publishPid = true, dock = false, compoundText = false;
    for (int i = 4; i < argc; ++i) {
        publishPid = publishPid && std::strcmp(argv[i], "nopid") != 0;
        dock = dock || std::strcmp(argv[i], "dock") == 0;
        compoundText = compoundText || std::strcmp(argv[i], "ctext") == 0;
    }
    const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), x, y, width, height, 0, 0,
                                         WhitePixel(d, DefaultScreen(d)));
    XClassHint hint{const_cast<char*>("probe"), argv[1]};
    XSetClassHint(d, w, &hint);
    if (compoundText) {
        XTextProperty name{};
        Xutf8TextListToTextProperty(d, &argv[2], 1, XCompoundTextStyle, &name);
        XSetWMName(d, w, &name);
    } else {
        XStoreName(d, w, argv[2]);
        XChangeProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False),
                        XInternAtom(d, "UTF8_STRING", False), 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(argv[2]),
                        static_cast<int>(std::strlen(argv[2])));
    }
    if (publishPid) {
        const long pid = getpid();
        XChangeProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
    }
    if (dock) {
        const Atom type = XInternAtom(d, "_NET_WM_WINDOW_TYPE_DOCK", False);
        XChangeProperty(d, w, XInternAtom(d, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&type), 1);
    }
    XSizeHints size{};
    size.flags = USPosition | USSize;
    size.x = x;
    size.y = y;
    size.width = static_cast<int>(width);
    size.height = static_cast<int>(height);
    XSetWMNormalHints(d, w, &size);
    XWMHints wm{};
    wm.flags = InputHint;
    wm.input = True;
    XSetWMHints(d, w, &wm);
    XSelectInput(d, w,
                 KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                     PointerMotionMask | FocusChangeMask | StructureNotifyMask);
    XMapWindow(d, w);
    for (;;) {
        XEvent e;
        XNextEvent(d, &e);
        switch (e.type) {
        case MapNotify: std::printf("READY %lu\n", w); break;
        case KeyPress:
        case KeyRelease: {
            char buf[16];
            KeySym sym = NoSymbol;
            XLookupString(&e.xkey, buf, sizeof buf, &sym, nullptr);
            std::printf("%s kc=%u str=%s state=0x%x\n",
                        e.type == KeyPress ? "KeyPress" : "KeyRelease", e.xkey.keycode,
                        character(sym).c_str(), e.xkey.state);
            break;
        }
        case ButtonPress:
        case ButtonRelease:
            std::printf("%s b=%u x=%d y=%d state=0x%x\n",
                        e.type == ButtonPress ? "ButtonPress" : "ButtonRelease", e.xbutton.button,
                        e.xbutton.x, e.xbutton.y, e.xbutton.state);
            // The server time, from which toolkits count double clicks.
            if (e.type == ButtonPress)
                std::printf("PressTime t=%lu\n", e.xbutton.time);
            break;
        case MotionNotify: std::printf("Motion x=%d y=%d\n", e.xmotion.x, e.xmotion.y); break;
        case FocusIn: std::printf("FocusIn\n"); break;
        case FocusOut: std::printf("FocusOut\n"); break;
        case MappingNotify:
            XRefreshKeyboardMapping(&e.xmapping);
            std::printf("MappingNotify\n");
            break;
        default: break;
        }
        std::fflush(stdout);
    }
}

// The X11 backend's connection to the display, its atoms and property readers, the
// window manager check and pid lookup, and the process services that need the display.
//
// The display comes from DISPLAY. When it cannot be opened (or lacks XTEST) the tool
// is not trusted, lists no windows, finds no applications and creates no events.
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/x11/x11.h"

#include <X11/Xatom.h>
#include <X11/extensions/XRes.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <poll.h>

namespace x11 {

Display* display = nullptr;
bool xtest = false;
unsigned long errors = 0;

Atom atom(const char* name) {
    return XInternAtom(display, name, False);
}

Window root() {
    return DefaultRootWindow(display);
}

std::vector<unsigned long> longs(Window w, Atom property, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> out;
    if (XGetWindowProperty(display, w, property, 0, 1 << 16, False, type, &actualType, &format,
                           &count, &after, &data) == Success &&
        data && format == 32) {
        // Xlib hands 32-bit items over as longs, sign-extended.
        const auto* items = reinterpret_cast<const unsigned long*>(data);
        for (unsigned long i = 0; i < count; ++i)
            out.push_back(items[i] & 0xFFFFFFFFUL);
    }
    if (data)
        XFree(data);
    return out;
}

std::optional<std::string> text(Window w, Atom property, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<std::string> out;
    if (XGetWindowProperty(display, w, property, 0, 1 << 16, False, type, &actualType, &format,
                           &count, &after, &data) == Success &&
        data && format == 8 && actualType != None)
        out = std::string(reinterpret_cast<const char*>(data), count);
    if (data)
        XFree(data);
    return out;
}

bool keyIsDown(int code) {
    char keys[32];
    XQueryKeymap(display, keys);
    return (keys[code / 8] >> (code % 8)) & 1;
}

unsigned buttonsDown() {
    Window rootReturn = 0, child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned int mask = 0;
    XQueryPointer(display, root(), &rootReturn, &child, &rootX, &rootY, &winX, &winY, &mask);
    return mask & (Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask);
}

bool liveWindowManager() {
    // The guard asks before every character: the answer is kept for a moment.
    static std::chrono::steady_clock::time_point asked{};
    static bool live = false;
    const auto now = std::chrono::steady_clock::now();
    if (now - asked < std::chrono::milliseconds(500))
        return live;
    asked = now;
    const Atom check = atom("_NET_SUPPORTING_WM_CHECK");
    const auto fromRoot = longs(root(), check, XA_WINDOW);
    if (fromRoot.empty() || fromRoot[0] == None)
        return live = false;
    const auto fromSelf = longs(fromRoot[0], check, XA_WINDOW);
    return live = !fromSelf.empty() && fromSelf[0] == fromRoot[0];
}

namespace {

std::optional<std::int32_t> ownerPid(Window w) {
    const auto pid = longs(w, atom("_NET_WM_PID"), XA_CARDINAL);
    if (!pid.empty())
        return static_cast<std::int32_t>(pid[0]);
    // A client that does not publish its pid: ask the server who created the window.
    int event = 0, error = 0;
    if (!XResQueryExtension(display, &event, &error))
        return std::nullopt;
    XResClientIdSpec query{w, XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* values = nullptr;
    std::optional<std::int32_t> found;
    if (XResQueryClientIds(display, 1, &query, &count, &values) == Success) {
        for (long i = 0; i < count; ++i) {
            const pid_t p = XResGetClientPid(&values[i]);
            if (p > 0)
                found = static_cast<std::int32_t>(p);
        }
        XResClientIdsDestroy(count, values);
    }
    return found;
}

} // namespace

namespace {
// A window's owner does not change; the guard asks before every character. Kept here, not in
// the function, so it outlives the handlers that run at exit.
std::map<Window, std::optional<std::int32_t>> owners;
} // namespace

std::optional<std::int32_t> windowPid(Window w) {
    if (const auto it = owners.find(w); it != owners.end())
        return it->second;
    return owners[w] = ownerPid(w);
}

Window parentOf(Window w) {
    Window rootReturn = 0, parent = None, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, w, &rootReturn, &parent, &children, &count))
        return None;
    if (children)
        XFree(children);
    return parent;
}

void sendMessage(Window about, Atom type, std::initializer_list<long> data, bool toClient) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = about;
    e.xclient.message_type = type;
    e.xclient.format = 32;
    std::copy(data.begin(), data.begin() + std::min<std::size_t>(data.size(), 5), e.xclient.data.l);
    if (toClient)
        XSendEvent(display, about, False, NoEventMask, &e);
    else
        XSendEvent(display, root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
}

Window ownWindow() {
    static Window own = None;
    if (own == None) {
        XSetWindowAttributes attributes{};
        own = XCreateWindow(display, root(), -1, -1, 1, 1, 0, 0, InputOnly, CopyFromParent, 0,
                            &attributes);
        XSelectInput(display, own, PropertyChangeMask);
    }
    return own;
}

namespace {
bool asked = false; // a question is out and its answer not yet seen
} // namespace

void askWindowManager() {
    static const bool takesQuestions = [] {
        const Atom request = atom("_NET_REQUEST_FRAME_EXTENTS");
        for (const unsigned long a : longs(root(), atom("_NET_SUPPORTED"), XA_ATOM)) {
            if (a == request)
                return true;
        }
        return false;
    }();
    if (!takesQuestions || !liveWindowManager())
        return;
    sendMessage(ownWindow(), atom("_NET_REQUEST_FRAME_EXTENTS"), {});
    XFlush(display);
    asked = true;
}

bool windowManagerCaughtUp() {
    if (!asked)
        return true;
    XEventsQueued(display, QueuedAfterReading);
    const Atom extents = atom("_NET_FRAME_EXTENTS");
    XEvent e;
    while (XCheckTypedWindowEvent(display, ownWindow(), PropertyNotify, &e)) {
        if (e.xproperty.atom == extents) {
            asked = false;
            return true;
        }
    }
    return false;
}

void awaitWindowManager(std::chrono::steady_clock::time_point deadline) {
    if (!asked)
        return;
    asked = false;
    const Atom extents = atom("_NET_FRAME_EXTENTS");
    for (;;) {
        XEvent e;
        while (XCheckTypedWindowEvent(display, ownWindow(), PropertyNotify, &e)) {
            if (e.xproperty.atom == extents)
                return;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return;
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(std::min<long long>(left.count() + 1, 50)));
        XEventsQueued(display, QueuedAfterReading);
    }
}

} // namespace x11

using namespace x11;

namespace {

// Windows may vanish between two requests; their errors must not end the process.
int ignoreErrors(Display*, XErrorEvent*) {
    ++errors;
    return 0;
}

void finish() {
    if (!display)
        return;
    ungrabServer();
    restoreKeymap();
    releaseStillDown();
    XSync(display, False); // every posted event reaches the server before the process ends
}

} // namespace

namespace platform {

EventSource createEventSource() {
    XSetErrorHandler(ignoreErrors);
    display = XOpenDisplay(nullptr);
    if (display) {
        int event = 0, error = 0, major = 0, minor = 0;
        xtest = XTestQueryExtension(display, &event, &error, &major, &minor) != 0;
        std::atexit(finish);
        setExitCleanup(finish);
    }
    return display;
}

std::optional<std::pair<double, double>> pointerLocation() {
    if (!display)
        return std::nullopt;
    Window rootReturn = 0, child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(display, root(), &rootReturn, &child, &rootX, &rootY, &winX, &winY, &mask))
        return std::nullopt;
    return std::pair<double, double>{rootX, rootY};
}

bool isTrusted() {
    return display && xtest;
}

// There is nothing to ask the user for on X11.
bool isTrustedPrompting(bool) {
    return display && xtest;
}

void sleepMicroseconds(std::uint64_t microseconds) {
    if (display)
        ungrabServer();
    interruptibleSleep(microseconds);
}

void exitProcess(int status) {
    std::exit(status);
}

} // namespace platform

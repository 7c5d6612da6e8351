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

#include <cstdlib>

namespace x11 {

Display* display = nullptr;
bool xtest = false;

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

bool liveWindowManager() {
    const Atom check = atom("_NET_SUPPORTING_WM_CHECK");
    const auto fromRoot = longs(root(), check, XA_WINDOW);
    if (fromRoot.empty() || fromRoot[0] == None)
        return false;
    const auto fromSelf = longs(fromRoot[0], check, XA_WINDOW);
    return !fromSelf.empty() && fromSelf[0] == fromRoot[0];
}

std::optional<std::int32_t> windowPid(Window w) {
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

Window parentOf(Window w) {
    Window rootReturn = 0, parent = None, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, w, &rootReturn, &parent, &children, &count))
        return None;
    if (children)
        XFree(children);
    return parent;
}

} // namespace x11

using namespace x11;

namespace {

// Windows may vanish between two requests; their errors must not end the process.
int ignoreErrors(Display*, XErrorEvent*) {
    return 0;
}

void finish() {
    if (!display)
        return;
    restoreKeymap();
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
bool isTrustedWithOptions(bool) {
    return display && xtest;
}

void sleepMicroseconds(std::uint64_t microseconds) {
    interruptibleSleep(microseconds);
}

void exitProcess(int status) {
    std::exit(status);
}

} // namespace platform

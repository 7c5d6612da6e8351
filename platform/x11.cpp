// The X11 backend: XTest for input, the window manager's EWMH properties for windows,
// activation and the foreground, X-Resource for the pids of clients that do not say.
//
// The display comes from DISPLAY. When it cannot be opened (or lacks XTEST) the tool
// is not trusted, lists no windows, finds no applications and creates no events.
#include "platform/platform.h"
#include "platform/posix.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

using nlohmann::json;

namespace {

// The platform's own representation of an event, played through XTest when posted.
struct PendingEvent {
    enum { key, mouse, scroll } kind = key;
    std::uint16_t code = 0;
    bool down = false;
    std::uint32_t type = 0;
    double x = 0, y = 0;
    std::int32_t lines = 0;
    std::uint64_t flags = 0;
    std::u16string text;
};

Display* display = nullptr;
bool xtest = false;

// Most wheel notches one scroll event turns into.
constexpr std::int32_t maxScrollNotches = 100;

// How long to wait for the window manager to report an activation.
constexpr auto activationTimeout = std::chrono::milliseconds(1000);

// How long a client may take to translate the keys typed with a scratch keycode
// before that keycode is remapped or restored.
constexpr auto keymapSettle = std::chrono::milliseconds(100);

// Windows may vanish between two requests; their errors must not end the process.
int ignoreErrors(Display*, XErrorEvent*) {
    return 0;
}

Atom atom(const char* name) {
    return XInternAtom(display, name, False);
}

// Reads a property as a list of 32-bit items (XIDs, atoms, cardinals).
std::vector<unsigned long> longs(Window w, Atom property, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> out;
    if (XGetWindowProperty(display, w, property, 0, 1 << 16, False, type, &actualType, &format,
                           &count, &after, &data) == Success &&
        data && format == 32) {
        const auto* items = reinterpret_cast<const unsigned long*>(data);
        out.assign(items, items + count);
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

Window root() {
    return DefaultRootWindow(display);
}

// A window manager is running when the check window on the root names itself; the
// root property is left behind when the manager exits.
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

// The child of the root that holds the window: its frame under a reparenting window
// manager, or the window itself.
Window topLevel(Window w) {
    for (int depth = 0; depth < 64; ++depth) {
        Window rootReturn = 0, parent = 0, *children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, w, &rootReturn, &parent, &children, &count))
            return None;
        if (children)
            XFree(children);
        if (parent == rootReturn || parent == None)
            return w;
        w = parent;
    }
    return None;
}

// Managed top-level client windows, front to back. The stacking comes from the server's
// own order of the root's children (bottom to top), since _NET_CLIENT_LIST_STACKING is
// wrong on some window managers; each client is placed where its frame stands.
std::vector<Window> clientsFrontToBack() {
    std::vector<Window> clients;
    Window rootReturn = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, root(), &rootReturn, &parent, &children, &count))
        return clients;
    std::map<Window, unsigned int> stacking;
    for (unsigned int i = 0; i < count; ++i)
        stacking[children[i]] = i;
    if (!liveWindowManager()) {
        // No window manager: every top-level window that is not a popup, top first.
        for (unsigned int i = count; i-- > 0;) {
            XWindowAttributes a;
            if (XGetWindowAttributes(display, children[i], &a) && !a.override_redirect)
                clients.push_back(children[i]);
        }
    } else {
        std::vector<std::pair<unsigned int, Window>> placed;
        for (unsigned long client : longs(root(), atom("_NET_CLIENT_LIST"), XA_WINDOW)) {
            const auto frame = stacking.find(topLevel(client));
            if (frame != stacking.end())
                placed.emplace_back(frame->second, client);
        }
        std::stable_sort(placed.begin(), placed.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        for (const auto& entry : placed)
            clients.push_back(entry.second);
    }
    if (children)
        XFree(children);
    return clients;
}

// Whether a window with these attributes is on screen: viewable, not iconified, not
// hidden.
bool onScreen(Window w, const XWindowAttributes& a) {
    if (a.map_state != IsViewable)
        return false;
    const auto state = longs(w, atom("WM_STATE"), atom("WM_STATE"));
    if (!state.empty() && state[0] == IconicState)
        return false;
    const Atom hidden = atom("_NET_WM_STATE_HIDDEN");
    for (unsigned long s : longs(w, atom("_NET_WM_STATE"), XA_ATOM)) {
        if (s == hidden)
            return false;
    }
    return true;
}

bool onScreen(Window w) {
    XWindowAttributes a;
    return XGetWindowAttributes(display, w, &a) && onScreen(w, a);
}

// 0 for normal windows and dialogs, the macOS level of the nearest kind otherwise;
// nothing for the desktop, which the list leaves out.
std::optional<int> layer(Window w) {
    const auto types = longs(w, atom("_NET_WM_WINDOW_TYPE"), XA_ATOM);
    if (types.empty())
        return 0;
    const Atom t = types[0];
    auto is = [&](const char* name) { return t == atom(name); };
    if (is("_NET_WM_WINDOW_TYPE_NORMAL") || is("_NET_WM_WINDOW_TYPE_DIALOG"))
        return 0;
    if (is("_NET_WM_WINDOW_TYPE_DESKTOP"))
        return std::nullopt;
    if (is("_NET_WM_WINDOW_TYPE_DOCK"))
        return 20;
    if (is("_NET_WM_WINDOW_TYPE_NOTIFICATION"))
        return 23;
    if (is("_NET_WM_WINDOW_TYPE_UTILITY") || is("_NET_WM_WINDOW_TYPE_TOOLBAR") ||
        is("_NET_WM_WINDOW_TYPE_SPLASH"))
        return 3;
    return 101; // menus, tooltips, combo boxes, drag icons
}

std::optional<std::string> windowClass(Window w) {
    XClassHint hint{nullptr, nullptr};
    if (!XGetClassHint(display, w, &hint))
        return std::nullopt;
    std::optional<std::string> out;
    if (hint.res_class)
        out = hint.res_class;
    if (hint.res_name)
        XFree(hint.res_name);
    if (hint.res_class)
        XFree(hint.res_class);
    return out;
}

// The topmost window of the process, on screen if it has one.
Window applicationWindow(std::int32_t pid) {
    Window any = None;
    for (Window w : clientsFrontToBack()) {
        if (windowPid(w) != pid)
            continue;
        if (onScreen(w))
            return w;
        if (any == None)
            any = w;
    }
    return any;
}

// The applications seen by the last window listing, by pid: the class of each one's
// topmost on-screen window (else its topmost window). The listing looks up the owner of
// every window it lists; answering from the scan it has just made keeps that linear in
// the number of windows instead of quadratic.
std::map<std::int32_t, std::optional<std::string>> listed;
std::map<std::int32_t, bool> listedOnScreen;
bool haveListing = false;

Window activeWindow() {
    const auto active = longs(root(), atom("_NET_ACTIVE_WINDOW"), XA_WINDOW);
    return active.empty() ? None : active[0];
}

// --- Keyboard ---------------------------------------------------------------------

// The X keycode of the same physical key as each macOS virtual key code the key
// table can produce: the evdev code plus 8.
int xKeycode(std::uint16_t mac) {
    static const std::map<std::uint16_t, int> codes = {
        {0, 38},    {1, 39},    {2, 40},    {3, 41},    {4, 43},   {5, 42},    {6, 52},
        {7, 53},    {8, 54},    {9, 55},    {11, 56},   {12, 24},  {13, 25},   {14, 26},
        {15, 27},   {16, 29},   {17, 28},   {18, 10},   {19, 11},  {20, 12},   {21, 13},
        {22, 15},   {23, 14},   {24, 21},   {25, 18},   {26, 16},  {27, 20},   {28, 17},
        {29, 19},   {30, 35},   {31, 32},   {32, 30},   {33, 34},  {34, 31},   {35, 33},
        {36, 36},   {37, 46},   {38, 44},   {39, 48},   {40, 45},  {41, 47},   {42, 51},
        {43, 59},   {44, 61},   {45, 57},   {46, 58},   {47, 60},  {48, 23},   {49, 65},
        {50, 49},   {51, 22},   {53, 9},    {55, 133},  {56, 50},  {57, 66},   {58, 64},
        {59, 37},   {60, 62},   {61, 108},  {62, 105},  {96, 71},  {97, 72},   {98, 73},
        {99, 69},   {100, 74},  {101, 75},  {103, 95},  {109, 76}, {111, 96},  {115, 110},
        {116, 112}, {117, 119}, {118, 70},  {119, 115}, {120, 68}, {121, 117}, {122, 67},
        {123, 113}, {124, 114}, {125, 116}, {126, 111},
    };
    auto it = codes.find(mac);
    return it == codes.end() ? 0 : it->second;
}

// Characters without a key of their own are typed on spare keycodes (all NoSymbol),
// each bound to its keysym on both levels so held Shift cannot change it. A binding
// stays until the keycode is needed for another character, and every spare is given
// back its original keysyms before the process ends. The receiving client translates
// keycodes when it reads the events, with the map it fetched last, so a keycode is
// rebound only after the client has had time to translate what was typed with it.
std::vector<int> spares;
std::map<KeySym, int> bound;   // keysym -> spare keycode
std::map<int, KeySym> boundTo; // spare keycode -> keysym
std::map<int, std::vector<KeySym>> saved;
int symsPerCode = 0;
std::size_t nextSpare = 0;
bool typedOnSpares = false;

void findSpares() {
    if (symsPerCode != 0)
        return;
    int minCode = 0, maxCode = 0;
    XDisplayKeycodes(display, &minCode, &maxCode);
    KeySym* map = XGetKeyboardMapping(display, static_cast<KeyCode>(minCode), maxCode - minCode + 1,
                                      &symsPerCode);
    if (!map)
        return;
    for (int code = minCode; code <= maxCode; ++code) {
        const KeySym* syms = map + (code - minCode) * symsPerCode;
        if (std::all_of(syms, syms + symsPerCode, [](KeySym s) { return s == NoSymbol; }))
            spares.push_back(code);
    }
    XFree(map);
}

void restoreKeymap() {
    if (!display || saved.empty())
        return;
    XSync(display, False);
    if (typedOnSpares)
        std::this_thread::sleep_for(keymapSettle);
    for (auto& [code, syms] : saved)
        XChangeKeyboardMapping(display, code, symsPerCode, syms.data(), 1);
    saved.clear();
    bound.clear();
    boundTo.clear();
    XSync(display, False);
}

void finish() {
    if (!display)
        return;
    restoreKeymap();
    XSync(display, False); // every posted event reaches the server before the process ends
}

int keycodeFor(KeySym sym) {
    if (auto it = bound.find(sym); it != bound.end())
        return it->second;
    findSpares();
    if (spares.empty())
        return 0;
    const int code = spares[nextSpare++ % spares.size()];
    if (auto old = boundTo.find(code); old != boundTo.end()) {
        // Let the client translate what was typed with this keycode before rebinding it.
        XSync(display, False);
        std::this_thread::sleep_for(keymapSettle);
        bound.erase(old->second);
    }
    if (!saved.count(code)) {
        int per = 0;
        KeySym* original = XGetKeyboardMapping(display, static_cast<KeyCode>(code), 1, &per);
        saved[code] = std::vector<KeySym>(original, original + per);
        XFree(original);
    }
    KeySym syms[2] = {sym, sym};
    XChangeKeyboardMapping(display, code, 2, syms, 1);
    XSync(display, False);
    bound[sym] = code;
    boundTo[code] = sym;
    return code;
}

char32_t codePoint(const std::u16string& units) {
    if (units.size() == 2 && units[0] >= 0xD800 && units[0] <= 0xDBFF && units[1] >= 0xDC00 &&
        units[1] <= 0xDFFF)
        return 0x10000 + ((char32_t(units[0]) - 0xD800) << 10) + (char32_t(units[1]) - 0xDC00);
    return units.empty() ? 0 : units[0];
}

void typeUnit(const std::u16string& units, bool down) {
    const char32_t c = codePoint(units);
    int code = 0;
    if (c == '\n' || c == '\r')
        code = xKeycode(36);
    else if (c == '\t')
        code = xKeycode(48);
    else if (c == '\b')
        code = xKeycode(51);
    else if (c == 0x1B)
        code = xKeycode(53);
    else {
        const KeySym sym = (c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF)
                               ? static_cast<KeySym>(c)
                               : static_cast<KeySym>(0x01000000 + c);
        code = keycodeFor(sym);
        typedOnSpares = true;
    }
    if (code != 0)
        XTestFakeKeyEvent(display, static_cast<unsigned>(code), down, CurrentTime);
}

PendingEvent* ev(platform::Event e) {
    return static_cast<PendingEvent*>(e);
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

Event createKeyboardEvent(EventSource, std::uint16_t keyCode, bool down) {
    if (!display || !xtest)
        return nullptr;
    auto* e = new PendingEvent;
    e->kind = PendingEvent::key;
    e->code = keyCode;
    e->down = down;
    return e;
}

Event createMouseEvent(EventSource, std::uint32_t type, std::pair<double, double> position,
                       std::uint32_t) {
    if (!display || !xtest)
        return nullptr;
    auto* e = new PendingEvent;
    e->kind = PendingEvent::mouse;
    e->type = type;
    e->x = position.first;
    e->y = position.second;
    return e;
}

Event createScrollWheelEvent(EventSource, std::int32_t lines) {
    if (!display || !xtest)
        return nullptr;
    auto* e = new PendingEvent;
    e->kind = PendingEvent::scroll;
    e->lines = lines;
    return e;
}

void setUnicodeString(Event event, const std::u16string& units) {
    ev(event)->text = units;
}

// The receiving toolkit counts clicks from their timing and distance.
void setClickState(Event, std::int64_t) {}

// X events carry the state of the keys really held, so the stamped flags have nothing
// to add: a modifier pressed with keyDown is down on the server.
std::uint64_t getFlags(Event event) {
    return ev(event)->flags;
}
void setFlags(Event event, std::uint64_t flags) {
    ev(event)->flags = flags;
}

void postEvent(Event event) {
    const PendingEvent& e = *ev(event);
    switch (e.kind) {
    case PendingEvent::key:
        if (!e.text.empty())
            typeUnit(e.text, e.down);
        else if (const int code = xKeycode(e.code))
            XTestFakeKeyEvent(display, static_cast<unsigned>(code), e.down, CurrentTime);
        break;
    case PendingEvent::mouse: {
        // A press or release happens where the pointer is: put it at the event's
        // position first, as the event itself would on macOS.
        const int x = static_cast<int>(std::lround(std::clamp(e.x, -32768.0, 32767.0)));
        const int y = static_cast<int>(std::lround(std::clamp(e.y, -32768.0, 32767.0)));
        XTestFakeMotionEvent(display, -1, x, y, CurrentTime);
        if (e.type != platform::mouseMoved) {
            const bool right =
                e.type == platform::rightMouseDown || e.type == platform::rightMouseUp;
            const bool down =
                e.type == platform::leftMouseDown || e.type == platform::rightMouseDown;
            XTestFakeButtonEvent(display, right ? 3 : 1, down, CurrentTime);
        }
        break;
    }
    case PendingEvent::scroll: {
        const unsigned button = e.lines > 0 ? 4 : 5;
        const auto notches = static_cast<std::int32_t>(
            std::min<std::int64_t>(std::llabs(std::int64_t{e.lines}), maxScrollNotches));
        for (std::int32_t i = 0; i < notches; ++i) {
            XTestFakeButtonEvent(display, button, True, CurrentTime);
            XTestFakeButtonEvent(display, button, False, CurrentTime);
        }
        break;
    }
    }
    XSync(display, False);
}

void releaseEvent(Event event) {
    delete ev(event);
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

std::optional<std::int32_t> frontmostPid() {
    if (!display)
        return std::nullopt;
    const Window active = activeWindow();
    if (active == None)
        return std::nullopt;
    return windowPid(active);
}

bool runningApplication(std::int32_t pid, std::optional<std::string>& bundleId) {
    if (!display)
        return false;
    if (haveListing) {
        const auto it = listed.find(pid);
        if (it == listed.end())
            return false;
        bundleId = it->second;
        return true;
    }
    const Window w = applicationWindow(pid);
    if (w == None)
        return false;
    bundleId = windowClass(w);
    return true;
}

void activateApplication(std::int32_t pid) {
    if (!display)
        return;
    const Window w = applicationWindow(pid);
    if (w == None)
        return;
    if (!liveWindowManager()) {
        XRaiseWindow(display, w);
        XSetInputFocus(display, w, RevertToParent, CurrentTime);
        XSync(display, False);
        return;
    }
    if (activeWindow() == w)
        return; // already in front: no change would be announced
    XSelectInput(display, root(), PropertyChangeMask);
    XEvent message{};
    message.xclient.type = ClientMessage;
    message.xclient.window = w;
    message.xclient.message_type = atom("_NET_ACTIVE_WINDOW");
    message.xclient.format = 32;
    message.xclient.data.l[0] = 2; // from a pager: the user asked for it
    message.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &message);
    XFlush(display);
    // Wait until the window manager reports it in front, so a run started right after
    // sees it there. Some managers announce None first.
    const auto deadline = std::chrono::steady_clock::now() + activationTimeout;
    while (activeWindow() != w && std::chrono::steady_clock::now() < deadline) {
        while (XPending(display)) {
            XEvent ignored;
            XNextEvent(display, &ignored);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    XSelectInput(display, root(), NoEventMask);
}

const json& windowList() {
    static json list;
    list = display ? json::array() : json();
    if (!display)
        return list;
    const Atom utf8 = atom("UTF8_STRING");
    listed.clear();
    listedOnScreen.clear();
    haveListing = true;
    for (Window w : clientsFrontToBack()) {
        const auto pid = windowPid(w);
        XWindowAttributes a;
        const bool visible = XGetWindowAttributes(display, w, &a) && onScreen(w, a);
        if (pid && (!listed.count(*pid) || (visible && !listedOnScreen[*pid]))) {
            listed[*pid] = windowClass(w);
            listedOnScreen[*pid] = visible;
        }
        if (!visible)
            continue;
        const auto level = layer(w);
        if (!level)
            continue;
        int x = 0, y = 0;
        Window child = 0;
        XTranslateCoordinates(display, w, root(), 0, 0, &x, &y, &child);
        json entry = {
            {"kCGWindowNumber", w},
            {"kCGWindowLayer", *level},
            {"kCGWindowBounds",
             {{"X", double(x)},
              {"Y", double(y)},
              {"Width", double(a.width)},
              {"Height", double(a.height)}}},
        };
        if (pid)
            entry["kCGWindowOwnerPID"] = *pid;
        auto name = text(w, atom("_NET_WM_NAME"), utf8);
        if (!name)
            name = text(w, XA_WM_NAME, AnyPropertyType);
        if (name)
            entry["kCGWindowName"] = *name;
        list.push_back(entry);
    }
    return list;
}

void sleepMicroseconds(std::uint64_t microseconds) {
    interruptibleSleep(microseconds);
}

void exitProcess(int status) {
    std::exit(status);
}

} // namespace platform

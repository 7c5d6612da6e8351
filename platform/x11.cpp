// The X11 backend: XTest for input, the window manager's EWMH properties for windows,
// activation and the foreground, X-Resource for the pids of clients that do not say.
//
// The display comes from DISPLAY. When it cannot be opened (or lacks XTEST) the tool
// is not trusted, lists no windows, finds no applications and creates no events.
#include "platform/platform.h"
#include "platform/process.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

using nlohmann::json;

namespace {

Display* display = nullptr;
bool xtest = false;

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

// The window's parent, or None when it is gone (or is the root).
Window parentOf(Window w) {
    Window rootReturn = 0, parent = None, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, w, &rootReturn, &parent, &children, &count))
        return None;
    if (children)
        XFree(children);
    return parent;
}

// The child of the root that holds the window: its frame under a reparenting window
// manager, or the window itself.
Window topLevel(Window w) {
    for (int depth = 0; depth < 64 && w != None; ++depth) {
        const Window parent = parentOf(w);
        if (parent == None || parent == root())
            return parent == None ? None : w;
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
    // The first type in the list that is known decides; unknown ones (such as KDE's
    // override type that frameless Qt windows put first) are passed over.
    static const std::pair<const char*, std::optional<int>> known[] = {
        {"_NET_WM_WINDOW_TYPE_NORMAL", 0},
        {"_NET_WM_WINDOW_TYPE_DIALOG", 0},
        {"_NET_WM_WINDOW_TYPE_DESKTOP", std::nullopt},
        {"_NET_WM_WINDOW_TYPE_DOCK", 20},
        {"_NET_WM_WINDOW_TYPE_NOTIFICATION", 23},
        {"_NET_WM_WINDOW_TYPE_UTILITY", 3},
        {"_NET_WM_WINDOW_TYPE_TOOLBAR", 3},
        {"_NET_WM_WINDOW_TYPE_SPLASH", 3},
        {"_NET_WM_WINDOW_TYPE_MENU", 101},
        {"_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", 101},
        {"_NET_WM_WINDOW_TYPE_POPUP_MENU", 101},
        {"_NET_WM_WINDOW_TYPE_TOOLTIP", 101},
        {"_NET_WM_WINDOW_TYPE_COMBO", 101},
        {"_NET_WM_WINDOW_TYPE_DND", 101},
    };
    for (const unsigned long type : longs(w, atom("_NET_WM_WINDOW_TYPE"), XA_ATOM)) {
        for (const auto& [name, level] : known) {
            if (type == atom(name))
                return level;
        }
    }
    return 0; // no type, or none known: a normal window
}

// The title as UTF-8: _NET_WM_NAME, else WM_NAME in whatever encoding it is stored
// (Latin-1, compound text or UTF-8).
std::optional<std::string> title(Window w) {
    if (auto name = text(w, atom("_NET_WM_NAME"), atom("UTF8_STRING")))
        return name;
    XTextProperty property{};
    if (!XGetWMName(display, w, &property) || !property.value)
        return std::nullopt;
    std::optional<std::string> out;
    char** list = nullptr;
    int count = 0;
    if (Xutf8TextPropertyToTextList(display, &property, &list, &count) >= Success && list) {
        std::string joined;
        for (int i = 0; i < count; ++i)
            joined += list[i];
        out = joined;
        XFreeStringList(list);
    }
    XFree(property.value);
    return out;
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

// The top-level client window that holds a window: the one with WM_STATE, or the child
// of the root when there is no window manager to set it.
Window clientOf(Window w) {
    const Atom wmState = atom("WM_STATE");
    for (int depth = 0; depth < 64 && w != None && w != root(); ++depth) {
        if (!longs(w, wmState, wmState).empty())
            return w;
        const Window parent = parentOf(w);
        if (parent == None || parent == root())
            return parent == None ? None : w;
        w = parent;
    }
    return None;
}

// The window in front: the window manager's active window while one is running (the
// root property stays behind when it exits), else the window with the input focus.
Window frontWindow() {
    if (liveWindowManager())
        return activeWindow();
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    return focus == None || focus == PointerRoot ? None : clientOf(focus);
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

// Typing text. A character the keyboard map can type goes on its own key, at the level
// it is on (Shift pressed or let go around it as needed). The rest are typed on spare
// keycodes (NoSymbol in the map), bound one keysym each. Binding is one keymap change
// for as many upcoming characters as there are spares, since every change makes every
// client re-read the keymap and the window manager re-grab its key bindings (openbox:
// about 60 ms each). The spares the tool binds are listed on the root window with a
// window of this process's connection, so a later process can tell which bindings a
// killed one left behind (its window is gone) and take them back; binding happens under
// a server grab, so two processes never take the same spare.
//
// A client translates a keycode when it reads the event, with the map it fetched last,
// so a spare is rebound only when the keys typed with it are some time old.
constexpr auto keymapSettle = std::chrono::milliseconds(100);
// How long a character waits for a spare that other processes hold before it fails.
constexpr auto spareWait = std::chrono::milliseconds(3000);
const char* const sparesProperty = "_MARNITH_INPUT_SPARES";

using Clock = std::chrono::steady_clock;

struct OwnKey {
    int code = 0;
    bool shift = false;
};
std::map<KeySym, OwnKey> ownKeys; // read once, the first time text is typed
bool ownKeysRead = false;

struct Binding {
    KeySym sym = NoSymbol;
    Clock::time_point lastUse{};
};
std::map<int, Binding> bound;  // spare keycode -> what this process bound there
Window owner = None;           // marks this process's bindings
std::vector<KeySym> upcoming;  // the text being typed, one keysym per character
std::size_t nextCharacter = 0; // its next character

KeySym keysymOf(char32_t c) {
    if ((c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF))
        return static_cast<KeySym>(c);
    return static_cast<KeySym>(0x01000000 + c);
}

// The keys that type a control character: the tool's Return, Tab, Backspace and Escape.
int controlKeycode(char32_t c) {
    switch (c) {
    case '\n':
    case '\r': return xKeycode(36);
    case '\t': return xKeycode(48);
    case '\b': return xKeycode(51);
    case 0x1B: return xKeycode(53);
    default: return 0;
    }
}

// Every spare binding, by whichever process: the keycode, and the process's marker
// window with a number of its own written on it (a window id alone is reused by the
// next connection once its process is gone).
struct SpareInUse {
    unsigned long code, window, nonce;
};
const char* const ownerProperty = "_MARNITH_INPUT_OWNER";
unsigned long nonce = 0;

std::vector<SpareInUse> sparesInUse() {
    const auto items = longs(root(), atom(sparesProperty), XA_CARDINAL);
    std::vector<SpareInUse> out;
    for (std::size_t i = 0; i + 2 < items.size(); i += 3)
        out.push_back({items[i], items[i + 1], items[i + 2]});
    return out;
}

void setSparesInUse(const std::vector<SpareInUse>& spares) {
    if (spares.empty()) {
        XDeleteProperty(display, root(), atom(sparesProperty));
        return;
    }
    std::vector<unsigned long> items;
    for (const auto& s : spares)
        items.insert(items.end(), {s.code, s.window, s.nonce});
    XChangeProperty(display, root(), atom(sparesProperty), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(items.data()),
                    static_cast<int>(items.size()));
}

bool mine(const SpareInUse& s) {
    return owner != None && s.window == owner && s.nonce == nonce;
}

bool alive(const SpareInUse& s) {
    if (mine(s))
        return true;
    const auto mark = longs(s.window, atom(ownerProperty), XA_CARDINAL);
    return !mark.empty() && mark[0] == s.nonce;
}

// Gives a key one keysym on every level, or (NoSymbol) no symbol at all, as spares have.
void setKey(XkbDescPtr xkb, int code, KeySym sym) {
    XkbSymMapPtr map = &xkb->map->key_sym_map[code];
    if (sym == NoSymbol) {
        XkbResizeKeySyms(xkb, code, 0);
        map->group_info = 0;
        map->width = 0;
        return;
    }
    // Room first: the resize reads the key's current width and groups.
    KeySym* syms = XkbResizeKeySyms(xkb, code, 1);
    map = &xkb->map->key_sym_map[code];
    map->kt_index[0] = XkbOneLevelIndex;
    map->group_info = XkbSetGroupInfo(1, XkbWrapIntoRange, 0);
    map->width = 1;
    syms[0] = sym;
}

// Sets the keys in one keymap change. Keys between the first and the last are sent as
// they are.
void changeKeys(XkbDescPtr xkb, const std::map<int, KeySym>& keys) {
    if (keys.empty())
        return;
    for (const auto& [code, sym] : keys)
        setKey(xkb, code, sym);
    XkbMapChangesRec changes{};
    changes.changed = XkbKeySymsMask;
    changes.first_key_sym = static_cast<KeyCode>(keys.begin()->first);
    changes.num_key_syms =
        static_cast<unsigned char>(keys.rbegin()->first - keys.begin()->first + 1);
    XkbChangeMap(display, xkb, &changes);
}

void readOwnKeys() {
    if (ownKeysRead)
        return;
    ownKeysRead = true;
    int minCode = 0, maxCode = 0, per = 0;
    XDisplayKeycodes(display, &minCode, &maxCode);
    KeySym* map =
        XGetKeyboardMapping(display, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &per);
    if (!map)
        return;
    std::vector<int> othersSpares;
    for (const auto& spare : sparesInUse())
        othersSpares.push_back(static_cast<int>(spare.code));
    for (int code = minCode; code <= maxCode; ++code) {
        const KeySym* syms = map + (code - minCode) * per;
        // Keypad keys depend on Num Lock, and a spare bound by another process may be
        // taken back at any moment.
        if (IsKeypadKey(syms[0]) || IsModifierKey(syms[0]) ||
            std::find(othersSpares.begin(), othersSpares.end(), code) != othersSpares.end())
            continue;
        for (int level = 0; level < std::min(per, 2); ++level) {
            if (syms[level] != NoSymbol && !ownKeys.count(syms[level]))
                ownKeys[syms[level]] = {code, level == 1};
        }
    }
    XFree(map);
}

bool isBound(KeySym sym) {
    return std::any_of(bound.begin(), bound.end(),
                       [&](const auto& b) { return b.second.sym == sym; });
}

// Binds the keysyms the text needs next, as many as this process's share of the spares
// allows, in one change. Processes typing at the same time share the spares: one that
// finds none free says so with a keycode-0 entry, and the others give back what is over
// their share at their next change. False when no spare could be had in time.
bool bindUpcoming(KeySym needed) {
    // What the rest of the text needs, in order of first use.
    std::vector<KeySym> wanted{needed};
    for (std::size_t i = nextCharacter; i < upcoming.size(); ++i) {
        const KeySym s = upcoming[i];
        if (!ownKeys.count(s) && std::find(wanted.begin(), wanted.end(), s) == wanted.end())
            wanted.push_back(s);
    }
    const auto deadline = Clock::now() + spareWait;
    for (;;) {
        XGrabServer(display);
        XkbDescPtr xkb = XkbGetMap(display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd);
        if (!xkb) {
            XUngrabServer(display);
            return false;
        }
        std::map<int, KeySym> changes;
        std::vector<SpareInUse> kept;
        std::set<std::pair<unsigned long, unsigned long>> others;
        std::set<int> taken;
        for (const auto& spare : sparesInUse()) {
            if (mine(spare))
                continue; // written again below
            if (!alive(spare)) {
                if (spare.code)
                    changes[static_cast<int>(spare.code)] =
                        NoSymbol; // left by a process that is gone
                continue;
            }
            kept.push_back(spare);
            others.insert({spare.window, spare.nonce});
            if (spare.code)
                taken.insert(static_cast<int>(spare.code));
        }
        std::vector<int> free;
        for (int code = xkb->min_key_code; code <= xkb->max_key_code; ++code) {
            if ((XkbKeyNumGroups(xkb, code) == 0 || changes.count(code)) && !taken.count(code) &&
                !bound.count(code))
                free.push_back(code);
        }
        const std::size_t share = std::max<std::size_t>(
            1, (free.size() + taken.size() + bound.size()) / (others.size() + 1));
        const auto now = Clock::now();
        auto oldEnough = [&](int code) { return bound[code].lastUse + keymapSettle <= now; };
        // Least recently used first.
        std::vector<std::pair<Clock::time_point, int>> ours;
        for (const auto& [code, b] : bound)
            ours.emplace_back(b.lastUse, code);
        std::sort(ours.begin(), ours.end());
        const std::vector<KeySym> batch(
            wanted.begin(), wanted.begin() + static_cast<long>(std::min(share, wanted.size())));
        auto inBatch = [&](int code) {
            return std::find(batch.begin(), batch.end(), bound[code].sym) != batch.end();
        };
        // Give back what is over our share.
        for (const auto& [used, code] : ours) {
            if (bound.size() <= share)
                break;
            if (!inBatch(code) && oldEnough(code)) {
                changes[code] = NoSymbol;
                bound.erase(code);
            }
        }
        std::size_t nextFree = 0;
        auto victim = ours.begin();
        for (const KeySym s : batch) {
            if (isBound(s))
                continue;
            int code = 0;
            if (nextFree < free.size() && bound.size() < share) {
                code = free[nextFree++];
            } else {
                // Rebind one of ours that the batch does not need.
                while (victim != ours.end() &&
                       (!bound.count(victim->second) || inBatch(victim->second) ||
                        !oldEnough(victim->second)))
                    ++victim;
                if (victim == ours.end())
                    break;
                code = (victim++)->second;
            }
            changes[code] = s;
            bound[code] = {s, Clock::time_point{}};
        }
        for (const auto& [code, b] : bound)
            kept.push_back({static_cast<unsigned long>(code), owner, nonce});
        const bool got = isBound(needed);
        if (!got)
            kept.push_back({0, owner, nonce}); // waiting for a spare
        changeKeys(xkb, changes);
        setSparesInUse(kept);
        XkbFreeKeyboard(xkb, 0, True);
        XUngrabServer(display);
        XSync(display, False);
        if (got)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int spareFor(KeySym sym) {
    for (auto& [code, b] : bound) {
        if (b.sym == sym)
            return code;
    }
    if (owner == None) {
        XSetWindowAttributes attributes{};
        owner = XCreateWindow(display, root(), -1, -1, 1, 1, 0, 0, InputOnly, CopyFromParent, 0,
                              &attributes);
        nonce = std::random_device{}();
        XChangeProperty(display, owner, atom(ownerProperty), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&nonce), 1);
    }
    return bindUpcoming(sym) ? spareFor(sym) : 0;
}

// Gives back every spare this process bound, in one change, once the keys typed with
// them are old enough to have been read.
void restoreKeymap() {
    if (!display || owner == None)
        return;
    Clock::time_point last{};
    for (const auto& [code, b] : bound)
        last = std::max(last, b.lastUse);
    XSync(display, False);
    std::this_thread::sleep_until(last + keymapSettle);
    XGrabServer(display);
    if (XkbDescPtr xkb = XkbGetMap(display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd)) {
        std::map<int, KeySym> changes;
        for (const auto& [code, b] : bound)
            changes[code] = NoSymbol;
        changeKeys(xkb, changes);
        XkbFreeKeyboard(xkb, 0, True);
    }
    std::vector<SpareInUse> kept;
    for (const auto& spare : sparesInUse()) {
        if (!mine(spare))
            kept.push_back(spare);
    }
    setSparesInUse(kept);
    XUngrabServer(display);
    bound.clear();
    XSync(display, False);
}

void finish() {
    if (!display)
        return;
    restoreKeymap();
    XSync(display, False); // every posted event reaches the server before the process ends
}

char32_t codePoint(const std::u16string& units) {
    if (units.size() == 2 && units[0] >= 0xD800 && units[0] <= 0xDBFF && units[1] >= 0xDC00 &&
        units[1] <= 0xDFFF)
        return 0x10000 + ((char32_t(units[0]) - 0xD800) << 10) + (char32_t(units[1]) - 0xDC00);
    return units.empty() ? 0 : units[0];
}

std::vector<char32_t> characters(const std::u16string& units) {
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const bool pair = units[i] >= 0xD800 && units[i] <= 0xDBFF && i + 1 < units.size() &&
                          units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF;
        out.push_back(codePoint(units.substr(i, pair ? 2 : 1)));
        i += pair ? 1 : 0;
    }
    return out;
}

// The keys pressed around one character, undone after it.
struct Around {
    int pressedShift = 0; // Shift, for a character on a key's second level
    int capsLock = 0;     // Caps Lock tapped off before a cased character, on again after
};

// Shift keys the run holds that text let go of, for a character on a key's first level.
// They are pressed again only when something else needs them (a character on a second
// level, or any other event): pressing them again after every character could send a
// Shift press to a window that has just come forward.
std::vector<int> letGo;

void pressAgain() {
    for (const int k : letGo)
        XTestFakeKeyEvent(display, static_cast<unsigned>(k), True, CurrentTime);
    letGo.clear();
}

bool keyDown(int code) {
    char keys[32];
    XQueryKeymap(display, keys);
    return (keys[code / 8] >> (code % 8)) & 1;
}
Around around;

void tap(int code) {
    XTestFakeKeyEvent(display, static_cast<unsigned>(code), True, CurrentTime);
    XTestFakeKeyEvent(display, static_cast<unsigned>(code), False, CurrentTime);
}

// How one character is typed: on its own key (with or without Shift), on a key that
// types a control character, or on a spare bound to it.
struct Typing {
    int code = 0;
    bool shift = false;
    bool ownKey = false;
    KeySym sym = NoSymbol;
    bool control = false;
};

std::optional<Typing> resolve(const std::u16string& units) {
    const char32_t c = codePoint(units);
    Typing t;
    t.sym = keysymOf(c);
    if ((t.code = controlKeycode(c)) != 0) {
        t.control = t.ownKey = true;
        return t;
    }
    readOwnKeys();
    if (const auto own = ownKeys.find(t.sym); own != ownKeys.end()) {
        t.code = own->second.code;
        t.shift = own->second.shift;
        t.ownKey = true;
        return t;
    }
    if ((t.code = spareFor(t.sym)) != 0)
        return t;
    return std::nullopt;
}

// Presses or releases one character. The text comes out exactly, whatever Shift the
// run holds and whatever the Caps Lock state.
void typeUnit(const Typing& t, bool down) {
    if (!t.ownKey)
        bound[t.code].lastUse = Clock::now();
    if (down) {
        if (nextCharacter < upcoming.size())
            ++nextCharacter;
        XkbStateRec state{};
        XkbGetState(display, XkbUseCoreKbd, &state);
        KeySym lower = 0, upper = 0;
        XConvertCase(t.sym, &lower, &upper);
        around = {};
        if ((state.locked_mods & LockMask) && lower != upper)
            around.capsLock = XKeysymToKeycode(display, XK_Caps_Lock);
        if (t.ownKey && !t.control) {
            const bool shiftDown = state.base_mods & ShiftMask;
            if (t.shift && !letGo.empty())
                pressAgain();
            else if (t.shift && !shiftDown)
                around.pressedShift = XKeysymToKeycode(display, XK_Shift_L);
            else if (!t.shift && shiftDown) {
                for (const KeySym s : {XK_Shift_L, XK_Shift_R}) {
                    const int k = XKeysymToKeycode(display, s);
                    if (k && keyDown(k)) {
                        XTestFakeKeyEvent(display, static_cast<unsigned>(k), False, CurrentTime);
                        letGo.push_back(k);
                    }
                }
            }
        }
        if (around.capsLock)
            tap(around.capsLock);
        if (around.pressedShift)
            XTestFakeKeyEvent(display, static_cast<unsigned>(around.pressedShift), True,
                              CurrentTime);
        XTestFakeKeyEvent(display, static_cast<unsigned>(t.code), True, CurrentTime);
        return;
    }
    XTestFakeKeyEvent(display, static_cast<unsigned>(t.code), False, CurrentTime);
    if (around.pressedShift)
        XTestFakeKeyEvent(display, static_cast<unsigned>(around.pressedShift), False, CurrentTime);
    if (around.capsLock)
        tap(around.capsLock);
    around = {};
}

// The platform's own representation of an event, played through XTest when posted.
struct PendingEvent {
    enum { key, mouse, scroll } kind = key;
    std::uint16_t code = 0;
    bool down = false;
    std::uint32_t type = 0;
    double x = 0, y = 0;
    std::int32_t lines = 0;
    std::uint64_t flags = 0;
    std::optional<Typing> text; // a character, resolved when its string is set
};

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

bool setUnicodeString(Event event, const std::u16string& units) {
    return (ev(event)->text = resolve(units)).has_value();
}

std::optional<char32_t> prepareText(const std::u16string& text) {
    if (!display || !xtest)
        return std::nullopt;
    upcoming.clear();
    nextCharacter = 0;
    readOwnKeys();
    std::optional<bool> spares; // whether any spare can be had, found out when needed
    std::optional<char32_t> untypable;
    for (const char32_t c : characters(text)) {
        const KeySym sym = keysymOf(c);
        upcoming.push_back(sym);
        if (untypable || controlKeycode(c) || ownKeys.count(sym))
            continue;
        if (!spares) {
            // Whether the keymap has spares at all: free ones, and those any process has
            // bound (processes typing at the same time share them).
            int minCode = 0, maxCode = 0, per = 0;
            XDisplayKeycodes(display, &minCode, &maxCode);
            KeySym* map = XGetKeyboardMapping(display, static_cast<KeyCode>(minCode),
                                              maxCode - minCode + 1, &per);
            bool any = !bound.empty() || !sparesInUse().empty();
            for (int code = minCode; map && !any && code <= maxCode; ++code) {
                const KeySym* syms = map + (code - minCode) * per;
                any = std::all_of(syms, syms + per, [](KeySym k) { return k == NoSymbol; });
            }
            if (map)
                XFree(map);
            spares = any;
        }
        if (!*spares)
            untypable = c;
    }
    return untypable;
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
        if (!e.text && !e.down)
            std::erase(letGo, xKeycode(e.code)); // a key-up for a Shift key let go of
        if (!e.text)
            pressAgain();
        if (e.text)
            typeUnit(*e.text, e.down);
        else if (const int code = xKeycode(e.code))
            XTestFakeKeyEvent(display, static_cast<unsigned>(code), e.down, CurrentTime);
        break;
    case PendingEvent::mouse: {
        pressAgain();
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
        pressAgain();
        const unsigned button = e.lines > 0 ? 4 : 5;
        const auto notches = static_cast<std::int32_t>(
            std::min<std::int64_t>(std::llabs(std::int64_t{e.lines}), maxScrollSteps));
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
    const Window front = frontWindow();
    if (front == None)
        return std::nullopt;
    return windowPid(front);
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
    if (w == None || frontWindow() == w)
        return;
    XSelectInput(display, root(), PropertyChangeMask);
    if (!liveWindowManager()) {
        XRaiseWindow(display, w);
        XSetInputFocus(display, w, RevertToParent, CurrentTime);
    } else {
        auto message = [&](Window window, const char* type, long data0) {
            XEvent e{};
            e.xclient.type = ClientMessage;
            e.xclient.window = window;
            e.xclient.message_type = atom(type);
            e.xclient.format = 32;
            e.xclient.data.l[0] = data0;
            e.xclient.data.l[1] = CurrentTime;
            XSendEvent(display, root(), False, SubstructureRedirectMask | SubstructureNotifyMask,
                       &e);
        };
        // A window on another desktop: show that desktop first, as a pager would.
        const auto desktop = longs(w, atom("_NET_WM_DESKTOP"), XA_CARDINAL);
        const auto current = longs(root(), atom("_NET_CURRENT_DESKTOP"), XA_CARDINAL);
        if (!desktop.empty() && !current.empty() && desktop[0] != 0xFFFFFFFF &&
            desktop[0] != current[0])
            message(root(), "_NET_CURRENT_DESKTOP", static_cast<long>(desktop[0]));
        message(w, "_NET_ACTIVE_WINDOW", 2); // from a pager: the user asked for it
    }
    XFlush(display);
    // Wait until it is in front, so a run started right after sees it there. Some window
    // managers announce None first.
    const auto deadline = std::chrono::steady_clock::now() + activationTimeout;
    while (frontWindow() != w && std::chrono::steady_clock::now() < deadline) {
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
        if (const auto name = title(w))
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

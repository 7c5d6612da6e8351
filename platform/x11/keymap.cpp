// The X11 keymap as text typing uses it: the key table, the characters the keymap has on
// its own keys, and the spare keycodes bound for the rest, shared with other processes.
#include "platform/x11/x11.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <thread>

namespace x11 {

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

namespace {

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
// How long the tool waits for the window manager to catch up with a keymap change.
constexpr auto windowManagerWait = std::chrono::milliseconds(2000);
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

// Whether the server refuses XKB keymap changes: Xwayland (22.1) answers every XkbSetMap
// with BadValue, so nothing is bound and the characters are lost. It takes the core
// request, as xdotool uses it.
bool coreChanges = false;

// Sets the keys through the core protocol: one request per run of neighbouring keys, each
// key given its keysym on both levels (a lone keysym would get its other case on the
// second level, and an upper-case letter its lower case on the first).
void changeKeysCore(const std::map<int, KeySym>& keys) {
    for (auto it = keys.begin(); it != keys.end();) {
        std::vector<KeySym> syms;
        const int first = it->first;
        for (int next = first; it != keys.end() && it->first == next; ++it, ++next)
            syms.insert(syms.end(), {it->second, it->second});
        XChangeKeyboardMapping(display, first, 2, syms.data(), static_cast<int>(syms.size() / 2));
    }
}

// Sets the keys in one keymap change (under a server grab; the caller asks the window
// manager once it has let go). Keys between the first and the last are sent as they are.
bool changeKeys(XkbDescPtr xkb, const std::map<int, KeySym>& keys) {
    if (keys.empty())
        return false;
    if (!coreChanges) {
        for (const auto& [code, sym] : keys)
            setKey(xkb, code, sym);
        XkbMapChangesRec changes{};
        changes.changed = XkbKeySymsMask;
        changes.first_key_sym = static_cast<KeyCode>(keys.begin()->first);
        changes.num_key_syms =
            static_cast<unsigned char>(keys.rbegin()->first - keys.begin()->first + 1);
        const unsigned long before = errors;
        XkbChangeMap(display, xkb, &changes);
        XSync(display, False);
        coreChanges = errors != before;
    }
    if (coreChanges)
        changeKeysCore(keys);
    return true;
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
        if (s != NoSymbol && !ownKeys.count(s) &&
            std::find(wanted.begin(), wanted.end(), s) == wanted.end())
            wanted.push_back(s);
    }
    const auto deadline = Clock::now() + spareWait;
    letGoOfServer(); // the guard's grab: the window manager must be able to answer
    for (;;) {
        // One keymap change in flight at a time: the window manager has caught up with
        // the last one before the next is made (never under the grab, which would keep
        // it from answering).
        awaitWindowManager(Clock::now() + windowManagerWait);
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
                // Left by a process that is gone; one killed while typing left its key down.
                if (spare.code) {
                    changes[static_cast<int>(spare.code)] = NoSymbol;
                    if (keyIsDown(static_cast<int>(spare.code)))
                        XTestFakeKeyEvent(display, static_cast<unsigned>(spare.code), False,
                                          CurrentTime);
                }
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
        const bool changed = changeKeys(xkb, changes);
        setSparesInUse(kept);
        XkbFreeKeyboard(xkb, 0, True);
        XUngrabServer(display);
        XSync(display, False);
        if (changed)
            askWindowManager();
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
        owner = ownWindow();
        nonce = std::random_device{}();
        XChangeProperty(display, owner, atom(ownerProperty), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&nonce), 1);
    }
    return bindUpcoming(sym) ? spareFor(sym) : 0;
}

} // namespace

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
    awaitWindowManager(Clock::now() + windowManagerWait);
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
    askWindowManager();
    // The process leaves the window manager caught up, so the next process's clicks are
    // not held back behind this one's keymap changes.
    awaitWindowManager(Clock::now() + windowManagerWait);
}

std::optional<char32_t> beginText(const std::vector<char32_t>& characters) {
    upcoming.clear();
    nextCharacter = 0;
    readOwnKeys();
    std::optional<bool> spares; // whether any spare can be had, found out when needed
    std::optional<char32_t> untypable;
    for (const char32_t c : characters) {
        const KeySym sym = keysymOf(c);
        upcoming.push_back(controlKeycode(c) ? NoSymbol : sym);
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

std::optional<Typing> resolve(char32_t c) {
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

void bindAhead() {
    if (nextCharacter >= upcoming.size())
        return;
    const KeySym next = upcoming[nextCharacter];
    if (next != NoSymbol && !ownKeys.count(next) && !isBound(next))
        spareFor(next);
}

void typed(const Typing& t, bool down) {
    if (!t.ownKey)
        bound[t.code].lastUse = Clock::now();
    if (down && nextCharacter < upcoming.size())
        ++nextCharacter;
}

} // namespace x11

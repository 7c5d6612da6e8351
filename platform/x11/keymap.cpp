// The X11 keymap as text typing uses it: the key table, the characters the keymap has on
// its own keys, and changes to the keymap (the spare keycodes are spares.cpp's).
#include "platform/x11/keymap.h"
#include "platform/input-common.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>

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
// keycodes (NoSymbol in the map), bound one keysym on each of their two levels and typed
// at their level the same way. Binding is one keymap change for as many upcoming
// characters as there are spare levels, since every change makes every client re-read
// the keymap and the window manager re-grab its key bindings (openbox: about 60 ms
// each).

struct OwnKey {
    int code = 0;
    bool shift = false;
    KeySym sym = NoSymbol;
};
// Per keyboard group, the character each key types at its first and its Shift level (the
// levels the key's type gives with no modifier and with Shift): a key types the symbol of
// the group in effect when it is pressed, so a table of the first group's symbols types
// another layout's characters while that one is active. Read once, the first time text
// is typed.
std::array<std::map<char32_t, OwnKey>, XkbNumKbdGroups> ownKeys;
int groups = 1; // how many the keyboard has
bool ownKeysRead = false;

KeySym keysymOf(char32_t c) {
    if ((c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF))
        return static_cast<KeySym>(c);
    return static_cast<KeySym>(0x01000000 + c);
}

// The X keycode of the key that types a control character, or 0.
int controlKeycode(char32_t c) {
    const auto key = platform::controlCharacterKey(c);
    return key ? xKeycode(*key) : 0;
}

void readOwnKeys() {
    if (ownKeysRead)
        return;
    ownKeysRead = true;
    XkbDescPtr xkb = XkbGetMap(display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd);
    if (!xkb)
        return;
    const std::vector<int> others = othersSpares();
    for (int code = xkb->min_key_code; code <= xkb->max_key_code; ++code)
        groups = std::max(groups, static_cast<int>(XkbKeyNumGroups(xkb, code)));
    for (int group = 0; group < groups; ++group) {
        for (int code = xkb->min_key_code; code <= xkb->max_key_code; ++code) {
            // A spare bound by another process may be taken back at any moment.
            if (XkbKeyNumGroups(xkb, code) == 0 ||
                std::find(others.begin(), others.end(), code) != others.end())
                continue;
            for (const bool shift : {false, true}) {
                unsigned consumed = 0;
                KeySym sym = NoSymbol;
                const unsigned state = XkbBuildCoreState(shift ? ShiftMask : 0, group);
                if (!XkbTranslateKeyCode(xkb, static_cast<KeyCode>(code), state, &consumed, &sym))
                    continue;
                // Keypad keys depend on Num Lock.
                if (!shift && (IsKeypadKey(sym) || IsModifierKey(sym)))
                    break;
                // A dead key's symbol is no character, so a dead key never stands for one;
                // the keys of control characters are the tool's own.
                const char32_t c = xkb_keysym_to_utf32(static_cast<xkb_keysym_t>(sym));
                if (c >= 0x20 && c != 0x7F)
                    ownKeys[static_cast<std::size_t>(group)].try_emplace(c,
                                                                         OwnKey{code, shift, sym});
            }
        }
    }
    XkbFreeKeyboard(xkb, 0, True);
}

// The group, the effective one first, in which the character is on a key of its own.
std::optional<int> groupWithKey(char32_t c, int effective) {
    for (int i = 0; i < groups; ++i) {
        const int group = (effective + i) % groups;
        if (ownKeys[static_cast<std::size_t>(group)].count(c))
            return group;
    }
    return std::nullopt;
}

// A level left without a keysym types the other level's: a core change gives a lone
// keysym its other case on the second level, and an upper-case letter its lower case on
// the first.
SpareKeysyms bothLevelsSet(SpareKeysyms syms) {
    if (syms[0] == NoSymbol)
        syms[0] = syms[1];
    if (syms[1] == NoSymbol)
        syms[1] = syms[0];
    return syms;
}

// Gives a key a keysym on each of its two levels (Shift chooses the level, Caps Lock does
// not), or no symbol at all, as spares have.
void setKey(XkbDescPtr xkb, int code, const SpareKeysyms& levels) {
    XkbSymMapPtr map = &xkb->map->key_sym_map[code];
    if (levels[0] == NoSymbol && levels[1] == NoSymbol) {
        XkbResizeKeySyms(xkb, code, 0);
        map->group_info = 0;
        map->width = 0;
        return;
    }
    // Room first: the resize reads the key's current width and groups.
    KeySym* syms = XkbResizeKeySyms(xkb, code, spareLevels);
    map = &xkb->map->key_sym_map[code];
    map->kt_index[0] = XkbTwoLevelIndex;
    map->group_info = XkbSetGroupInfo(1, XkbWrapIntoRange, 0);
    map->width = spareLevels;
    const SpareKeysyms written = bothLevelsSet(levels);
    std::copy(written.begin(), written.end(), syms);
}

// Whether the server refuses XKB keymap changes: Xwayland (22.1) answers every XkbSetMap
// with BadValue, so nothing is bound and the characters are lost. It takes the core
// request, as xdotool uses it.
bool coreChanges = false;

// Core changes wait until the server grab is over: Xwayland (22.1) delivers the notices of
// a change made under a grab only after later key events, which clients then read with
// the old keymap.
std::map<int, SpareKeysyms> deferred;

// Sets the keys through the core protocol: one request per run of neighbouring keys, each
// key given a keysym on both of its levels.
void changeKeysCore(const std::map<int, SpareKeysyms>& keys) {
    for (auto it = keys.begin(); it != keys.end();) {
        std::vector<KeySym> syms;
        const int first = it->first;
        for (int next = first; it != keys.end() && it->first == next; ++it, ++next) {
            const SpareKeysyms written = bothLevelsSet(it->second);
            syms.insert(syms.end(), written.begin(), written.end());
        }
        XChangeKeyboardMapping(display, first, spareLevels, syms.data(),
                               static_cast<int>(syms.size() / spareLevels));
    }
}

// The keys the last change bound to characters, for the notice finishChange sends.
std::map<int, SpareKeysyms> notice;

// Tells the client holding the input focus that keys were rebound, with a notice of its
// own. The server tells only the clients that asked for its notices: Xlib asks when it
// first reads the keymap, at the first key a client translates, and before that reads
// the keymap as it is then. Wine, though, builds its own table of keycodes (to Windows
// key codes) from the keymap when it starts and again at each notice. Before its first
// key, it hears of no change, types a key rebound since it started as a key of no name
// and loses its character. Once the notice is in its queue ahead of the key, it reads
// the keymap again before it handles the key, so nothing need wait for it.
void noticeToFocusedClient() {
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    if (focus == None || focus == PointerRoot || notice.empty())
        return;
    XEvent e{};
    e.xmapping.type = MappingNotify;
    e.xmapping.window = focus;
    e.xmapping.request = MappingKeyboard;
    e.xmapping.first_keycode = notice.begin()->first;
    e.xmapping.count = notice.rbegin()->first - notice.begin()->first + 1;
    // With no event mask, the event goes to the client that created the window.
    XSendEvent(display, focus, False, NoEventMask, &e);
}

// How many codes of Wine's shared set the keys it does not know can count on. The set holds
// 91 codes (the OEM codes, F1 to F24, the letters and the digits); a US 105-key keyboard's own
// keys take 62 of them, leaving 29 (measured with Wine 8 on Xvfb's keymap). A layout of
// another country names more keys with OEM codes, so fewer are counted on.
constexpr int wineSharedCodes = 24;

// Whether Wine gives the key a code without taking one from its shared set: a key whose first
// symbol is a character of the US keyboard, or with a capital letter, a digit or punctuation
// the US keyboard has a key for on any level (the letter keys of a layout whose first group is
// not Latin), or one found on every keyboard (Return, the arrows, F1 to F12, the modifiers,
// the keypad). Any other key is counted as taking one, which is never fewer than Wine takes.
bool wineNamesByItself(XkbDescPtr xkb, int code) {
    const KeySym first = XkbKeySymEntry(xkb, code, 0, 0);
    if (first >= 0x20 && first <= 0x7E)
        return true;
    for (int group = 0; group < XkbKeyNumGroups(xkb, code); ++group) {
        for (int level = 0; level < XkbKeyGroupWidth(xkb, code, group); ++level) {
            const KeySym sym = XkbKeySymEntry(xkb, code, level, group);
            if ((sym >= XK_A && sym <= XK_Z) || (sym >= XK_0 && sym <= XK_9) ||
                (sym > 0x20 && sym < 0x7F && std::strchr(";/`[\\]',.-+", static_cast<int>(sym))))
                return true;
        }
    }
    static const std::set<KeySym> everyKeyboard = {
        XK_BackSpace, XK_Tab,       XK_Return,   XK_Pause,   XK_Scroll_Lock, XK_Sys_Req,
        XK_Escape,    XK_Delete,    XK_Home,     XK_Left,    XK_Up,          XK_Right,
        XK_Down,      XK_Prior,     XK_Next,     XK_End,     XK_Print,       XK_Insert,
        XK_Menu,      XK_Num_Lock,  XK_KP_Enter, XK_Shift_L, XK_Shift_R,     XK_Control_L,
        XK_Control_R, XK_Caps_Lock, XK_Meta_L,   XK_Meta_R,  XK_Alt_L,       XK_Alt_R,
        XK_Super_L,   XK_Super_R,
    };
    return everyKeyboard.count(first) || (first >= XK_F1 && first <= XK_F12) ||
           (first >= XK_KP_Home && first <= XK_KP_Delete) ||
           (first >= XK_KP_Multiply && first <= XK_KP_9);
}

} // namespace

bool changeKeys(XkbDescPtr xkb, const std::map<int, SpareKeysyms>& keys) {
    if (keys.empty())
        return false;
    notice.clear();
    for (const auto& [code, syms] : keys) {
        if (syms != SpareKeysyms{NoSymbol, NoSymbol})
            notice[code] = syms;
    }
    if (!coreChanges) {
        for (const auto& [code, syms] : keys)
            setKey(xkb, code, syms);
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
        deferred.insert(keys.begin(), keys.end());
    return true;
}

std::set<int> sparesWineReads(XkbDescPtr xkb, const std::set<int>& spares) {
    std::set<int> read;
    int taken = 0; // codes of the shared set that keys before this one take
    for (int code = xkb->min_key_code; code <= xkb->max_key_code; ++code) {
        const bool spare = spares.count(code) > 0;
        if (!spare && (XkbKeyNumGroups(xkb, code) == 0 || wineNamesByItself(xkb, code)))
            continue;
        if (spare && taken < wineSharedCodes)
            read.insert(code);
        ++taken;
    }
    return read;
}

void finishChange() {
    if (!deferred.empty())
        changeKeysCore(deferred);
    deferred.clear();
    noticeToFocusedClient();
    notice.clear();
}

int effectiveGroup() {
    XkbStateRec state{};
    XkbGetState(display, XkbUseCoreKbd, &state);
    return state.group;
}

std::optional<char32_t> beginText(const std::vector<char32_t>& characters) {
    readOwnKeys();
    const int effective = effectiveGroup();
    std::vector<KeySym> needed;
    std::optional<bool> spares; // whether any spare can be had, found out when needed
    std::optional<char32_t> untypable;
    for (const char32_t c : characters) {
        const KeySym sym = keysymOf(c);
        const bool onKey = controlKeycode(c) || groupWithKey(c, effective);
        needed.push_back(onKey ? NoSymbol : sym);
        if (untypable || onKey)
            continue;
        if (!spares)
            spares = sparesExist();
        if (!*spares)
            untypable = c;
    }
    expectKeysyms(std::move(needed));
    return untypable;
}

std::optional<Typing> resolve(char32_t c, int group, bool bind) {
    Typing t;
    t.sym = keysymOf(c);
    if ((t.code = controlKeycode(c)) != 0) {
        t.control = t.ownKey = true;
        return t;
    }
    readOwnKeys();
    // A key of another layout than the one in effect is typed in its own: Wine reads a
    // key's character from the first key of its Windows key code in the event's group,
    // so a spare bound to a letter would type what the letter's own key types there.
    if (const auto in = groupWithKey(c, group)) {
        const OwnKey& key = ownKeys[static_cast<std::size_t>(*in)].at(c);
        t.code = key.code;
        t.shift = key.shift;
        t.sym = key.sym;
        t.group = *in;
        t.ownKey = true;
        return t;
    }
    const SpareBinding spare = bind ? spareFor(t.sym) : boundSpare(t.sym);
    if (spare.code) {
        t.code = spare.code;
        t.shift = spare.level == 1;
        return t;
    }
    return std::nullopt;
}

void typed(const Typing& t, bool down) {
    typedOn(t.ownKey ? SpareBinding{} : SpareBinding{t.code, t.shift ? 1 : 0}, down);
}

} // namespace x11

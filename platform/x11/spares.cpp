// The spare keycodes (no symbols in the keymap) that text binds to the characters the
// keymap lacks: which of them this process owns, binding the ones a text needs next, and
// giving them back. Processes typing at the same time share them.
#include "platform/x11/keymap.h"

#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <thread>

namespace x11 {

namespace {

// The spares the tool binds are listed on the root window with a window of this
// process's connection, so a later process can tell which bindings a killed one left
// behind (its window is gone) and take them back; binding happens under a server grab,
// so two processes never take the same spare.
//
// A client translates a keycode when it reads the event, with the map it fetched last,
// so a spare is rebound only when the keys typed on both its levels are some time old.
constexpr auto keymapSettle = std::chrono::milliseconds(100);
// The fewest spare levels a change made ahead of need rebinds: each change costs the
// window manager the same work however many keys it binds.
constexpr long aheadBatch = 4;
// How long the tool waits for the window manager to catch up with a keymap change.
constexpr auto windowManagerWait = std::chrono::milliseconds(2000);
// How long a character waits for a spare that other processes hold before it fails.
constexpr auto spareWait = std::chrono::milliseconds(3000);
const char* const sparesProperty = "_MARNITH_INPUT_SPARES";

using Clock = std::chrono::steady_clock;

struct Level {
    KeySym sym = NoSymbol; // NoSymbol: free for the next keysym
    Clock::time_point lastUse{};
};
using Levels = std::array<Level, spareLevels>;
std::map<int, Levels> bound;   // spare keycode -> what this process bound on its levels
Window owner = None;           // marks this process's bindings
std::vector<KeySym> upcoming;  // the text being typed: per character, the keysym it needs a
                               // spare for, else NoSymbol
std::size_t nextCharacter = 0; // its next character
Window wine = None;            // the Wine window in front at the last keymap change, if any

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

bool isBound(KeySym sym) {
    return boundSpare(sym).code != 0;
}

// When a key was last typed on any level of the spare.
Clock::time_point lastUseOf(const Levels& levels) {
    Clock::time_point last{};
    for (const Level& level : levels)
        last = std::max(last, level.lastUse);
    return last;
}

// What the spare is written with: a level keeps its keysym when another level is rebound.
SpareKeysyms keysymsOf(const Levels& levels) {
    SpareKeysyms syms{};
    for (std::size_t i = 0; i < levels.size(); ++i)
        syms[i] = levels[i].sym;
    return syms;
}

// This process's spares, least recently used first.
std::vector<int> leastRecentlyUsed() {
    std::vector<std::pair<Clock::time_point, int>> byUse;
    for (const auto& [code, levels] : bound)
        byUse.emplace_back(lastUseOf(levels), code);
    std::sort(byUse.begin(), byUse.end());
    std::vector<int> codes;
    for (const auto& [used, code] : byUse)
        codes.push_back(code);
    return codes;
}

// Binds the keysyms the text needs next, as many as this process's share of the spares
// allows, in one change: a keysym bound replaces only one the text needs later, so the
// spares hold what comes soonest. Processes typing at the same time share the spares:
// one that finds none free says so with a keycode-0 entry, and the others give back what
// is over their share at their next change. False when no spare could be had in time. Ahead of
// need, one attempt is made and nothing waited for.
bool bindUpcoming(KeySym needed, bool ahead = false) {
    // What the rest of the text needs, in order of first use.
    std::vector<KeySym> wanted{needed};
    for (std::size_t i = nextCharacter; i < upcoming.size(); ++i) {
        const KeySym s = upcoming[i];
        if (s != NoSymbol && std::find(wanted.begin(), wanted.end(), s) == wanted.end())
            wanted.push_back(s);
    }
    std::map<KeySym, std::size_t> rank;
    for (std::size_t i = 0; i < wanted.size(); ++i)
        rank.emplace(wanted[i], i);
    const auto deadline = Clock::now() + spareWait;
    ungrabServer(); // the guard's grab: the window manager must be able to answer
    wine = wineWindowInFront();
    const bool forWine = wine != None;
    for (;;) {
        // One keymap change in flight at a time: the window manager has caught up with
        // the last one before the next is made (never under the grab, which would keep
        // it from answering).
        awaitWindowManager(Clock::now() + windowManagerWait);
        // Wine reads a key's character when the program takes the key's message from its
        // queue, with the keymap as it is then: a spare is not rebound until Wine has read
        // the keys typed before, however far behind it is.
        if (forWine)
            awaitWindow(wine);
        XGrabServer(display);
        XkbDescPtr xkb = XkbGetMap(display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd);
        if (!xkb) {
            XUngrabServer(display);
            return false;
        }
        std::set<int> cleared;   // keycodes given back: no symbol on either level
        std::set<int> rewritten; // ours, written with what their levels now hold
        std::vector<SpareInUse> kept;
        std::set<std::pair<unsigned long, unsigned long>> others;
        std::set<int> taken;
        for (const auto& spare : sparesInUse()) {
            if (mine(spare))
                continue; // written again below
            if (!alive(spare)) {
                // Left by a process that is gone; one killed while typing left its key down.
                if (spare.code) {
                    cleared.insert(static_cast<int>(spare.code));
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
            if ((XkbKeyNumGroups(xkb, code) == 0 || cleared.count(code)) && !taken.count(code) &&
                !bound.count(code))
                free.push_back(code);
        }
        // Shares are counted in keycodes, as the root property lists them.
        const std::size_t share = std::max<std::size_t>(
            1, (free.size() + taken.size() + bound.size()) / (others.size() + 1));
        const auto now = Clock::now();
        // A keycode is rewritten as a whole, so both its levels must be old enough.
        auto oldEnough = [&](int code) { return lastUseOf(bound[code]) + keymapSettle <= now; };
        // Typing into Wine, only the spares it reads are used; ours it does not read are given
        // back.
        std::set<int> wineReads;
        if (forWine) {
            std::set<int> spares(free.begin(), free.end());
            spares.insert(taken.begin(), taken.end());
            for (const auto& [code, levels] : bound)
                spares.insert(code);
            wineReads = sparesWineReads(xkb, spares);
            free.erase(std::remove_if(free.begin(), free.end(),
                                      [&](int code) { return !wineReads.count(code); }),
                       free.end());
            for (const int code : leastRecentlyUsed()) {
                if (!wineReads.count(code) && oldEnough(code)) {
                    cleared.insert(code);
                    bound.erase(code);
                }
            }
        }
        auto usable = [&](int code) { return !forWine || wineReads.count(code); };
        // How soon the text needs each keysym: its place in the order of first use, and a
        // keysym it does not need comes after all.
        auto rankOf = [&](KeySym sym) {
            const auto it = rank.find(sym);
            return it == rank.end() ? wanted.size() : it->second;
        };
        // Give back what is over our share, keeping what our share would hold.
        const std::size_t shareHolds = share * spareLevels;
        for (const int code : leastRecentlyUsed()) {
            if (bound.size() <= share)
                break;
            const bool heldForText =
                std::any_of(bound[code].begin(), bound[code].end(),
                            [&](const Level& level) { return rankOf(level.sym) < shareHolds; });
            if (!heldForText && oldEnough(code)) {
                cleared.insert(code);
                bound.erase(code);
            }
        }
        // A level for the keysym the text needs at the rank: a free keycode while we hold
        // less than our share (its first level: a text with few characters beyond the
        // keymap is typed with no Shift around them), then an empty level on one of ours,
        // then the level whose keysym the text needs last, when that is later than this one.
        std::size_t nextFree = 0;
        auto levelFor = [&](std::size_t wantedRank) -> SpareBinding {
            if (nextFree < free.size() && bound.size() < share)
                return {free[nextFree++], 0};
            SpareBinding best;
            std::size_t bestRank = wantedRank;
            for (const int code : leastRecentlyUsed()) {
                if (!oldEnough(code) || !usable(code))
                    continue;
                for (int level = 0; level < spareLevels; ++level) {
                    const KeySym sym = bound[code][static_cast<std::size_t>(level)].sym;
                    if (sym == NoSymbol)
                        return {code, level};
                    if (rankOf(sym) > bestRank) {
                        best = {code, level};
                        bestRank = rankOf(sym);
                    }
                }
            }
            return best;
        };
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            if (isBound(wanted[i]))
                continue;
            const SpareBinding spare = levelFor(i);
            if (!spare.code)
                break; // a later keysym would find no level either
            bound[spare.code][static_cast<std::size_t>(spare.level)] = {wanted[i],
                                                                        Clock::time_point{}};
            rewritten.insert(spare.code);
        }
        std::map<int, SpareKeysyms> changes;
        for (const int code : cleared)
            changes[code] = {NoSymbol, NoSymbol};
        for (const int code : rewritten)
            changes[code] = keysymsOf(bound[code]);
        for (const auto& [code, levels] : bound)
            kept.push_back({static_cast<unsigned long>(code), owner, nonce});
        const bool got = isBound(needed);
        if (!got && !ahead)
            kept.push_back({0, owner, nonce}); // waiting for a spare
        const bool changed = changeKeys(xkb, changes);
        setSparesInUse(kept);
        XkbFreeKeyboard(xkb, 0, True);
        XUngrabServer(display);
        finishChange();
        XSync(display, False);
        if (changed)
            askWindowManager();
        if (got || ahead)
            return got;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace

SpareBinding boundSpare(KeySym sym) {
    for (const auto& [code, levels] : bound) {
        for (int level = 0; level < spareLevels; ++level) {
            if (levels[static_cast<std::size_t>(level)].sym == sym)
                return {code, level};
        }
    }
    return {};
}

SpareBinding spareFor(KeySym sym) {
    if (const SpareBinding spare = boundSpare(sym); spare.code) {
        // A compositor may replace its Xwayland's whole keymap (mutter hands over its own a
        // moment after it starts): a binding that is gone is made again.
        int per = 0;
        KeySym* syms = XGetKeyboardMapping(display, static_cast<KeyCode>(spare.code), 1, &per);
        const bool there = syms && per > spare.level && syms[spare.level] == sym;
        if (syms)
            XFree(syms);
        if (there)
            return spare;
        bound.erase(spare.code);
    }
    if (owner == None) {
        owner = ownWindow();
        nonce = std::random_device{}();
        XChangeProperty(display, owner, atom(ownerProperty), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&nonce), 1);
    }
    return bindUpcoming(sym) ? boundSpare(sym) : SpareBinding{};
}

// Gives back every spare this process bound, in one change, once the keys typed with
// them are old enough to have been read.
void restoreKeymap() {
    if (!display || owner == None)
        return;
    Clock::time_point last{};
    for (const auto& [code, levels] : bound)
        last = std::max(last, lastUseOf(levels));
    XSync(display, False);
    std::this_thread::sleep_until(last + keymapSettle);
    awaitWindowManager(Clock::now() + windowManagerWait);
    if (wine != None)
        awaitWindow(wine);
    XGrabServer(display);
    if (XkbDescPtr xkb = XkbGetMap(display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd)) {
        std::map<int, SpareKeysyms> changes;
        for (const auto& [code, levels] : bound)
            changes[code] = {NoSymbol, NoSymbol};
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
    finishChange();
    bound.clear();
    XSync(display, False);
    askWindowManager();
    // The process leaves the window manager caught up, so the next process's clicks are
    // not held back behind this one's keymap changes.
    awaitWindowManager(Clock::now() + windowManagerWait);
}

void expectKeysyms(std::vector<KeySym> needed) {
    upcoming = std::move(needed);
    nextCharacter = 0;
}

bool sparesExist() {
    // Free ones, and those any process has bound (processes typing at the same time share
    // them).
    if (!bound.empty() || !sparesInUse().empty())
        return true;
    int minCode = 0, maxCode = 0, per = 0;
    XDisplayKeycodes(display, &minCode, &maxCode);
    KeySym* map =
        XGetKeyboardMapping(display, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &per);
    bool any = false;
    for (int code = minCode; map && !any && code <= maxCode; ++code) {
        const KeySym* syms = map + (code - minCode) * per;
        any = std::all_of(syms, syms + per, [](KeySym k) { return k == NoSymbol; });
    }
    if (map)
        XFree(map);
    return any;
}

std::vector<int> othersSpares() {
    std::vector<int> codes;
    for (const auto& spare : sparesInUse()) {
        if (!mine(spare))
            codes.push_back(static_cast<int>(spare.code));
    }
    return codes;
}

void bindAhead() {
    if (nextCharacter >= upcoming.size())
        return;
    const KeySym next = upcoming[nextCharacter];
    if (next != NoSymbol && !isBound(next)) {
        spareFor(next);
        return;
    }
    // The next character has its spare. Waiting until a character has none would stall it
    // while the window manager handles the change (openbox takes some 60 ms, seven
    // characters' time): a change is made ahead instead, as soon as the manager has handled
    // the last one and a few of our spares have come free, so the manager works while the
    // characters already bound are typed.
    if (owner == None || !windowManagerCaughtUp())
        return;
    KeySym unbound = NoSymbol;
    std::set<KeySym> soon; // what the spares are still needed for
    for (std::size_t i = nextCharacter; i < upcoming.size() && unbound == NoSymbol; ++i) {
        if (upcoming[i] != NoSymbol && !isBound(upcoming[i]))
            unbound = upcoming[i];
        soon.insert(upcoming[i]);
    }
    const auto now = Clock::now();
    long levelsFree = 0;
    for (const auto& [code, levels] : bound) {
        if (lastUseOf(levels) + keymapSettle <= now)
            levelsFree += std::count_if(levels.begin(), levels.end(), [&](const Level& level) {
                return level.sym == NoSymbol || !soon.count(level.sym);
            });
    }
    if (unbound != NoSymbol && levelsFree >= aheadBatch)
        bindUpcoming(unbound, true);
}

void typedOn(SpareBinding spare, bool down) {
    if (const auto it = bound.find(spare.code); it != bound.end())
        it->second[static_cast<std::size_t>(spare.level)].lastUse = Clock::now();
    if (down && nextCharacter < upcoming.size())
        ++nextCharacter;
}

} // namespace x11

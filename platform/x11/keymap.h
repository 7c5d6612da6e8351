// What keymap.cpp and spares.cpp give each other.
#pragma once

#include "platform/x11/x11.h"

#include <X11/XKBlib.h>

#include <array>
#include <map>
#include <set>
#include <vector>

namespace x11 {

// A spare keycode carries a character on each of its two levels: the first typed without
// Shift, the second with it.
constexpr int spareLevels = 2;
// What a spare keycode types on each level; NoSymbol on both gives it back.
using SpareKeysyms = std::array<KeySym, spareLevels>;
// Where a character is bound: a spare keycode (0 for none) and its level (0 without Shift,
// 1 with it).
struct SpareBinding {
    int code = 0;
    int level = 0;
};

// Sets the keys in one keymap change, under a server grab; false when there was nothing
// to change. Keys between the first and the last are sent as they are. A key given a
// keysym on one level alone types it on the other as well.
bool changeKeys(XkbDescPtr xkb, const std::map<int, SpareKeysyms>& keys);
// After the grab: what changeKeys left to the core protocol.
void finishChange();

// The spare keycodes a Wine program reads characters from, of the given ones (every keycode
// that is or may become a spare). Wine builds its own table of keycodes to Windows key codes
// each time it reads the keymap. A key whose symbols it does not know, every spare among
// them, is given a code from a set shared by all such keys, in keycode order; once the set
// is used up, later keys get none and Wine drops what they type.
std::set<int> sparesWineReads(XkbDescPtr xkb, const std::set<int>& spares);

// Before a text: per character, the keysym it needs a spare for, else NoSymbol.
void expectKeysyms(std::vector<KeySym> needed);
// Whether any spare can be had: a free keycode, or one a process typing now has bound.
bool sparesExist();
// The spare keycodes other processes have bound.
std::vector<int> othersSpares();
// The spare level bound to the keysym, bound first (with what the text needs next) when
// it is not; code 0 when none could be had in time.
SpareBinding spareFor(KeySym sym);
// The spare level this process has bound to the keysym, or code 0; no request is made.
SpareBinding boundSpare(KeySym sym);
// A character's key going down or up: on a spare level, or (code 0) a key of the keymap's.
void typedOn(SpareBinding spare, bool down);

} // namespace x11

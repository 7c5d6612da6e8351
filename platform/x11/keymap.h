// What keymap.cpp and spares.cpp give each other.
#pragma once

#include "platform/x11/x11.h"

#include <X11/XKBlib.h>

#include <map>
#include <vector>

namespace x11 {

// Sets the keys in one keymap change, under a server grab; false when there was nothing
// to change. Keys between the first and the last are sent as they are.
bool changeKeys(XkbDescPtr xkb, const std::map<int, KeySym>& keys);
// After the grab: what changeKeys left to the core protocol.
void finishChange();

// Before a text: per character, the keysym it needs a spare for, else NoSymbol.
void expectKeysyms(std::vector<KeySym> needed);
// Whether any spare can be had: a free keycode, or one a process typing now has bound.
bool sparesExist();
// The spare keycodes other processes have bound.
std::vector<int> othersSpares();
// The spare bound to the keysym, bound first (with what the text needs next) when it is
// not; 0 when none could be had in time.
int spareFor(KeySym sym);
// The spare this process has bound to the keysym, or 0; no request is made.
int boundSpare(KeySym sym);
// A character's key going down or up: on a spare keycode, or (0) a key of the keymap's.
void typedOn(int spare, bool down);

} // namespace x11

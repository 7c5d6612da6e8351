#include "events/events.h"

platform::EventSource src = nullptr;
ModifierFlags modifiers = 0;

void post(platform::Event event) {
    if (!event)
        return;
    // Flags are only ever added: the event keeps those the platform gave it.
    platform::setFlags(event, platform::getFlags(event) | modifiers);
    platform::postEvent(event);
}

void keyEvent(KeyCode code, bool down) {
    // The bookkeeping comes first, so a modifier's key-down carries its own flag and
    // its key-up no longer does. Modifiers are tracked per flag, not per key.
    for (const auto& [modifierCode, flag] : modifierFlags) {
        if (modifierCode != code)
            continue;
        if (down)
            modifiers |= flag;
        else
            modifiers &= ~flag;
        break;
    }
    platform::Event event = platform::createKeyboardEvent(src, code, down);
    if (!event)
        return;
    post(event);
    platform::releaseEvent(event);
}

void releaseModifiers() {
    // The entry's own flag is not consulted: while anything is held, every key visited
    // gets a key-up, which is harmless for keys that are not down.
    for (const auto& entry : modifierFlags) {
        if (modifiers == 0)
            return;
        keyEvent(entry.first, false);
    }
}

#include "events/input.h"

#include "events/exit.h"

#include <cmath>
#include <limits>

void post(State& state, platform::Event event) {
    if (!event)
        return;
    // Flags are only ever added: the event keeps those the platform gave it.
    platform::setFlags(event, platform::getFlags(event) | state.modifiers);
    const bool taken = platform::postEvent(event);
    platform::releaseEvent(event);
    // Input that went nowhere must not pass for typed; fail lets go of what is held.
    if (!taken)
        fail(state, permissionOffMessage);
}

void keyEvent(State& state, KeyCode code, bool down) {
    // The bookkeeping comes first, so a modifier's key-down carries its own flag and
    // its key-up no longer does. Modifiers are tracked per flag, not per key.
    for (const auto& [modifierCode, flag] : state.modifierFlags) {
        if (modifierCode != code)
            continue;
        if (down)
            state.modifiers |= flag;
        else
            state.modifiers &= ~flag;
        break;
    }
    state.heldKeys.update(code, down);
    post(state, platform::createKeyboardEvent(state.src, code, down));
}

std::uint32_t downType(std::uint32_t button) {
    return button == platform::rightButton ? platform::rightMouseDown : platform::leftMouseDown;
}

std::uint32_t upType(std::uint32_t button) {
    return button == platform::rightButton ? platform::rightMouseUp : platform::leftMouseUp;
}

void mouse(State& state, std::uint32_t type, Point position, std::uint32_t button,
           std::int64_t clicks) {
    if (type != platform::mouseMoved)
        state.heldButtons.update(button, type == downType(button));
    platform::Event event = platform::createMouseEvent(state.src, type, position, button);
    if (event)
        platform::setClickState(event, clicks);
    post(state, event);
}

std::int32_t scrollLines(double amount) {
    if (std::isnan(amount))
        return 0;
    const double lines = std::trunc(amount);
    if (lines >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    if (lines <= static_cast<double>(std::numeric_limits<std::int32_t>::min()))
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(lines);
}

void scrollWheel(State& state, double amount) {
    post(state, platform::createScrollWheelEvent(state.src, scrollLines(amount)));
}

void releaseHeld(State& state) {
    // The entry's own flag is not consulted: while anything is held, every key visited
    // gets a key-up, which is harmless for keys that are not down.
    for (const auto& entry : state.modifierFlags) {
        if (state.modifiers == 0)
            break;
        keyEvent(state, entry.first, false);
    }
    // Modifiers are tracked per flag, so the walk can leave a twin down (RightShift when
    // LeftShift's key-up emptied the set), and keys pressed with keyDown stay down
    // system-wide after the process ends unless released here.
    for (const KeyCode code : state.heldKeys.inOrder())
        keyEvent(state, code, false);
    for (const std::uint32_t button : state.heldButtons.inOrder())
        mouse(state, upType(button), state.cursor, button, 1);
}

bool targetInFront(const State& state) {
    return !state.guard || platform::frontmostPid() == state.guard;
}

void sleepMs(double ms) {
    if (std::isnan(ms) || ms < 0)
        ms = 0;
    if (ms > 10000)
        ms = 10000;
    platform::sleepMicroseconds(static_cast<std::uint64_t>(ms * 1000));
}

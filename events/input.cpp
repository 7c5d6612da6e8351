#include "events/input.h"

#include "events/exit.h"

#include <cmath>
#include <limits>

void modifierKey(State& state, ModifierFlags flag, bool down, ModifierFlags given) {
    if (!down) {
        if (state.ownModifiers & flag)
            state.releasedModifiers |= flag;
        state.modifiers &= ~flag;
        state.ownModifiers &= ~flag;
        return;
    }
    // While the tool holds the flag already (through the key's twin), the events show it
    // because of the tool: who else holds it was settled at the first press.
    if (!(state.modifiers & flag)) {
        if (given & ~state.releasedModifiers & flag)
            state.ownModifiers &= ~flag;
        else
            state.ownModifiers |= flag;
    }
    state.modifiers |= flag;
    state.releasedModifiers &= ~flag;
}

ModifierFlags outgoingFlags(const State& state, ModifierFlags given) {
    // The system's state lags behind the events just posted: right after the tool's
    // key-up of a modifier, events created from it can still carry that modifier, and a
    // key-up carrying its own flag reads as a press. The user's own held keys still show.
    return (given & ~state.releasedModifiers) | state.modifiers;
}

void post(State& state, platform::Event event) {
    if (!event)
        return;
    platform::setFlags(event, outgoingFlags(state, platform::getFlags(event)));
    const bool taken = platform::postEvent(event);
    platform::releaseEvent(event);
    // Input that went nowhere must not pass for typed; fail lets go of what is held.
    if (!taken)
        fail(state, permissionOffMessage);
}

void keyEvent(State& state, KeyCode code, bool down) {
    platform::Event event = platform::createKeyboardEvent(state.src, code, down);
    const ModifierFlags given = event ? platform::getFlags(event) : 0;
    // The bookkeeping comes before the stamp, so a modifier's key-down carries its own
    // flag and its key-up no longer does. Modifiers are tracked per flag, not per key.
    for (const auto& [modifierCode, flag] : state.modifierFlags) {
        if (modifierCode == code) {
            modifierKey(state, flag, down, given);
            break;
        }
    }
    state.heldKeys.update(code, down);
    post(state, event);
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

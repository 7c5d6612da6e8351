#include "actions/run.h"

#include "actions/keyboard.h"
#include "actions/pointer.h"
#include "actions/render.h"
#include "events/exit.h"
#include "events/input.h"
#include "events/values.h"

namespace {

constexpr std::uint64_t pacingMicroseconds = 15000;

const char* const stopMessage = "Studio is no longer the front window; stopped.";

// Performs one action object; false when the guard stopped it part-way. Fails with
// "unknown action " when none of its keys selects an action.
bool performAction(State& state, const nlohmann::ordered_json& action) {
    // The button is read for every action object, whatever its action.
    const auto it = action.find("button");
    const std::uint32_t button =
        it != action.end() && *it == "right" ? platform::rightButton : platform::leftButton;
    if (moveAction(state, action) || clickAction(state, action, button) ||
        downAction(state, action, button) || upAction(state, action, button) ||
        scrollAction(state, action) || keyAction(state, action) || keyDownAction(state, action) ||
        keyUpAction(state, action))
        return true;
    if (const Typed typed = textAction(state, action); typed != Typed::notText)
        return typed == Typed::whole;
    if (waitAction(action))
        return true;
    fail(state, "unknown action " + renderAction(action));
}

void stop(State& state, std::size_t done) {
    releaseHeld(state);
    out({{"ok", false}, {"done", done}, {"error", stopMessage}});
}

} // namespace

void runCommand(State& state) {
    const auto& args = state.args;
    if (args.size() < 3)
        fail(state, "bad actions json");
    // Objects keep their entries in the host's order, in a vector rather than a tree: an
    // "unknown action " message shows them as written, and the largest list an
    // argument can hold stays under 4 MiB.
    const nlohmann::ordered_json actions = nlohmann::ordered_json::parse(args[2], nullptr, false);
    if (actions.is_discarded() || !actions.is_array())
        fail(state, "bad actions json");
    for (const auto& action : actions) {
        if (!action.is_object())
            fail(state, "bad actions json");
    }
    if (!platform::isTrusted())
        fail(state, "Accessibility permission is off for Marnith");
    // A missing or malformed target pid turns the guard off; it is not an error.
    state.guard = args.size() > 3 ? parsePid(args[3]) : std::nullopt;
    state.cursor = platform::pointerLocation().value_or(Point{0.0, 0.0});

    platform::catchTerminationSignals();
    const std::size_t count = actions.size();
    for (std::size_t i = 0; i < count; ++i) {
        stopIfSignalled(state);
        if (!targetInFront(state) || !performAction(state, actions[i]))
            return stop(state, i);
        stopIfSignalled(state);
        platform::sleepMicroseconds(pacingMicroseconds);
    }
    stopIfSignalled(state);
    releaseHeld(state);
    out({{"ok", true}, {"done", count}});
}

#include "actions/run.h"

#include "actions/keyboard.h"
#include "actions/pointer.h"
#include "actions/render.h"
#include "events/exit.h"
#include "events/input.h"
#include "events/values.h"

#include <optional>

namespace {

constexpr std::uint64_t pacingMicroseconds = 15000;

const char* const stopMessage = "Studio is no longer the front window; stopped.";

// Performs one action object. When the guard stopped it part-way (only a text can be),
// gives the number of its UTF-16 code units that were typed. Fails with
// "unknown action " when none of its keys selects an action.
std::optional<std::size_t> performAction(State& state, const nlohmann::ordered_json& action) {
    // The button is read for every action object, whatever its action.
    const auto it = action.find("button");
    const std::uint32_t button =
        it != action.end() && *it == "right" ? platform::rightButton : platform::leftButton;
    if (moveAction(state, action) || clickAction(state, action, button) ||
        downAction(state, action, button) || upAction(state, action, button) ||
        scrollAction(state, action) || keyAction(state, action) || keyDownAction(state, action) ||
        keyUpAction(state, action))
        return std::nullopt;
    if (const Typed typed = textAction(state, action); typed.isText) {
        if (typed.stopped)
            return typed.units;
        return std::nullopt;
    }
    if (waitAction(action))
        return std::nullopt;
    fail(state, "unknown action " + renderAction(action));
}

// `typed`: how much of action `done`, a text, went out before the stop, so a host can
// resume with the rest of it rather than type it again from its start.
void stop(State& state, std::size_t done, std::size_t typed = 0) {
    releaseHeld(state);
    nlohmann::ordered_json result{{"ok", false}, {"done", done}};
    if (typed > 0)
        result["typed"] = typed;
    result["error"] = stopMessage;
    out(result);
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
        fail(state, permissionOffMessage);
    // A missing or malformed target pid turns the guard off; it is not an error.
    state.guard = args.size() > 3 ? parsePid(args[3]) : std::nullopt;
    state.cursor = platform::pointerLocation().value_or(Point{0.0, 0.0});

    platform::catchTerminationSignals();
    const std::size_t count = actions.size();
    for (std::size_t i = 0; i < count; ++i) {
        stopIfSignalled(state);
        if (!targetInFront(state))
            return stop(state, i);
        if (const auto typed = performAction(state, actions[i]))
            return stop(state, i, *typed);
        stopIfSignalled(state);
        platform::sleepMicroseconds(pacingMicroseconds);
    }
    stopIfSignalled(state);
    releaseHeld(state);
    out({{"ok", true}, {"done", count}});
}

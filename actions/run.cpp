#include "actions/actions.h"
#include "main/output.h"
#include "main/state.h"
#include "main/values.h"

Point cursor{0.0, 0.0};

namespace {

constexpr std::uint64_t pacingMicroseconds = 15000;

const char* const stopMessage = "Studio is no longer the front window; stopped.";

} // namespace

void stopIfSignalled() {
    if (const int signal = platform::caughtSignal()) {
        releaseModifiers();
        platform::endBySignal(signal);
    }
}

void performAction(const nlohmann::ordered_json& action) {
    // The button is read for every action object, whatever its action.
    const auto button = action.find("button");
    const bool right = button != action.end() && *button == "right";
    if (moveAction(action) || clickAction(action, right) || downAction(action, right) ||
        upAction(action, right) || scrollAction(action) || keyAction(action) ||
        keyDownAction(action) || keyUpAction(action) || textAction(action) || waitAction(action))
        return;
    fail("unknown action " + renderAction(action));
}

void runCommand() {
    if (args.size() < 3)
        fail("bad actions json");
    // Objects keep their entries in the host's order, in a vector rather than a tree: an
    // "unknown action " message shows them as written, and the largest list an
    // argument can hold stays under 4 MiB.
    const nlohmann::ordered_json actions = nlohmann::ordered_json::parse(args[2], nullptr, false);
    if (actions.is_discarded() || !actions.is_array())
        fail("bad actions json");
    for (const auto& action : actions) {
        if (!action.is_object())
            fail("bad actions json");
    }
    if (!platform::isTrusted())
        fail("Accessibility permission is off for Marnith");
    // A missing or malformed target pid turns the guard off; it is not an error.
    const std::optional<std::int32_t> target = args.size() > 3 ? parsePid(args[3]) : std::nullopt;
    cursor = platform::pointerLocation().value_or(Point{0.0, 0.0});

    platform::catchTerminationSignals();
    const std::size_t count = actions.size();
    for (std::size_t i = 0; i < count; ++i) {
        stopIfSignalled();
        if (target && platform::frontmostPid() != target) {
            releaseModifiers();
            out({{"ok", false}, {"done", i}, {"error", stopMessage}});
            return;
        }
        performAction(actions[i]);
        stopIfSignalled();
        platform::sleepMicroseconds(pacingMicroseconds);
    }
    stopIfSignalled();
    releaseModifiers();
    out({{"ok", true}, {"done", count}});
}

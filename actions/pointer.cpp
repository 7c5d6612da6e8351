#include "actions/pointer.h"

#include "events/exit.h"
#include "events/input.h"
#include "events/values.h"

namespace {

constexpr std::uint64_t clickMoveMicroseconds = 30000; // after the move, before the first press
constexpr std::uint64_t clickHoldMicroseconds = 20000; // between press and release
constexpr std::uint64_t clickGapMicroseconds = 40000;  // after each release

const nlohmann::ordered_json* member(const nlohmann::ordered_json& action, const char* name) {
    auto it = action.find(name);
    return it == action.end() ? nullptr : &*it;
}

// A press or release at the given point, or at the last position when the value is
// not a point.
bool buttonAction(State& state, const nlohmann::ordered_json& action, const char* name,
                  std::uint32_t type, std::uint32_t button) {
    const nlohmann::ordered_json* value = member(action, name);
    if (!value)
        return false;
    const Point p = point(value).value_or(state.cursor);
    mouse(state, type, p, button, 1);
    state.cursor = p;
    return true;
}

} // namespace

bool moveAction(State& state, const nlohmann::ordered_json& action) {
    const auto p = point(member(action, "move"));
    if (!p)
        return false;
    // Always a plain move, even while a button is held by an earlier press.
    mouse(state, platform::mouseMoved, *p, platform::leftButton, 1);
    state.cursor = *p;
    return true;
}

bool clickAction(State& state, const nlohmann::ordered_json& action, std::uint32_t button) {
    const auto p = point(member(action, "click"));
    if (!p)
        return false;
    const nlohmann::ordered_json* count = member(action, "count");
    const std::int64_t clicks =
        std::max<std::int64_t>(count ? integerValue(*count).value_or(1) : 1, 1);
    mouse(state, platform::mouseMoved, *p, platform::leftButton, 1);
    platform::sleepMicroseconds(clickMoveMicroseconds);
    // The click state rises with each repetition so the application sees a double or
    // triple click.
    for (std::int64_t j = 1; j <= clicks; ++j) {
        if (j > 1)
            stopIfSignalled(state);
        mouse(state, downType(button), *p, button, j);
        platform::sleepMicroseconds(clickHoldMicroseconds);
        mouse(state, upType(button), *p, button, j);
        platform::sleepMicroseconds(clickGapMicroseconds);
    }
    state.cursor = *p;
    return true;
}

bool downAction(State& state, const nlohmann::ordered_json& action, std::uint32_t button) {
    return buttonAction(state, action, "down", downType(button), button);
}

bool upAction(State& state, const nlohmann::ordered_json& action, std::uint32_t button) {
    return buttonAction(state, action, "up", upType(button), button);
}

bool scrollAction(State& state, const nlohmann::ordered_json& action) {
    const nlohmann::ordered_json* amount = member(action, "scroll");
    if (!amount || !amount->is_number())
        return false;
    scrollWheel(state, amount->get<double>());
    return true;
}

#include "actions/actions.h"
#include "main/values.h"

namespace {

constexpr std::uint64_t clickMoveMicroseconds = 30000; // after the move, before the first press
constexpr std::uint64_t clickHoldMicroseconds = 20000; // between press and release
constexpr std::uint64_t clickGapMicroseconds = 40000;  // after each release

const nlohmann::ordered_json* member(const nlohmann::ordered_json& action, const char* name) {
    auto it = action.find(name);
    return it == action.end() ? nullptr : &*it;
}

std::uint32_t downType(bool right) {
    return right ? platform::rightMouseDown : platform::leftMouseDown;
}
std::uint32_t upType(bool right) {
    return right ? platform::rightMouseUp : platform::leftMouseUp;
}
std::uint32_t buttonNumber(bool right) {
    return right ? platform::rightButton : platform::leftButton;
}

// A press or release at the given point, or at the last position when the value is
// not a point.
bool buttonAction(const nlohmann::ordered_json& action, const char* name, std::uint32_t type,
                  bool right) {
    const nlohmann::ordered_json* value = member(action, name);
    if (!value)
        return false;
    const Point p = point(value).value_or(cursor);
    mouse(type, p, buttonNumber(right), 1);
    cursor = p;
    return true;
}

} // namespace

bool moveAction(const nlohmann::ordered_json& action) {
    const auto p = point(member(action, "move"));
    if (!p)
        return false;
    // Always a plain move, even while a button is held by an earlier press.
    mouse(platform::mouseMoved, *p, platform::leftButton, 1);
    cursor = *p;
    return true;
}

bool clickAction(const nlohmann::ordered_json& action, bool right) {
    const auto p = point(member(action, "click"));
    if (!p)
        return false;
    const nlohmann::ordered_json* count = member(action, "count");
    const std::int64_t clicks =
        std::max<std::int64_t>(count ? integerValue(*count).value_or(1) : 1, 1);
    mouse(platform::mouseMoved, *p, platform::leftButton, 1);
    platform::sleepMicroseconds(clickMoveMicroseconds);
    // The click state rises with each repetition so the application sees a double or
    // triple click.
    for (std::int64_t j = 1; j <= clicks; ++j) {
        if (j > 1)
            stopIfSignalled();
        mouse(downType(right), *p, buttonNumber(right), j);
        platform::sleepMicroseconds(clickHoldMicroseconds);
        mouse(upType(right), *p, buttonNumber(right), j);
        platform::sleepMicroseconds(clickGapMicroseconds);
    }
    cursor = *p;
    return true;
}

bool downAction(const nlohmann::ordered_json& action, bool right) {
    return buttonAction(action, "down", downType(right), right);
}

bool upAction(const nlohmann::ordered_json& action, bool right) {
    return buttonAction(action, "up", upType(right), right);
}

bool scrollAction(const nlohmann::ordered_json& action) {
    const nlohmann::ordered_json* amount = member(action, "scroll");
    if (!amount || !amount->is_number())
        return false;
    scrollWheel(amount->get<double>());
    return true;
}

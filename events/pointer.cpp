#include "events/events.h"

#include <cmath>
#include <limits>

std::optional<Point> point(const nlohmann::ordered_json* value) {
    if (!value || !value->is_array() || value->size() < 2)
        return std::nullopt;
    for (const auto& element : *value) {
        if (!element.is_number()) // JSON booleans are not numbers here
            return std::nullopt;
    }
    return Point{(*value)[0].get<double>(), (*value)[1].get<double>()};
}

void mouse(std::uint32_t type, Point position, std::uint32_t button, std::int64_t clicks) {
    platform::Event event = platform::createMouseEvent(src, type, position, button);
    if (!event)
        return;
    platform::setClickState(event, clicks);
    post(event);
    platform::releaseEvent(event);
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

void scrollWheel(double amount) {
    platform::Event event = platform::createScrollWheelEvent(src, scrollLines(amount));
    if (!event)
        return;
    post(event);
    platform::releaseEvent(event);
}

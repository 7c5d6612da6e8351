#include "events/exit.h"
#include "events/unicode.h"
#include "events/values.h"
#include "queries/queries.h"

#include <limits>

using nlohmann::json;

namespace {

const json* member(const json& object, const char* name) {
    auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::int64_t> readInteger(const json& object, const char* name) {
    const json* v = member(object, name);
    return v ? integerValue(*v) : std::nullopt;
}

// A number converts exactly to a double when it is a float, or an integer within the
// 53-bit range a double holds without rounding (or one that happens to round-trip).
bool exactDouble(const json& v) {
    if (v.is_number_float())
        return true;
    if (v.is_number_unsigned()) {
        const auto n = v.get<std::uint64_t>();
        const auto d = static_cast<double>(n);
        return d < 18446744073709551616.0 && static_cast<std::uint64_t>(d) == n;
    }
    if (v.is_number_integer()) {
        const auto n = v.get<std::int64_t>();
        const auto d = static_cast<double>(n);
        return d < 9223372036854775808.0 && static_cast<std::int64_t>(d) == n;
    }
    return false;
}

// The bounds are read as a whole: any member that is not an exact number spoils them.
double bound(const json* bounds, const char* name) {
    if (!bounds || !bounds->is_object())
        return 0.0;
    for (const auto& value : *bounds) {
        if (!exactDouble(value))
            return 0.0;
    }
    const json* v = member(*bounds, name);
    return v ? v->get<double>() : 0.0;
}

bool isTarget(std::int32_t pid) {
    std::optional<std::string> bundleId;
    if (!platform::runningApplication(pid, bundleId) || !bundleId)
        return false;
    return lowerCase(*bundleId).find("robloxstudio") != std::string::npos;
}

} // namespace

nlohmann::ordered_json targetWindows(const json& list) {
    nlohmann::ordered_json entries = nlohmann::ordered_json::array();
    if (!list.is_array())
        return entries;
    for (const auto& window : list) {
        if (!window.is_object())
            return entries; // one malformed element makes the whole list unreadable
    }
    for (const auto& window : list) {
        const std::int64_t owner = readInteger(window, "kCGWindowOwnerPID").value_or(0);
        // Process ids are 32-bit; an owner outside that range cannot be looked up.
        if (owner < std::numeric_limits<std::int32_t>::min() ||
            owner > std::numeric_limits<std::int32_t>::max())
            continue;
        if (!isTarget(static_cast<std::int32_t>(owner)))
            continue;
        if (readInteger(window, "kCGWindowLayer") != std::optional<std::int64_t>(0))
            continue;
        const json* bounds = member(window, "kCGWindowBounds");
        const json* title = member(window, "kCGWindowName");
        entries.push_back({
            {"id", readInteger(window, "kCGWindowNumber").value_or(0)},
            {"pid", owner},
            {"title", title && title->is_string() ? title->get<std::string>() : ""},
            {"x", bound(bounds, "X")},
            {"y", bound(bounds, "Y")},
            {"w", bound(bounds, "Width")},
            {"h", bound(bounds, "Height")},
        });
    }
    return entries;
}

void windowsCommand(State&) {
    out(targetWindows(platform::windowList()));
}

#include "events/values.h"

#include <cmath>
#include <limits>

namespace {

template <typename Json> std::optional<std::int64_t> integer(const Json& value) {
    if (value.is_number_unsigned()) {
        const auto n = value.template get<std::uint64_t>();
        if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return std::nullopt;
        return static_cast<std::int64_t>(n);
    }
    if (value.is_number_integer())
        return value.template get<std::int64_t>();
    if (value.is_number_float()) {
        const double d = value.template get<double>();
        // -2^63 is exactly representable; 2^63 is the first double past the range.
        if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 ||
            d >= 9223372036854775808.0)
            return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

} // namespace

std::optional<std::int64_t> integerValue(const nlohmann::json& value) {
    return integer(value);
}

std::optional<std::int64_t> integerValue(const nlohmann::ordered_json& value) {
    return integer(value);
}

std::optional<std::int32_t> parsePid(const std::string& text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size())
        return std::nullopt; // empty, or a sign alone
    // A negative number is built downward, so -2147483648 fits while 2147483648 does not.
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (negative ? -(c - '0') : (c - '0'));
        if (value < std::numeric_limits<std::int32_t>::min() ||
            value > std::numeric_limits<std::int32_t>::max())
            return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

std::optional<Point> point(const nlohmann::ordered_json* value) {
    if (!value || !value->is_array() || value->size() < 2)
        return std::nullopt;
    for (const auto& element : *value) {
        if (!element.is_number()) // JSON booleans are not numbers here
            return std::nullopt;
    }
    return Point{(*value)[0].get<double>(), (*value)[1].get<double>()};
}

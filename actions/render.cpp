#include "actions/render.h"

#include <vector>

using json = nlohmann::ordered_json;

namespace {

std::string scalar(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Compact JSON written with an explicit stack: the value comes from the host and may be
// nested as deep as the parser allows, far deeper than the call stack could recurse.
std::string compact(const json& root) {
    std::string text;
    std::vector<std::pair<const json*, json::const_iterator>> open;
    auto begin = [&](const json& value) {
        if (value.is_structured() && !value.empty()) {
            text += value.is_object() ? '{' : '[';
            open.emplace_back(&value, value.cbegin());
        } else {
            text += scalar(value);
        }
    };
    begin(root);
    while (!open.empty()) {
        auto& [container, next] = open.back();
        if (next == container->cend()) {
            text += container->is_object() ? '}' : ']';
            open.pop_back();
            continue;
        }
        if (next != container->cbegin())
            text += ',';
        if (container->is_object())
            text += scalar(json(next.key())) + ':';
        const json& child = *next;
        ++next;
        begin(child); // may grow the stack; the reference above is not used after this
    }
    return text;
}

} // namespace

std::string renderAction(const json& action) {
    if (action.empty())
        return "[:]";
    std::string text = "[";
    for (auto it = action.cbegin(); it != action.cend(); ++it) {
        if (it != action.cbegin())
            text += ", ";
        text += scalar(json(it.key())) + ": " + compact(it.value());
    }
    return text + "]";
}

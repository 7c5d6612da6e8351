// How an action object is shown in the "unknown action " message.
#include "actions/actions.h"

#include <gtest/gtest.h>

using json = nlohmann::ordered_json;

namespace {

TEST(Render, ActionObjects) {
    const std::pair<const char*, const char*> cases[] = {
        {"{}", "[:]"},
        {R"({"wait":"soon"})", R"(["wait": "soon"])"},
        {R"({"move":[1]})", R"(["move": [1]])"},
        // Entries keep the order they were written in.
        {R"({"count":2,"click":[1,2]})", R"(["count": 2, "click": [1,2]])"},
        {R"({"wait":1,"wait":"soon"})", R"(["wait": "soon"])"},
        {R"({"a":{"c":[],"b":[true,null,1.5,{}]}})", R"(["a": {"c":[],"b":[true,null,1.5,{}]}])"},
        {R"({"q\"k":"line\nbreak"})", R"(["q\"k": "line\nbreak"])"},
        {R"({"e":"é😀"})", "[\"e\": \"é😀\"]"},
        {R"({"big":18446744073709551615,"neg":-1e308})",
         R"(["big": 18446744073709551615, "neg": -1e+308])"},
    };
    for (const auto& [text, rendered] : cases)
        EXPECT_EQ(renderAction(json::parse(text)), rendered) << text;
}

TEST(Render, DeepNestingDoesNotExhaustTheStack) {
    // Deeper than any recursive writer could go on a default stack.
    const std::size_t depth = 200000;
    const std::string text = "{\"x\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
    const json action = json::parse(text);
    const std::string rendered = renderAction(action);
    EXPECT_EQ(rendered, "[\"x\": " + std::string(depth, '[') + std::string(depth, ']') + "]");
}

} // namespace

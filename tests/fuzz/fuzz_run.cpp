// The action list of run. The first byte picks whether a target pid guards the run and
// how long the target stays in front; the rest is the list.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::uint8_t mode = data[0];
    nlohmann::json desktop = {{"pointer", {10.5, -3}}};
    std::vector<std::string> arguments{"marnith-input", "run", argument(data + 1, size - 1)};
    if (mode & 1) {
        // In front for (mode >> 1) % 8 queries, then another application.
        nlohmann::json front = nlohmann::json::array();
        for (int i = 0; i < (mode >> 1) % 8; ++i)
            front.push_back(42);
        front.push_back(7);
        desktop["frontmost"] = front;
        arguments.push_back("42");
    }
    if (mode & 0x80)
        desktop["refuse"] = {"keyboard", "mouse", "scroll"};
    runTool(desktop, arguments);
    return 0;
}

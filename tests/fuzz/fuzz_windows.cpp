// The window list as the platform could hand it over: any JSON value.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    nlohmann::json windows = nlohmann::json::parse(data, data + size, nullptr, false);
    if (windows.is_discarded())
        return 0;
    nlohmann::json desktop = {{"apps",
                               {{{"pid", 1}, {"bundleId", "com.roblox.RobloxStudio"}},
                                {{"pid", 2}, {"bundleId", "com.apple.Safari"}},
                                {{"pid", 3}, {"bundleId", nullptr}},
                                {{"pid", 0}, {"bundleId", "ROBLOXSTUDIO"}},
                                {{"pid", -1}, {"bundleId", "x.robloxstudio.y"}}}}};
    // Moved, not copied: copying a deeply nested value recurses once per level.
    desktop["windows"] = std::move(windows);
    runTool(std::move(desktop), {"marnith-input", "windows"});
    return 0;
}

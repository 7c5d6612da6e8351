// The process-id argument of activate.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const nlohmann::json desktop = {
        {"apps", {{{"pid", 0}}, {{"pid", 123}}, {{"pid", 2147483647}}, {{"pid", -2147483648}}}}};
    runTool(desktop, {"marnith-input", "activate", argument(data, size)});
    return 0;
}

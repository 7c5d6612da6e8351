// The tool's key names by key code, aliases left out; apart from probe.mm: AppKit defines Point.
#include "events/keys.h"

#include <set>

std::map<int, std::string> keyNames() {
    const std::set<std::string> aliases = {"Shift", "Control", "Alt", "Meta", "Enter"};
    std::map<int, std::string> out;
    for (const auto& [name, code] : makeKeyCodes())
        if (!aliases.count(name))
            out[code] = name;
    return out;
}

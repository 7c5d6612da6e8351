// The tool's key names by key code; apart from probe.mm: AppKit defines Point.
#include "events/keys.h"

std::map<int, std::string> keyNames() {
    std::map<int, std::string> out;
    for (const auto& [name, code] : makeKeyCodes())
        if (name.size() > out[code].size()) // an alias is the shorter name: Shift, Enter
            out[code] = name;
    return out;
}

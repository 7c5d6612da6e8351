// Prints what the system believes is held down right now, as one JSON line: the
// modifier flags, the key codes down and the mouse buttons down.
#include <ApplicationServices/ApplicationServices.h>

#include <cstdio>

int main() {
    const CGEventSourceStateID state = kCGEventSourceStateHIDSystemState;
    std::printf("{\"flags\":%llu,\"keys\":[",
                static_cast<unsigned long long>(CGEventSourceFlagsState(state)));
    const char* separator = "";
    for (CGKeyCode key = 0; key < 128; ++key) {
        if (CGEventSourceKeyState(state, key)) {
            std::printf("%s%u", separator, key);
            separator = ",";
        }
    }
    std::printf("],\"buttons\":[");
    separator = "";
    for (int button = 0; button < 3; ++button) {
        if (CGEventSourceButtonState(state, static_cast<CGMouseButton>(button))) {
            std::printf("%s%d", separator, button);
            separator = ",";
        }
    }
    std::printf("]}\n");
    return 0;
}

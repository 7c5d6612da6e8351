// The Windows backend's input: every event goes in through SendInput.
//
// Keys are physical keys: each macOS key code maps to the set-1 scan code of the same
// position and its virtual key, sent together with KEYEVENTF_SCANCODE, so applications
// that read scan codes see the key and the rest see the virtual key. Text goes as
// KEYEVENTF_UNICODE, which no keyboard layout or held modifier changes.
//
// Input the system refuses is never dropped silently: when SendInput inserts fewer
// events than it was given (another desktop has the input: a locked workstation, a UAC
// prompt), or the window in front runs at a higher integrity level (Windows would drop
// the events without a word), the post reports it, and the tool fails as it does without
// the permission on macOS. A refused release is not reported: the tool is letting go
// anyway, and a stop or result must not be lost to it.
#include "platform/input-common.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/win32/win32.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>
// clang-format off
#include <windows.h>
// clang-format on

namespace {

struct Key {
    std::uint16_t mac;
    WORD vk;
    WORD scan;
    bool extended;
};

// Every key the key table can produce: its virtual key and set-1 scan code. Command is
// the Windows key, the same physical key. Right Shift is not an extended key.
constexpr Key keys[] = {
    {0, 'A', 0x1E, false},
    {1, 'S', 0x1F, false},
    {2, 'D', 0x20, false},
    {3, 'F', 0x21, false},
    {4, 'H', 0x23, false},
    {5, 'G', 0x22, false},
    {6, 'Z', 0x2C, false},
    {7, 'X', 0x2D, false},
    {8, 'C', 0x2E, false},
    {9, 'V', 0x2F, false},
    {11, 'B', 0x30, false},
    {12, 'Q', 0x10, false},
    {13, 'W', 0x11, false},
    {14, 'E', 0x12, false},
    {15, 'R', 0x13, false},
    {16, 'Y', 0x15, false},
    {17, 'T', 0x14, false},
    {18, '1', 0x02, false},
    {19, '2', 0x03, false},
    {20, '3', 0x04, false},
    {21, '4', 0x05, false},
    {22, '6', 0x07, false},
    {23, '5', 0x06, false},
    {24, VK_OEM_PLUS, 0x0D, false},
    {25, '9', 0x0A, false},
    {26, '7', 0x08, false},
    {27, VK_OEM_MINUS, 0x0C, false},
    {28, '8', 0x09, false},
    {29, '0', 0x0B, false},
    {30, VK_OEM_6, 0x1B, false},
    {31, 'O', 0x18, false},
    {32, 'U', 0x16, false},
    {33, VK_OEM_4, 0x1A, false},
    {34, 'I', 0x17, false},
    {35, 'P', 0x19, false},
    {36, VK_RETURN, 0x1C, false},
    {37, 'L', 0x26, false},
    {38, 'J', 0x24, false},
    {39, VK_OEM_7, 0x28, false},
    {40, 'K', 0x25, false},
    {41, VK_OEM_1, 0x27, false},
    {42, VK_OEM_5, 0x2B, false},
    {43, VK_OEM_COMMA, 0x33, false},
    {44, VK_OEM_2, 0x35, false},
    {45, 'N', 0x31, false},
    {46, 'M', 0x32, false},
    {47, VK_OEM_PERIOD, 0x34, false},
    {48, VK_TAB, 0x0F, false},
    {49, VK_SPACE, 0x39, false},
    {50, VK_OEM_3, 0x29, false},
    {51, VK_BACK, 0x0E, false},
    {53, VK_ESCAPE, 0x01, false},
    {55, VK_LWIN, 0x5B, true},
    {56, VK_LSHIFT, 0x2A, false},
    {57, VK_CAPITAL, 0x3A, false},
    {58, VK_LMENU, 0x38, false},
    {59, VK_LCONTROL, 0x1D, false},
    {60, VK_RSHIFT, 0x36, false},
    {61, VK_RMENU, 0x38, true},
    {62, VK_RCONTROL, 0x1D, true},
    {96, VK_F5, 0x3F, false},
    {97, VK_F6, 0x40, false},
    {98, VK_F7, 0x41, false},
    {99, VK_F3, 0x3D, false},
    {100, VK_F8, 0x42, false},
    {101, VK_F9, 0x43, false},
    {103, VK_F11, 0x57, false},
    {109, VK_F10, 0x44, false},
    {111, VK_F12, 0x58, false},
    {115, VK_HOME, 0x47, true},
    {116, VK_PRIOR, 0x49, true},
    {117, VK_DELETE, 0x53, true},
    {118, VK_F4, 0x3E, false},
    {119, VK_END, 0x4F, true},
    {120, VK_F2, 0x3C, false},
    {121, VK_NEXT, 0x51, true},
    {122, VK_F1, 0x3B, false},
    {123, VK_LEFT, 0x4B, true},
    {124, VK_RIGHT, 0x4D, true},
    {125, VK_DOWN, 0x50, true},
    {126, VK_UP, 0x48, true},
};

const Key* keyOf(std::uint16_t mac) {
    for (const Key& k : keys) {
        if (k.mac == mac)
            return &k;
    }
    return nullptr;
}

// The key that types a one-unit text, when it is a control character.
const Key* controlKey(const std::u16string& units) {
    const auto code = units.size() == 1 ? platform::controlCharacterKey(units[0]) : std::nullopt;
    return code ? keyOf(*code) : nullptr;
}

// Events are the shared event record as it is, turned into INPUT records when posted.
using platform::EventRecord;
using platform::record;

INPUT keyInput(const Key& k, bool down) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = k.vk;
    in.ki.wScan = k.scan;
    in.ki.dwFlags = KEYEVENTF_SCANCODE | (k.extended ? KEYEVENTF_EXTENDEDKEY : 0u) |
                    (down ? 0u : KEYEVENTF_KEYUP);
    return in;
}

INPUT unitInput(char16_t unit, bool down) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wScan = unit;
    in.ki.dwFlags = KEYEVENTF_UNICODE | (down ? 0u : KEYEVENTF_KEYUP);
    return in;
}

// A character's key-downs wait here for its key-ups, so each character goes in one
// SendInput call: nothing can come between the two halves of a surrogate pair, and a
// process that ends between the two has pressed nothing.
std::vector<INPUT> waitingKeyDowns;

// Whether the record only lets go of something.
bool releases(const INPUT& in) {
    return in.type == INPUT_KEYBOARD
               ? (in.ki.dwFlags & KEYEVENTF_KEYUP) != 0
               : (in.mi.dwFlags & (MOUSEEVENTF_LEFTUP | MOUSEEVENTF_RIGHTUP)) != 0;
}

// Whether the window in front drops this process's input unseen. Asked again only when
// another window comes to the front.
bool frontDropsInput() {
    static HWND checked = nullptr;
    static bool drops = false;
    const HWND front = GetForegroundWindow();
    if (front != checked) {
        checked = front;
        drops = front && platform::win32::morePrivileged(front);
    }
    return drops;
}

// Sends the records, after the key-downs waiting for them, in one call. False when the
// system refused them.
bool send(std::vector<INPUT> inputs) {
    if (!waitingKeyDowns.empty()) {
        inputs.insert(inputs.begin(), waitingKeyDowns.begin(), waitingKeyDowns.end());
        waitingKeyDowns.clear();
    }
    if (inputs.empty())
        return true;
    const bool onlyReleases = std::all_of(inputs.begin(), inputs.end(), releases);
    if (!onlyReleases && frontDropsInput())
        return false;
    const UINT inserted = SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    if (inserted == inputs.size() || onlyReleases)
        return true;
    // Part of a character went in: nothing of it may stay pressed.
    std::vector<INPUT> ups;
    for (UINT i = 0; i < inserted; ++i) {
        INPUT up = inputs[i];
        up.ki.dwFlags |= KEYEVENTF_KEYUP;
        const auto same = [&](const INPUT& in) {
            return in.type == INPUT_KEYBOARD && in.ki.wVk == up.ki.wVk &&
                   in.ki.wScan == up.ki.wScan && in.ki.dwFlags == up.ki.dwFlags;
        };
        if (up.type == INPUT_KEYBOARD && !releases(inputs[i]) &&
            std::none_of(inputs.begin() + i + 1, inputs.begin() + inserted, same))
            ups.push_back(up);
    }
    if (!ups.empty())
        SendInput(static_cast<UINT>(ups.size()), ups.data(), sizeof(INPUT));
    return false;
}

// Windows swaps the buttons of a left-handed user's mouse after the fact: the flags name
// physical buttons, so for them the primary (left) button is the physical right one.
// Read once, so a press and its release always name the same button.
DWORD buttonFlag(std::uint32_t type) {
    static const bool swapped = GetSystemMetrics(SM_SWAPBUTTON) != 0;
    switch (type) {
    case platform::leftMouseDown: return swapped ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN;
    case platform::leftMouseUp: return swapped ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP;
    case platform::rightMouseDown: return swapped ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_RIGHTDOWN;
    case platform::rightMouseUp: return swapped ? MOUSEEVENTF_LEFTUP : MOUSEEVENTF_RIGHTUP;
    default: return 0;
    }
}

// Absolute coordinates over the virtual desktop (0..65535): the centre of the pixel,
// which lands on it whether Windows rounds down or to nearest.
LONG normalised(double position, int origin, int size) {
    const double pixel = std::clamp(std::round(position) - origin, 0.0, double(size - 1));
    return static_cast<LONG>((static_cast<long long>(pixel) * 65536 + 32768) / size);
}

} // namespace

namespace platform {

EventSource createEventSource() {
    // Nothing to create: events are INPUT records. Any non-null handle will do.
    static int source;
    return &source;
}

Event createKeyboardEvent(EventSource, std::uint16_t keyCode, bool down) {
    return new EventRecord(EventRecord::keyboard(keyCode, down));
}

Event createMouseEvent(EventSource, std::uint32_t type, std::pair<double, double> position,
                       std::uint32_t button) {
    return new EventRecord(EventRecord::pointer(type, position, button));
}

Event createScrollWheelEvent(EventSource, std::int32_t lines) {
    return new EventRecord(EventRecord::wheel(lines));
}

// Every character can be typed: KEYEVENTF_UNICODE carries any code unit.
bool setUnicodeString(Event event, const std::u16string& units) {
    record(event)->text = units;
    return true;
}

std::optional<char32_t> prepareText(const std::u16string&) {
    return std::nullopt;
}

// Each character goes out as soon as the guard allows it.
bool characterSkipped() {
    return false;
}

// The system counts clicks from their timing and distance.
void setClickState(Event, std::int64_t) {}

// Windows events carry no modifier flags: the keys really held (pressed with keyDown)
// apply to what follows, as on a real keyboard.
std::uint64_t getFlags(Event event) {
    return record(event)->flags;
}
void setFlags(Event event, std::uint64_t flags) {
    record(event)->flags = flags;
}

bool postEvent(Event event) {
    const EventRecord& e = *record(event);
    switch (e.kind) {
    case EventRecord::key: {
        if (!e.text) {
            const Key* k = keyOf(e.code);
            return !k || send({keyInput(*k, e.down)});
        }
        if (const Key* k = controlKey(*e.text))
            return send({keyInput(*k, e.down)});
        std::vector<INPUT> inputs;
        for (const char16_t unit : *e.text)
            inputs.push_back(unitInput(unit, e.down));
        if (!e.down)
            return send(inputs);
        waitingKeyDowns.insert(waitingKeyDowns.end(), inputs.begin(), inputs.end());
        return true;
    }
    case EventRecord::mouse: {
        // A press or release happens at its position: one record moves and presses.
        const int left = GetSystemMetrics(SM_XVIRTUALSCREEN),
                  top = GetSystemMetrics(SM_YVIRTUALSCREEN);
        const int width = std::max(1, GetSystemMetrics(SM_CXVIRTUALSCREEN));
        const int height = std::max(1, GetSystemMetrics(SM_CYVIRTUALSCREEN));
        INPUT in{};
        in.type = INPUT_MOUSE;
        in.mi.dx = normalised(e.x, left, width);
        in.mi.dy = normalised(e.y, top, height);
        in.mi.dwFlags =
            MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK | buttonFlag(e.type);
        return send({in});
    }
    case EventRecord::scroll: {
        const auto lines = static_cast<std::int32_t>(
            std::clamp<std::int64_t>(e.lines, -maxScrollSteps, maxScrollSteps));
        INPUT in{};
        in.type = INPUT_MOUSE;
        in.mi.dwFlags = MOUSEEVENTF_WHEEL;
        in.mi.mouseData = static_cast<DWORD>(lines * WHEEL_DELTA);
        return send({in});
    }
    }
    return true;
}

void releaseEvent(Event event) {
    delete record(event);
}

std::optional<std::pair<double, double>> pointerLocation() {
    POINT p;
    if (!GetCursorPos(&p))
        return std::nullopt;
    return std::pair<double, double>{p.x, p.y};
}

void exitProcess(int status) {
    waitingKeyDowns.clear(); // a character whose key-up never came was never pressed
    std::fflush(stdout);
    std::fflush(stderr);
    std::exit(status);
}

} // namespace platform

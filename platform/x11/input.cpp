// X11 input: the tool's keyboard, pointer and wheel events played through XTest, and the
// keys pressed around each character of a text so it comes out exactly.
#include "platform/input-common.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/utf16.h"
#include "platform/x11/x11.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

using namespace x11;
using platform::EventRecord;

namespace {

std::vector<char32_t> characters(const std::u16string& units) {
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < units.size(); i += platform::characterLength(units, i))
        out.push_back(platform::codePoint(units, i));
    return out;
}

// The keys pressed around one character, undone after it.
struct Around {
    int pressedShift = 0; // Shift, for a character on a key's second level
    int capsLock = 0;     // Caps Lock tapped off before a cased character, on again after
};

// Every key and button this process has pressed, kept after its release: a release may
// wait in the server behind a window manager's grab. At the end, whatever of them the
// server still reports down is let go of.
platform::Pressed<int> pressedKeys;
platform::Pressed<unsigned> pressedButtons;

void fakeKey(int code, bool down) {
    if (down)
        pressedKeys.press(code);
    XTestFakeKeyEvent(display, static_cast<unsigned>(code), down, CurrentTime);
}

void fakeButton(unsigned button, bool down) {
    if (down)
        pressedButtons.press(button);
    XTestFakeButtonEvent(display, button, down, CurrentTime);
}

// Shift keys the run holds that text let go of, for a character on a key's first level.
// They are pressed again only when something else needs them (a character on a second
// level, or any other event): pressing them again after every character could send a
// Shift press to a window that has just come forward.
std::vector<int> shiftsLetGo;

void pressShiftsAgain() {
    for (const int k : shiftsLetGo)
        fakeKey(k, True);
    shiftsLetGo.clear();
}

Around around;

void tap(int code) {
    fakeKey(code, True);
    fakeKey(code, False);
}

// Presses or releases one character. The text comes out exactly, whatever Shift the
// run holds and whatever the Caps Lock state.
void typeUnit(const Typing& t, bool down) {
    typed(t, down);
    if (down) {
        XkbStateRec state{};
        XkbGetState(display, XkbUseCoreKbd, &state);
        KeySym lower = 0, upper = 0;
        XConvertCase(t.sym, &lower, &upper);
        around = {};
        if ((state.locked_mods & LockMask) && lower != upper)
            around.capsLock = XKeysymToKeycode(display, XK_Caps_Lock);
        if (t.ownKey && !t.control) {
            const bool shiftDown = state.base_mods & ShiftMask;
            if (t.shift && !shiftsLetGo.empty())
                pressShiftsAgain();
            else if (t.shift && !shiftDown)
                around.pressedShift = XKeysymToKeycode(display, XK_Shift_L);
            else if (!t.shift && shiftDown) {
                for (const KeySym s : {XK_Shift_L, XK_Shift_R}) {
                    const int k = XKeysymToKeycode(display, s);
                    if (k && keyIsDown(k)) {
                        fakeKey(k, False);
                        shiftsLetGo.push_back(k);
                    }
                }
            }
        }
        if (around.capsLock)
            tap(around.capsLock);
        if (around.pressedShift)
            fakeKey(around.pressedShift, True);
        fakeKey(t.code, True);
        return;
    }
    fakeKey(t.code, False);
    if (around.pressedShift)
        fakeKey(around.pressedShift, False);
    if (around.capsLock)
        tap(around.capsLock);
    around = {};
}

// An event, played through XTest when posted: the shared record, and for a character the
// key that types it, found when its string is set.
struct XEventRecord : platform::EventRecord {
    std::optional<Typing> typing;
};

} // namespace

std::optional<std::int32_t> x11::approvedFront;

namespace {
// Whether holdServer's grab is on.
bool grabbed = false;
// The current character's key-down was not posted because another window came forward;
// its key-up is not posted either.
bool skippingCharacter = false;
// Whether the last character was skipped, for the caller to hear of after its key-up.
bool lastCharacterSkipped = false;
} // namespace

void x11::holdServer() {
    if (!grabbed)
        XGrabServer(display);
    grabbed = true;
}

void x11::letGoOfServer() {
    if (grabbed) {
        XUngrabServer(display);
        XFlush(display);
    }
    grabbed = false;
}

bool x11::serverHeld() {
    return grabbed;
}

void x11::releaseStillDown() {
    if (pressedKeys.empty() && pressedButtons.empty())
        return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (bool first = true;; first = false) {
        XSync(display, False);
        std::vector<int> keys;
        for (const int k : pressedKeys.inOrder()) {
            if (keyIsDown(k))
                keys.push_back(k);
        }
        std::vector<unsigned> buttons;
        const unsigned mask = buttonsDown();
        for (const unsigned b : pressedButtons.inOrder()) {
            if (mask & (Button1Mask << (b - 1)))
                buttons.push_back(b);
        }
        if ((keys.empty() && buttons.empty()) || std::chrono::steady_clock::now() >= deadline)
            return;
        if (first) {
            // A release the server has not processed yet (a window manager holds the
            // pointer behind a click it intercepted) is harmless to repeat: the server
            // drops a release of what is not down.
            for (const int k : keys)
                XTestFakeKeyEvent(display, static_cast<unsigned>(k), False, CurrentTime);
            for (const unsigned b : buttons)
                XTestFakeButtonEvent(display, b, False, CurrentTime);
            XSync(display, False);
            askWindowManager();
            awaitWindowManager(deadline);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

namespace platform {

Event createKeyboardEvent(EventSource, std::uint16_t keyCode, bool down) {
    if (!display || !xtest)
        return nullptr;
    return new XEventRecord{EventRecord::keyboard(keyCode, down), std::nullopt};
}

Event createMouseEvent(EventSource, std::uint32_t type, std::pair<double, double> position,
                       std::uint32_t button) {
    if (!display || !xtest)
        return nullptr;
    return new XEventRecord{EventRecord::pointer(type, position, button), std::nullopt};
}

Event createScrollWheelEvent(EventSource, std::int32_t lines) {
    if (!display || !xtest)
        return nullptr;
    return new XEventRecord{EventRecord::wheel(lines), std::nullopt};
}

bool setUnicodeString(Event event, const std::u16string& units) {
    return (record<XEventRecord>(event)->typing = resolve(platform::codePoint(units))).has_value();
}

bool characterSkipped() {
    return lastCharacterSkipped;
}

std::optional<char32_t> prepareText(const std::u16string& text) {
    if (!display || !xtest)
        return std::nullopt;
    return beginText(characters(text));
}

// The receiving toolkit counts clicks from their timing and distance.
void setClickState(Event, std::int64_t) {}

// X events carry the state of the keys really held, so the stamped flags have nothing
// to add: a modifier pressed with keyDown is down on the server.
std::uint64_t getFlags(Event event) {
    return record<XEventRecord>(event)->flags;
}
void setFlags(Event event, std::uint64_t flags) {
    record<XEventRecord>(event)->flags = flags;
}

// XTest takes every event of a display that has the extension.
bool postEvent(Event event) {
    const XEventRecord& e = *record<XEventRecord>(event);
    switch (e.kind) {
    case EventRecord::key:
        if (!e.typing && !e.down)
            std::erase(shiftsLetGo, xKeycode(e.code)); // a key-up for a Shift key let go of
        if (!e.typing)
            pressShiftsAgain();
        if (e.typing && e.down)
            lastCharacterSkipped = false;
        if (e.typing && e.down && approvedFront && !serverHeld()) {
            // The guard's grab was let go of since its check (a spare was bound): check
            // again, under a grab of its own, that the same application is in front.
            holdServer();
            skippingCharacter = lastCharacterSkipped = frontPid() != approvedFront;
        }
        if (e.typing && skippingCharacter) {
            skippingCharacter = e.down;
            break;
        }
        if (e.typing)
            typeUnit(*e.typing, e.down);
        else if (const int code = xKeycode(e.code))
            fakeKey(code, e.down);
        break;
    case EventRecord::mouse: {
        pressShiftsAgain();
        // A press or release happens where the pointer is: put it at the event's
        // position first, as the event itself would on macOS.
        const int x = static_cast<int>(std::lround(std::clamp(e.x, -32768.0, 32767.0)));
        const int y = static_cast<int>(std::lround(std::clamp(e.y, -32768.0, 32767.0)));
        XTestFakeMotionEvent(display, -1, x, y, CurrentTime);
        if (e.type != platform::mouseMoved) {
            const bool right =
                e.type == platform::rightMouseDown || e.type == platform::rightMouseUp;
            const bool down =
                e.type == platform::leftMouseDown || e.type == platform::rightMouseDown;
            fakeButton(right ? 3 : 1, down);
        }
        break;
    }
    case EventRecord::scroll: {
        pressShiftsAgain();
        const unsigned button = e.lines > 0 ? 4 : 5;
        const auto notches = static_cast<std::int32_t>(
            std::min<std::int64_t>(std::llabs(std::int64_t{e.lines}), maxScrollSteps));
        for (std::int32_t i = 0; i < notches; ++i) {
            XTestFakeButtonEvent(display, button, True, CurrentTime);
            XTestFakeButtonEvent(display, button, False, CurrentTime);
        }
        break;
    }
    }
    letGoOfServer();
    XSync(display, False);
    if (e.kind == EventRecord::key && e.typing && !e.down)
        bindAhead(); // the next character's spare, so its check and post need nothing else
    return true;
}

void releaseEvent(Event event) {
    delete record<XEventRecord>(event);
}

} // namespace platform

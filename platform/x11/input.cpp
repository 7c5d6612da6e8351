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
#include <set>
#include <thread>

using namespace x11;
using platform::EventRecord;
using platform::record;

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
    int lockedGroup = -1; // the user's layout, locked again after a character of another
};

// Every key and button this process has ever pressed, released or not: at the end the
// server's own state is read back for each, since a release posted may still wait behind
// a click the window manager holds, and whatever is still down then is let go of.
std::set<int> everPressedKeys;
std::set<unsigned> everPressedButtons;

void fakeKey(int code, bool down) {
    if (down)
        everPressedKeys.insert(code);
    XTestFakeKeyEvent(display, static_cast<unsigned>(code), down, CurrentTime);
}

void fakeButton(unsigned button, bool down) {
    if (down)
        everPressedButtons.insert(button);
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

// The character whose key is down, and the keys pressed around it.
Typing pressed;

// Presses one character's key, typed as the keyboard state reads now. The text comes out
// exactly, whatever Shift the run holds and whatever the Caps Lock state.
void pressCharacter(const Typing& t, const XkbStateRec& state) {
    typed(t, true);
    pressed = t;
    KeySym lower = 0, upper = 0;
    XConvertCase(t.sym, &lower, &upper);
    around = {};
    if ((state.locked_mods & LockMask) && lower != upper)
        around.capsLock = XKeysymToKeycode(display, XK_Caps_Lock);
    // A spare's levels are chosen by Shift as an own key's are.
    if (!t.control) {
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
    // A character of another layout than the one in effect: that layout is locked for its
    // press and release, and the user's after. Wine reads the character of a key only
    // after its release, in the group the last key event carried, so a group latched
    // for the press alone would type what the key types in the user's layout.
    if (t.group >= 0 && t.group != state.group) {
        around.lockedGroup = state.locked_group;
        XkbLockGroup(display, XkbUseCoreKbd, static_cast<unsigned>(t.group));
    }
    fakeKey(t.code, True);
}

// The keyboard group the last character's key events carried, or -1 before the first (or
// once Wine has read them).
int lastGroup = -1;

void releaseCharacter() {
    typed(pressed, false);
    fakeKey(pressed.code, False);
    if (around.pressedShift)
        fakeKey(around.pressedShift, False);
    if (around.capsLock)
        tap(around.capsLock);
    if (around.lockedGroup >= 0) {
        // Wine reads the key's character when the program takes the key's message from its
        // queue, in the group of the last key event it has read by then: the next key, in
        // the user's group, waits until Wine has read this one's release.
        if (const Window wine = wineWindowInFront()) {
            ungrabServer();
            awaitWindow(wine);
            lastGroup = -1; // the next key need not wait again
        }
        XkbLockGroup(display, XkbUseCoreKbd, static_cast<unsigned>(around.lockedGroup));
    }
    around = {};
}

} // namespace

std::optional<std::int32_t> x11::approvedFront;

namespace {
// Whether this connection has the server grabbed.
bool serverGrabbed = false;
// The last character's key-down was not posted, so its key-up is not posted either.
bool downNotPosted = false;
// It was not posted because another application came forward: the caller hears of it
// after the key-up.
bool frontChanged = false;
// It was not posted because there was no way to type it (the layout was switched to one
// that lacks it, and no spare could be had): its key-up fails.
bool noWayToType = false;
} // namespace

void x11::grabServer() {
    if (!serverGrabbed)
        XGrabServer(display);
    serverGrabbed = true;
}

void x11::ungrabServer() {
    if (serverGrabbed) {
        XUngrabServer(display);
        XFlush(display);
    }
    serverGrabbed = false;
}

bool x11::serverIsGrabbed() {
    return serverGrabbed;
}

void x11::releaseStillDown() {
    if (everPressedKeys.empty() && everPressedButtons.empty())
        return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (bool first = true;; first = false) {
        XSync(display, False);
        std::vector<int> keys;
        for (const int k : everPressedKeys) {
            if (keyIsDown(k))
                keys.push_back(k);
        }
        std::vector<unsigned> buttons;
        const unsigned mask = buttonsDown();
        for (const unsigned b : everPressedButtons) {
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

namespace {

// A character's key-down. Which key types it depends on the layout in effect when the key
// goes down, and the user may switch layouts while a text is typed: the keyboard state is
// read under the same server grab as the key is pressed in, so no switch comes between.
void pressText(char32_t c) {
    frontChanged = downNotPosted = false;
    for (;;) {
        const bool checked = serverIsGrabbed(); // the guard's grab, held since its check
        grabServer();
        if (approvedFront && !checked) {
            // The grab was let go of since the guard's check (a spare was bound): check
            // again that the same application is in front.
            frontChanged = downNotPosted = frontPid() != approvedFront;
            if (frontChanged)
                return;
        }
        XkbStateRec state{};
        XkbGetState(display, XkbUseCoreKbd, &state);
        if (const auto t = resolve(c, state.group, false)) {
            // Wine reads a key's character when the program takes the key's message, in the
            // group of the last key event it has read by then: a key in another group than
            // the last (a layout switched, or a character of another layout) waits until Wine
            // has read the keys before it.
            const int group = t->ownKey && t->group >= 0 ? t->group : state.group;
            const bool groupChanged = lastGroup >= 0 && group != lastGroup;
            lastGroup = group;
            if (groupChanged) {
                if (const Window wine = wineWindowInFront()) {
                    ungrabServer();
                    awaitWindow(wine);
                    continue; // grabbed and checked again
                }
            }
            pressCharacter(*t, state);
            return;
        }
        // Switched to a layout that lacks the character since its key was found: it needs
        // a spare after all.
        ungrabServer();
        if (!resolve(c, state.group, true)) {
            noWayToType = downNotPosted = true;
            return;
        }
    }
}

} // namespace

namespace platform {

Event createKeyboardEvent(EventSource, std::uint16_t keyCode, bool down) {
    if (!display || !xtest)
        return nullptr;
    return new EventRecord(EventRecord::keyboard(keyCode, down));
}

Event createMouseEvent(EventSource, std::uint32_t type, std::pair<double, double> position,
                       std::uint32_t button) {
    if (!display || !xtest)
        return nullptr;
    return new EventRecord(EventRecord::pointer(type, position, button));
}

Event createScrollWheelEvent(EventSource, std::int32_t lines) {
    if (!display || !xtest)
        return nullptr;
    return new EventRecord(EventRecord::wheel(lines));
}

bool setUnicodeString(Event event, const std::u16string& units) {
    EventRecord& e = *record(event);
    e.text = units;
    if (!e.down)
        return !noWayToType; // it lets go of whatever its key-down pressed
    noWayToType = false;
    // The spare it needs in the layout in effect now is bound here, so that the guard's
    // check and the key after it need nothing in between.
    return resolve(platform::codePoint(units), effectiveGroup(), true).has_value();
}

bool characterSkipped() {
    return frontChanged;
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
    return record(event)->flags;
}
void setFlags(Event event, std::uint64_t flags) {
    record(event)->flags = flags;
}

bool postEvent(Event event) {
    const EventRecord& e = *record(event);
    switch (e.kind) {
    case EventRecord::key:
        if (!e.text && !e.down)
            std::erase(shiftsLetGo, xKeycode(e.code)); // a key-up for a Shift key let go of
        if (!e.text)
            pressShiftsAgain();
        if (e.text && e.down)
            pressText(platform::codePoint(*e.text));
        else if (e.text && !downNotPosted)
            releaseCharacter();
        else if (e.text)
            downNotPosted = false;
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
    ungrabServer();
    XSync(display, False);
    if (e.kind == EventRecord::key && e.text && !e.down)
        bindAhead(); // the next character's spare, so its check and post need nothing else
    return true;     // XTest takes every event of a display that has the extension
}

void releaseEvent(Event event) {
    delete record(event);
}

} // namespace platform

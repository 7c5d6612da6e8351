// What the pieces of the X11 backend share: the display connection and property
// readers (display.cpp), the keymap (keymap.cpp) and its spare keycodes (spares.cpp),
// and the window list, the front window and activation (desktop.cpp). input.cpp plays
// events through XTest.
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace x11 {

// The connection, opened by platform::createEventSource; null when DISPLAY could not be
// opened.
extern Display* display;
// Whether the server has the XTEST extension.
extern bool xtest;
// How many requests the server has refused so far (windows may vanish between two
// requests; their errors are counted, not fatal).
extern unsigned long errors;

Atom atom(const char* name);
Window root();
// A property as a list of 32-bit items (XIDs, atoms, cardinals); empty when missing.
std::vector<unsigned long> longs(Window w, Atom property, Atom type);
// An 8-bit property as bytes; nothing when missing.
std::optional<std::string> text(Window w, Atom property, Atom type);
// Whether the server reports the key down.
bool keyIsDown(int code);
// The server's button state (Button1Mask and up).
unsigned buttonsDown();
// Whether a window manager is running: the check window on the root names itself (the
// root property is left behind when the manager exits).
bool liveWindowManager();
// The pid of the client that owns the window: _NET_WM_PID, else the X-Resource
// extension's answer.
std::optional<std::int32_t> windowPid(Window w);
// The window's parent, or None when it is gone (or is the root).
Window parentOf(Window w);
// Sends a client message about a window, with up to five 32-bit items: to the window manager
// through the root window, or, with toClient, to the client that owns the window.
void sendMessage(Window about, Atom type, std::initializer_list<long> data, bool toClient = false);
// A window of this connection, never mapped, created on first use: it marks what the
// process owns and receives the window manager's answers.
Window ownWindow();

// A window manager handles its events in order, and every keymap change costs it work
// (re-grabbing its key bindings). One that falls behind holds back the pointer while a
// click it intercepts waits to be replayed, so a release the tool posts stays queued.
// askWindowManager sends a question the manager answers after all it had queued (an
// estimate of a window frame); awaitWindowManager waits, at most until the deadline,
// for the last answer. Both do nothing without a manager that takes such questions.
void askWindowManager();
void awaitWindowManager(std::chrono::steady_clock::time_point deadline);
// Whether the last answer asked for has come (or none was asked for); does not wait.
bool windowManagerCaughtUp();

// The pid of the application in front (where key events go), or nothing.
std::optional<std::int32_t> frontPid();
// The window in front when it belongs to a Windows program under Wine, which names its
// windows' class after the program's executable; None otherwise.
Window wineWindowInFront();
// Waits (at most 2 s) until a client's window has read every event sent to it so far: it is
// sent the window manager's _NET_WM_PING question, which a client answers as it reads it,
// after those events. Does nothing for a window that does not take the question.
void awaitWindow(Window w);
// The guard's last answer: the pid it found in front, or nothing.
extern std::optional<std::int32_t> approvedFront;
// The guard's check and the event posted after it are one step: the check grabs the
// server, and the grab is let go of once the event is posted, or before anything else
// that may take time or need other clients (a sleep, a keymap change, the end).
void grabServer();
void ungrabServer();
bool serverIsGrabbed();

// The X keycode of the same physical key as a macOS virtual key code; 0 for none.
int xKeycode(std::uint16_t mac);

// How one character is typed: on its own key, on a key that types a control character, or
// on a level of a spare keycode bound to it.
struct Typing {
    int code = 0;
    bool shift = false; // on the key's second level: typed with Shift
    bool ownKey = false;
    KeySym sym = NoSymbol;
    bool control = false;
    int group = -1; // the keyboard group it is typed in, for a key of its own
};
// Before a text: remembers its characters, so the spares are bound for what comes next.
// The first character that cannot be typed at all, or nothing.
std::optional<char32_t> beginText(const std::vector<char32_t>& characters);
// The keyboard group in effect (the layout a key pressed now types in).
int effectiveGroup();
// The key for a character when the group is in effect: its own key there, a key that types
// a control character, or a spare bound to it. With bind, a spare is bound when none is
// (which lets go of the server); nothing when none could be had in time. Without, nothing
// when no spare is bound yet.
std::optional<Typing> resolve(char32_t c, int group, bool bind);
// Marks a character's key going down or up now: its spare is not rebound until the keys typed
// with it are old enough to have been read.
void typed(const Typing& t, bool down);
// After a character: binds a spare for the next one when it needs one.
void bindAhead();
// Gives back every spare this process bound, once its keys are old enough.
void restoreKeymap();
// Before the process ends: reads back the server's keys and buttons and lets go of each
// one this process pressed that is still down, waiting a while for the server to report
// them up.
void releaseStillDown();

} // namespace x11

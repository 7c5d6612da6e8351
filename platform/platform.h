// The thin layer over the desktop services. Everything above platform/ reaches the
// window system only through these functions. Each backend implements them in its own
// folder (macos/, x11/, win32/, and the simulated desktop in sim/), with the process
// services of its system (process-posix.cpp or process-win32.cpp); each executable is
// built with one backend.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform {

// Opaque handles owned by the backend. Null means "the platform gave nothing".
using EventSource = void*;
using Event = void*;

// Mouse event types and buttons, in the platform's numbering.
constexpr std::uint32_t leftMouseDown = 1;
constexpr std::uint32_t leftMouseUp = 2;
constexpr std::uint32_t rightMouseDown = 3;
constexpr std::uint32_t rightMouseUp = 4;
constexpr std::uint32_t mouseMoved = 5;
constexpr std::uint32_t leftButton = 0;
constexpr std::uint32_t rightButton = 1;

// Prepares this process before anything else runs: its standard streams (on Windows:
// plain \n line ends) and its termination signals (on Windows also the stop line on
// standard input). Returns the command-line arguments, program path first, in UTF-8.
std::vector<std::string> prepareProcess(int argc, char** argv);

// The event source for the HID system state. May be null; events are still
// created with it.
EventSource createEventSource();

// Event creation. Each returns null when the platform refuses to create the event.
Event createKeyboardEvent(EventSource source, std::uint16_t keyCode, bool down);
Event createMouseEvent(EventSource source, std::uint32_t type, std::pair<double, double> position,
                       std::uint32_t button);
// One wheel, counted in lines.
Event createScrollWheelEvent(EventSource source, std::int32_t lines);

// Sets the Unicode string a keyboard event carries (UTF-16 code units, one character).
// False when the desktop has no way to type that character.
bool setUnicodeString(Event event, const std::u16string& units);
// Before a text is typed, character by character: the backend may get keys ready for
// what comes. The first character it cannot type at all, or nothing.
std::optional<char32_t> prepareText(const std::u16string& text);
// Whether the last character was skipped: its key-down, and its key-up with it, were not
// posted because another application came to the front between the guard's check and the
// key. Only a backend that lets go of the check to get a key ready (X11, binding a spare
// keycode) can skip one.
bool characterSkipped();
// Sets the click-state field of a mouse event.
void setClickState(Event event, std::int64_t clicks);
// The event's flags in the platform's layout. Setting them, a backend may bring bits of
// its own into step with the modifier flags given (on macOS the left and right device
// flags of the modifier keys).
std::uint64_t getFlags(Event event);
void setFlags(Event event, std::uint64_t flags);
// Delivers the event as if from the hardware. False when the system refused it (on
// Windows: another desktop has the input, or the window in front would drop it unseen),
// so that the caller does not go on as if it had been delivered. A release is never
// reported refused: letting go goes on whatever the system takes.
bool postEvent(Event event);
void releaseEvent(Event event);

// The current pointer position, or nothing when the platform gives no event for it.
std::optional<std::pair<double, double>> pointerLocation();

// Whether this process may post input: on macOS it holds the Accessibility permission
// and the grant to post events.
bool isTrusted();
// The same, asked the way that can prompt: with prompt, the system also asks the user for
// what is missing.
bool isTrustedPrompting(bool prompt);

// The frontmost application's process id, or nothing when there is none.
std::optional<std::int32_t> frontmostPid();
// Looks up the running application with this process id. False when there is none;
// otherwise bundleId receives its bundle identifier, or nothing when it has none.
bool runningApplication(std::int32_t pid, std::optional<std::string>& bundleId);
// Asks the running application with this process id to come to the front, with an
// empty option set. Its answer is not reported.
void activateApplication(std::int32_t pid);

// The on-screen window list, front to back, desktop elements left out, as a JSON
// value mirroring the platform's array of dictionaries (integers stay integers,
// floats stay floats). Null when the platform returns nothing. The value stays valid
// until the next call.
const nlohmann::json& windowList();

// Sleeps the calling thread for a whole number of microseconds. The sleep is cut
// short once a caught termination signal is pending.
void sleepMicroseconds(std::uint64_t microseconds);

// Ends the process with the exit status.
[[noreturn]] void exitProcess(int status);

// Termination signals (SIGTERM, SIGINT, SIGHUP). While they are caught, one of them
// does not end the process: it is remembered, cuts the current sleep short, and the
// caller ends the process at its next safe point.
void catchTerminationSignals();
// The caught signal's number, or 0 when none has arrived.
int caughtSignal();
// Restores the default action of the signal and ends the process by it.
[[noreturn]] void endBySignal(int signal);

} // namespace platform

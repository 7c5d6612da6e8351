// The macOS backend: Quartz Event Services, Quartz Window Services, Accessibility and
// AppKit. Objective-C++ (with ARC) only because AppKit needs it; everything Core
// Foundation is released by hand.
#include "platform/input-common.h"
#include "platform/platform.h"
#include "platform/process.h"

#import <AppKit/AppKit.h>
#include <ApplicationServices/ApplicationServices.h>
#include <IOKit/hidsystem/IOLLEvent.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <thread>
#include <vector>

using nlohmann::json;

namespace {

CGEventRef cg(platform::Event event) {
    return static_cast<CGEventRef>(event);
}

// The application found by the last lookup, kept so that activation acts on the very
// object that was found.
NSRunningApplication* lastApplication = nil;

// Events posted right before the process exits can be dropped by the system: the exit
// waits until this long after the last one. The Mac CI job measures what is enough.
constexpr auto exitSettle = std::chrono::milliseconds(50);
std::chrono::steady_clock::time_point lastPost;
// How long activation requests get to land before the tool raises the application itself.
constexpr auto activationGrace = std::chrono::milliseconds(150);
bool posted = false;

// The buttons this process holds down, and where its last pointer event went: while a
// button is held, a move must be that button's drag, or applications see no drag at all.
platform::Pressed<CGMouseButton> buttonsDown;
std::optional<CGPoint> lastPointer;

// A modifier key, the flag it shares with its twin, and its device-dependent flag, which
// tells the left key from the right one.
struct ModifierKey {
    CGKeyCode code;
    CGEventFlags flag;
    CGEventFlags device;
};
constexpr ModifierKey modifierKeys[] = {
    {56, kCGEventFlagMaskShift, NX_DEVICELSHIFTKEYMASK},   // Shift
    {60, kCGEventFlagMaskShift, NX_DEVICERSHIFTKEYMASK},   // RightShift
    {59, kCGEventFlagMaskControl, NX_DEVICELCTLKEYMASK},   // Control
    {62, kCGEventFlagMaskControl, NX_DEVICERCTLKEYMASK},   // RightControl
    {58, kCGEventFlagMaskAlternate, NX_DEVICELALTKEYMASK}, // Option
    {61, kCGEventFlagMaskAlternate, NX_DEVICERALTKEYMASK}, // RightOption
    {55, kCGEventFlagMaskCommand, NX_DEVICELCMDKEYMASK},   // Command
    {54, kCGEventFlagMaskCommand, NX_DEVICERCMDKEYMASK}};  // RightCommand

// The device flags of the modifier keys this process holds down; of those, the ones its
// events did not show when it pressed the key (nothing else held it); and those it
// pressed on its own and has since let go of.
CGEventFlags heldDevice = 0;
CGEventFlags ownDevice = 0;
CGEventFlags releasedDevice = 0;

// Takes a modifier key's press or release into the device sets and gives its event the
// key's own device flag, set on a press and clear on a release. Events are created from
// the HID system state, which lags behind the events just posted: a key-up of Shift can
// come with Shift's device flag still set, and applications read the key's flag as
// whether it went down or up.
void modifierDevice(CGEventRef event, CGKeyCode code, bool down) {
    for (const ModifierKey& key : modifierKeys) {
        if (key.code != code)
            continue;
        CGEventFlags flags = CGEventGetFlags(event);
        if (down) {
            if (!(heldDevice & key.device)) {
                if (flags & ~releasedDevice & key.device)
                    ownDevice &= ~key.device;
                else
                    ownDevice |= key.device;
            }
            heldDevice |= key.device;
            releasedDevice &= ~key.device;
            flags |= key.device;
        } else {
            if (ownDevice & key.device)
                releasedDevice |= key.device;
            heldDevice &= ~key.device;
            ownDevice &= ~key.device;
            flags &= ~key.device;
        }
        CGEventSetFlags(event, flags);
        return;
    }
}

void settle() {
    if (!posted)
        return;
    const auto left = lastPost + exitSettle - std::chrono::steady_clock::now();
    if (left.count() > 0)
        std::this_thread::sleep_for(left);
}

bool isFrontmost(pid_t pid) {
    NSRunningApplication* front = NSWorkspace.sharedWorkspace.frontmostApplication;
    return front && front.processIdentifier == pid;
}

// AppKit learns of activation changes from workspace notifications delivered on the main
// run loop, which a one-shot tool never runs: let it handle what is pending.
void drainRunLoop() {
    for (int i = 0; i < 64; ++i) {
        if (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true) != kCFRunLoopRunHandledSource)
            break;
    }
}

std::string utf8(CFStringRef string) {
    if (const char* fast = CFStringGetCStringPtr(string, kCFStringEncodingUTF8))
        return fast;
    const CFIndex length = CFStringGetLength(string);
    const CFIndex size = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1;
    std::vector<char> buffer(static_cast<std::size_t>(size));
    if (!CFStringGetCString(string, buffer.data(), size, kCFStringEncodingUTF8))
        return {};
    return buffer.data();
}

// Converts a property-list value from the window server into JSON, keeping integers
// and floats apart. A dictionary with a key that is not a string, and values of types
// the listing never reads (data, dates), become null, which the listing treats as
// unreadable.
json toJson(CFTypeRef value, int depth = 0) {
    if (!value || depth > 16)
        return nullptr;
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFNumberGetTypeID()) {
        const auto number = static_cast<CFNumberRef>(value);
        if (CFNumberIsFloatType(number)) {
            double d = 0;
            CFNumberGetValue(number, kCFNumberDoubleType, &d);
            return d;
        }
        std::int64_t i = 0;
        CFNumberGetValue(number, kCFNumberSInt64Type, &i);
        return i;
    }
    if (type == CFStringGetTypeID())
        return utf8(static_cast<CFStringRef>(value));
    if (type == CFBooleanGetTypeID())
        return CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != 0;
    if (type == CFArrayGetTypeID()) {
        const auto array = static_cast<CFArrayRef>(value);
        json out = json::array();
        for (CFIndex i = 0, n = CFArrayGetCount(array); i < n; ++i)
            out.push_back(toJson(CFArrayGetValueAtIndex(array, i), depth + 1));
        return out;
    }
    if (type == CFDictionaryGetTypeID()) {
        const auto dictionary = static_cast<CFDictionaryRef>(value);
        const CFIndex n = CFDictionaryGetCount(dictionary);
        std::vector<const void*> keys(static_cast<std::size_t>(n)), values(keys.size());
        CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
        json out = json::object();
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (!keys[i] || CFGetTypeID(keys[i]) != CFStringGetTypeID())
                return nullptr;
            out[utf8(static_cast<CFStringRef>(keys[i]))] = toJson(values[i], depth + 1);
        }
        return out;
    }
    return nullptr;
}

} // namespace

namespace platform {

EventSource createEventSource() {
    std::atexit(settle);
    setExitCleanup(settle);
    return CGEventSourceCreate(kCGEventSourceStateHIDSystemState);
}

Event createKeyboardEvent(EventSource source, std::uint16_t keyCode, bool down) {
    CGEventRef event =
        CGEventCreateKeyboardEvent(static_cast<CGEventSourceRef>(source), keyCode, down);
    // Every key event the tool creates is posted: a modifier key's is its press or release.
    if (event)
        modifierDevice(event, keyCode, down);
    return event;
}

Event createMouseEvent(EventSource source, std::uint32_t type, std::pair<double, double> position,
                       std::uint32_t button) {
    auto cgType = static_cast<CGEventType>(type);
    auto cgButton = static_cast<CGMouseButton>(button);
    if (cgType == kCGEventMouseMoved && !buttonsDown.empty()) {
        const bool left = buttonsDown.contains(kCGMouseButtonLeft);
        cgType = left ? kCGEventLeftMouseDragged : kCGEventRightMouseDragged;
        cgButton = left ? kCGMouseButtonLeft : kCGMouseButtonRight;
    }
    const CGPoint to = CGPointMake(position.first, position.second);
    CGEventRef event =
        CGEventCreateMouseEvent(static_cast<CGEventSourceRef>(source), cgType, to, cgButton);
    if (event && (cgType == kCGEventMouseMoved || cgType == kCGEventLeftMouseDragged ||
                  cgType == kCGEventRightMouseDragged)) {
        // The event carries no movement of its own; applications that follow the deltas
        // (drags in canvases, viewports) would see the pointer stand still.
        CGPoint from = to;
        if (lastPointer)
            from = *lastPointer;
        else if (const auto here = pointerLocation())
            from = CGPointMake(here->first, here->second);
        CGEventSetIntegerValueField(event, kCGMouseEventDeltaX, std::llround(to.x - from.x));
        CGEventSetIntegerValueField(event, kCGMouseEventDeltaY, std::llround(to.y - from.y));
    }
    return event;
}

Event createScrollWheelEvent(EventSource source, std::int32_t lines) {
    return CGEventCreateScrollWheelEvent2(static_cast<CGEventSourceRef>(source),
                                          kCGScrollEventUnitLine, 1, lines, 0, 0);
}

bool setUnicodeString(Event event, const std::u16string& units) {
    static_assert(sizeof(UniChar) == sizeof(char16_t));
    CGEventKeyboardSetUnicodeString(cg(event), static_cast<UniCharCount>(units.size()),
                                    reinterpret_cast<const UniChar*>(units.data()));
    // The string alone would not do for applications that read control characters from
    // the key code.
    if (const auto key = units.size() == 1 ? controlCharacterKey(units[0]) : std::nullopt)
        CGEventSetIntegerValueField(cg(event), kCGKeyboardEventKeycode, *key);
    return true;
}

// Every character can be typed as a string.
std::optional<char32_t> prepareText(const std::u16string&) {
    return std::nullopt;
}

// Each character goes out as soon as the guard allows it.
bool characterSkipped() {
    return false;
}

void setClickState(Event event, std::int64_t clicks) {
    CGEventSetIntegerValueField(cg(event), kCGMouseEventClickState, clicks);
}

std::uint64_t getFlags(Event event) {
    // An event from the HID-state source starts with the flags that state reports, and
    // after a synthetic arrow or F-key SecondaryFn and NumericPad stay set there: they
    // would ride on every later key, text and click (Qt reads NumericPad as its keypad
    // modifier). Those two bits come from the key itself, or from the user holding Fn;
    // the modifiers the user really holds ride along as they are.
    const CGEventFlags sticky = kCGEventFlagMaskSecondaryFn | kCGEventFlagMaskNumericPad;
    CGEventFlags flags = CGEventGetFlags(cg(event)) & ~sticky;
    const CGEventType type = CGEventGetType(cg(event));
    if (type == kCGEventKeyDown || type == kCGEventKeyUp)
        flags |= ownKeyFlags(static_cast<std::uint16_t>(
            CGEventGetIntegerValueField(cg(event), kCGKeyboardEventKeycode)));
    if (CGEventSourceKeyState(kCGEventSourceStateHIDSystemState, 63 /* Fn */))
        flags |= kCGEventFlagMaskSecondaryFn;
    return flags;
}

void setFlags(Event event, std::uint64_t flags) {
    // The device flags follow the modifiers the event carries: those of keys this process
    // let go of on its own are taken away, those it holds are added, and a modifier the
    // event does not carry takes both of its keys' flags with it.
    CGEventFlags out = (static_cast<CGEventFlags>(flags) & ~releasedDevice) | heldDevice;
    for (const ModifierKey& key : modifierKeys) {
        if (!(out & key.flag))
            out &= ~key.device;
    }
    CGEventSetFlags(cg(event), out);
}

// The system takes every event posted through the tap; without the permission it drops
// them unseen, which the run's check beforehand is there for.
bool postEvent(Event event) {
    CGEventPost(kCGHIDEventTap, cg(event));
    lastPost = std::chrono::steady_clock::now();
    posted = true;
    switch (CGEventGetType(cg(event))) {
    case kCGEventLeftMouseDown: buttonsDown.press(kCGMouseButtonLeft); break;
    case kCGEventLeftMouseUp: buttonsDown.release(kCGMouseButtonLeft); break;
    case kCGEventRightMouseDown: buttonsDown.press(kCGMouseButtonRight); break;
    case kCGEventRightMouseUp: buttonsDown.release(kCGMouseButtonRight); break;
    case kCGEventMouseMoved:
    case kCGEventLeftMouseDragged:
    case kCGEventRightMouseDragged: break;
    default: return true;
    }
    lastPointer = CGEventGetLocation(cg(event));
    return true;
}

void releaseEvent(Event event) {
    if (event)
        CFRelease(cg(event));
}

std::optional<std::pair<double, double>> pointerLocation() {
    CGEventRef event = CGEventCreate(nullptr);
    if (!event)
        return std::nullopt;
    const CGPoint location = CGEventGetLocation(event);
    CFRelease(event);
    return std::pair<double, double>{location.x, location.y};
}

bool isTrusted() {
    // Accessibility alone does not let a process post: the system can hold the separate
    // PostEvent grant back, and then CGEventPost drops every event without a word.
    const bool accessibility = AXIsProcessTrusted() != 0;
    return accessibility && CGPreflightPostEventAccess();
}

bool isTrustedPrompting(bool prompt) {
    // The prompt entry is always present; without --prompt it carries false.
    const void* keys[] = {kAXTrustedCheckOptionPrompt};
    const void* values[] = {prompt ? kCFBooleanTrue : kCFBooleanFalse};
    CFDictionaryRef options =
        CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks);
    const bool accessibility = AXIsProcessTrustedWithOptions(options) != 0;
    if (options)
        CFRelease(options);
    // Both grants are asked for whatever the first answer, so one prompt run covers both.
    const bool posting = prompt ? CGRequestPostEventAccess() : CGPreflightPostEventAccess();
    return accessibility && posting;
}

std::optional<std::int32_t> frontmostPid() {
    @autoreleasepool {
        drainRunLoop();
        NSRunningApplication* app = NSWorkspace.sharedWorkspace.frontmostApplication;
        if (!app)
            return std::nullopt;
        return static_cast<std::int32_t>(app.processIdentifier);
    }
}

bool runningApplication(std::int32_t pid, std::optional<std::string>& bundleId) {
    @autoreleasepool {
        lastApplication = [NSRunningApplication runningApplicationWithProcessIdentifier:pid];
        if (!lastApplication)
            return false;
        bundleId.reset();
        NSString* identifier = lastApplication.bundleIdentifier;
        if (identifier && identifier.UTF8String)
            bundleId = std::string(identifier.UTF8String);
        return true;
    }
}

void activateApplication(std::int32_t pid) {
    @autoreleasepool {
        NSRunningApplication* app =
            lastApplication && lastApplication.processIdentifier == pid
                ? lastApplication
                : [NSRunningApplication runningApplicationWithProcessIdentifier:pid];
        // The answers are not read: both are requests the system may decline, and from a
        // background process this one activates only when no application is active.
        [app activateWithOptions:0];
        drainRunLoop();
        if (@available(macOS 14.0, *)) {
            // Cooperative activation: the application in front yields to the target.
            NSRunningApplication* front = NSWorkspace.sharedWorkspace.frontmostApplication;
            if (front && front.processIdentifier != pid)
                [app activateFromApplication:front options:0];
        }
        // When the requests have not landed after a short while, the Accessibility
        // permission the tool holds raises it, on every macOS version.
        bool forced = false;
        awaitFront([&] { return isFrontmost(pid); },
                   [&](auto waited) {
                       if (!forced && waited >= activationGrace) {
                           forced = true;
                           AXUIElementRef element = AXUIElementCreateApplication(pid);
                           if (element) {
                               AXUIElementSetAttributeValue(element, kAXFrontmostAttribute,
                                                            kCFBooleanTrue);
                               CFRelease(element);
                           }
                       }
                       CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);
                   },
                   activationGrace + activationTimeout);
    }
}

const json& windowList() {
    static json windows;
    CFArrayRef list = CGWindowListCopyWindowInfo(
        kCGWindowListOptionOnScreenOnly | kCGWindowListExcludeDesktopElements, kCGNullWindowID);
    windows = nullptr;
    if (!list)
        return windows;
    windows = toJson(list);
    CFRelease(list);
    return windows;
}

void sleepMicroseconds(std::uint64_t microseconds) {
    interruptibleSleep(microseconds);
}

void exitProcess(int status) {
    std::exit(status);
}

} // namespace platform

// The real-desktop suite's probe on macOS; the bundle it runs from decides the application.
// Its arguments, modes and lines are in ../README.md; the frame in global top-left coordinates.
#import <AppKit/AppKit.h>
#include <Carbon/Carbon.h>
#include <IOKit/hidsystem/IOLLEvent.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>

@interface ProbeView : NSView
@end

namespace {

// The keys the suite names, by the system's key codes (others are not logged); a modifier
// with the device bit its side sets in the flags while it is down.
struct Key {
    const char* name;
    NSEventModifierFlags side = 0;
};
const std::map<unsigned short, Key> keys = {
    // clang-format off
    {kVK_ANSI_A, {"A"}}, {kVK_ANSI_D, {"D"}}, {kVK_ANSI_Q, {"Q"}}, {kVK_ANSI_W, {"W"}},
    {kVK_F10, {"F10"}}, {kVK_Return, {"Return"}}, {kVK_Tab, {"Tab"}}, {kVK_LeftArrow, {"Left"}},
    {kVK_UpArrow, {"Up"}}, {kVK_Shift, {"LeftShift", NX_DEVICELSHIFTKEYMASK}},
    {kVK_RightShift, {"RightShift", NX_DEVICERSHIFTKEYMASK}},
    {kVK_Control, {"LeftControl", NX_DEVICELCTLKEYMASK}},
    {kVK_RightControl, {"RightControl", NX_DEVICERCTLKEYMASK}},
    {kVK_Option, {"LeftAlt", NX_DEVICELALTKEYMASK}}};
// clang-format on
const NSEventModifierFlags commandFlags =
    NSEventModifierFlagControl | NSEventModifierFlagOption | NSEventModifierFlagCommand;

const struct Modifier {
    NSEventModifierFlags flag;
    unsigned short left, right;
    const char* name;
} classes[] = {{NSEventModifierFlagShift, kVK_Shift, kVK_RightShift, " +shift"},
               {NSEventModifierFlagControl, kVK_Control, kVK_RightControl, " +control"},
               {NSEventModifierFlagOption, kVK_Option, kVK_RightOption, " +alt"},
               {NSEventModifierFlagCommand, kVK_Command, kVK_RightCommand, " +meta"}};

// A key event, with the held modifiers but the class of its own key. Text the tool types
// comes on key 0 (the A key) with its own string: only its characters are logged.
void logKey(NSEvent* event, const char* what) {
    const bool typed = event.keyCode == 0 && !(event.modifierFlags & commandFlags) &&
                       ![event.characters.lowercaseString isEqual:@"a"];
    const auto key = keys.find(event.keyCode);
    if (event.isARepeat || typed || key == keys.end())
        return;
    std::string line = std::string("key ") + what + " " + key->second.name;
    for (const Modifier& c : classes)
        if ((event.modifierFlags & c.flag) && event.keyCode != c.left && event.keyCode != c.right)
            line += c.name;
    std::puts(line.c_str());
}

void button(NSEvent* e, const char* what) {
    std::printf("button %s %s %ld\n", what, e.buttonNumber ? "right" : "left", e.clickCount);
}

// The window, kept for good; the tool counts from the main screen's top, AppKit from its bottom.
void showWindow(char** argv) {
    const CGFloat screen = NSScreen.screens.firstObject.frame.size.height;
    const double w = std::stod(argv[4]), h = std::stod(argv[5]);
    const NSRect frame = NSMakeRect(std::stod(argv[2]), screen - std::stod(argv[3]) - h, w, h);
    static NSWindow* const window = [[NSWindow alloc] initWithContentRect:frame
                                                                styleMask:NSWindowStyleMaskTitled
                                                                  backing:NSBackingStoreBuffered
                                                                    defer:NO];
    window.title = @(argv[1]);
    [window setFrame:frame display:YES];
    window.contentView = [[ProbeView alloc] initWithFrame:NSZeroRect];
    [window makeKeyAndOrderFront:nil];
    [window makeFirstResponder:window.contentView];
    [NSApp activateIgnoringOtherApps:YES];
    // The first row wholly inside the view: AppKit leaves a rectangle's top edge out.
    const NSRect f = window.frame, content = [window contentRectForFrameRect:f];
    std::printf("ready %ld %d %.0f %.0f %.0f %.0f %.0f %.0f\n", window.windowNumber,
                NSProcessInfo.processInfo.processIdentifier, f.origin.x, screen - NSMaxY(f),
                f.size.width, f.size.height, content.origin.x, screen - NSMaxY(content) + 1);
}

} // namespace

@implementation ProbeView
- (BOOL)acceptsFirstResponder {
    return YES;
}
- (BOOL)acceptsFirstMouse:(NSEvent*)event {
    return YES;
}
- (void)keyDown:(NSEvent*)event {
    logKey(event, "down");
    // Characters, unless a command modifier is held or any is a control or function key.
    NSString* s = event.characters;
    bool printable = s.length > 0 && !event.isARepeat && !(event.modifierFlags & commandFlags);
    for (NSUInteger i = 0; i < s.length; ++i) {
        const unichar u = [s characterAtIndex:i];
        printable &= u >= 0x20 && u != 0x7F && (u < 0xF700 || u > 0xF8FF);
    }
    if (printable)
        std::printf("char %s\n", s.UTF8String);
}
- (void)keyUp:(NSEvent*)event {
    logKey(event, "up");
}
- (void)flagsChanged:(NSEvent*)event {
    // Down while its own side's device bit is set (its class's flag stays while its twin is
    // held); else up, even when another application saw the press.
    const auto key = keys.find(event.keyCode);
    logKey(event, key != keys.end() && (event.modifierFlags & key->second.side) ? "down" : "up");
}
- (void)mouseDown:(NSEvent*)event {
    button(event, "down");
}
- (void)mouseUp:(NSEvent*)event {
    button(event, "up");
}
- (void)rightMouseDown:(NSEvent*)event {
    button(event, "down");
}
- (void)rightMouseUp:(NSEvent*)event {
    button(event, "up");
}
- (void)mouseDragged:(NSEvent*)event {
    std::puts("drag left");
}
- (void)rightMouseDragged:(NSEvent*)event {
    std::puts("drag right");
}
- (void)scrollWheel:(NSEvent*)event {
    // Logged the way the wheel turned (+ away from the user), natural scrolling undone.
    const bool inverted = event.isDirectionInvertedFromDevice;
    if (const long lines = std::lround(event.deltaY) * (inverted ? -1 : 1))
        std::printf("wheel %+ld\n", lines);
}
@end

int main(int argc, char** argv) {
    @autoreleasepool {
        std::setvbuf(stdout, nullptr, _IOLBF, 0); // the driver reads the log as it grows
        const std::string mode = argc == 2 ? argv[1] : "";
        if (mode == "--held") {
            std::string held;
            for (const auto& [code, key] : keys)
                if (CGEventSourceKeyState(kCGEventSourceStateHIDSystemState, code))
                    held += std::string(" ") + key.name;
            for (const CGMouseButton b : {kCGMouseButtonLeft, kCGMouseButtonRight})
                if (CGEventSourceButtonState(kCGEventSourceStateHIDSystemState, b))
                    held += b == kCGMouseButtonLeft ? " left" : " right";
            std::printf("held%s\n", held.empty() ? " none" : held.c_str());
            return 0;
        }
        if (mode == "--permissions") {
            const bool post = CGPreflightPostEventAccess(), trusted = AXIsProcessTrusted();
            std::printf("posting events (PostEvent): %s; Accessibility: %s\n",
                        post ? "allowed" : "denied", trusted ? "trusted" : "not trusted");
            return post && trusted ? 0 : 1;
        }
        if (argc < 6)
            return 2;
        NSApplication.sharedApplication.activationPolicy = NSApplicationActivationPolicyRegular;
        [NSNotificationCenter.defaultCenter
            addObserverForName:NSApplicationDidFinishLaunchingNotification
                        object:nil
                         queue:nil
                    usingBlock:^(NSNotification*) {
                      showWindow(argv);
                    }];
        [NSApp run];
    }
}

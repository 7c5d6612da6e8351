// The real-desktop suite's probe on macOS; the bundle it runs from decides the application.
// Its arguments, modes and lines are in ../README.md; the frame in global top-left coordinates.
#import <AppKit/AppKit.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <string>

std::map<int, std::string> keyNames(); // names.cpp

@interface ProbeView : NSView
@end

namespace {

bool figures = false;
std::set<unsigned short> modifiersDown;
const std::map<int, std::string> names = keyNames();
const NSEventModifierFlags commandFlags =
    NSEventModifierFlagControl | NSEventModifierFlagOption | NSEventModifierFlagCommand;

const struct Modifier {
    NSEventModifierFlags flag;
    unsigned short left, right;
    const char* name;
} classes[] = {{NSEventModifierFlagShift, 56, 60, " +shift"},
               {NSEventModifierFlagControl, 59, 62, " +control"},
               {NSEventModifierFlagOption, 58, 61, " +alt"},
               {NSEventModifierFlagCommand, 55, 54, " +meta"}};

// A key event, with the held modifiers but the class of its own key. Text the tool types
// comes on key 0 (the A key) with its own string: only its characters are logged.
void logKey(NSEvent* event, const char* what) {
    const bool typed = event.keyCode == 0 && !(event.modifierFlags & commandFlags) &&
                       ![event.characters.lowercaseString isEqual:@"a"];
    const auto name = names.find(event.keyCode);
    if (event.isARepeat || typed || name == names.end())
        return;
    std::string line = std::string("key ") + what + " " + name->second;
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
    // Down if its class's flag is set and it was not down already (the class's other key may
    // be held); else up, even when another application saw the press.
    bool set = false;
    for (const Modifier& c : classes)
        set |=
            (event.keyCode == c.left || event.keyCode == c.right) && (event.modifierFlags & c.flag);
    const bool down = set && modifiersDown.insert(event.keyCode).second;
    if (!down)
        modifiersDown.erase(event.keyCode);
    logKey(event, down ? "down" : "up");
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
        std::printf("wheel %+ld%s\n", lines, figures && inverted ? " inverted" : "");
}
@end

int main(int argc, char** argv) {
    @autoreleasepool {
        std::setvbuf(stdout, nullptr, _IOLBF, 0); // the driver reads the log as it grows
        const std::string mode = argc == 2 ? argv[1] : "";
        if (mode == "--held") {
            std::string held;
            for (const auto& [code, name] : names)
                if (CGEventSourceKeyState(kCGEventSourceStateHIDSystemState, CGKeyCode(code)))
                    held += " " + name;
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
        figures = argc > 6 && std::string(argv[6]) == "--figures";
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

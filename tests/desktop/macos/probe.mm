// A probe window for the real-desktop suite on macOS, logging what it receives in the suite's
// format; the bundle it runs from decides the application.
//   probe TITLE X Y W H [--figures]   a window, frame in global top-left coordinates;
//                                     --figures marks the wheel lines the system inverted
//   probe --held          the keys and buttons the system reports down
//   probe --permissions   whether a process started as this one may post events; exits 1 if not
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

void say(const std::string& line) {
    std::puts(line.c_str());
}

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
    say(line);
}

// Characters, unless a command modifier is held or any is a control or function key.
void logChars(NSEvent* event) {
    NSString* s = event.characters;
    bool printable = s.length > 0 && !event.isARepeat && !(event.modifierFlags & commandFlags);
    for (NSUInteger i = 0; i < s.length; ++i) {
        const unichar u = [s characterAtIndex:i];
        printable &= u >= 0x20 && u != 0x7F && (u < 0xF700 || u > 0xF8FF);
    }
    if (printable)
        say(std::string("char ") + s.UTF8String);
}

int reportHeld() {
    std::string out;
    for (const auto& [code, name] : names)
        if (CGEventSourceKeyState(kCGEventSourceStateHIDSystemState, CGKeyCode(code)))
            out += " " + name;
    for (const CGMouseButton button : {kCGMouseButtonLeft, kCGMouseButtonRight})
        if (CGEventSourceButtonState(kCGEventSourceStateHIDSystemState, button))
            out += button == kCGMouseButtonLeft ? " left" : " right";
    say("held" + (out.empty() ? std::string(" none") : out));
    return 0;
}

int reportPermissions() {
    const bool post = CGPreflightPostEventAccess(), trusted = AXIsProcessTrusted();
    say(std::string("posting events (PostEvent): ") + (post ? "allowed" : "denied") +
        "; Accessibility: " + (trusted ? "trusted" : "not trusted"));
    return post && trusted ? 0 : 1;
}

void button(NSEvent* event, const char* what) {
    say(std::string("button ") + what + (event.buttonNumber ? " right " : " left ") +
        std::to_string(event.clickCount));
}

// The window (kept for good) once the application has launched; frame as given, in the tool's
// coordinates (from the top of the main screen, where AppKit counts from its bottom).
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
    std::printf("ready %ld %d %.0f %.0f %.0f %.0f %.0f %.0f\n", long(window.windowNumber),
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
    logChars(event);
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
    say("drag left");
}
- (void)rightMouseDragged:(NSEvent*)event {
    say("drag right");
}
- (void)scrollWheel:(NSEvent*)event {
    // Logged the way the wheel turned (+ away from the user), natural scrolling undone.
    const bool inverted = event.isDirectionInvertedFromDevice;
    const long lines = std::lround(event.deltaY) * (inverted ? -1 : 1);
    if (lines != 0)
        say((lines > 0 ? "wheel +" : "wheel ") + std::to_string(lines) +
            (figures && inverted ? " inverted" : ""));
}
@end

int main(int argc, char** argv) {
    @autoreleasepool {
        std::setvbuf(stdout, nullptr, _IOLBF, 0); // the driver reads the log as it grows
        if (argc == 2 && std::string(argv[1]) == "--held")
            return reportHeld();
        if (argc == 2 && std::string(argv[1]) == "--permissions")
            return reportPermissions();
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
    return 0;
}

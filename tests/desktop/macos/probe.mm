// A probe window for the real-desktop suite on macOS: one window of an application (the
// bundle it runs from decides which) that logs what it receives, one line per event, in the
// suite's format.
//   probe TITLE X Y W H [--figures]   a window, frame in global top-left coordinates;
//                                     --figures marks wheel lines the system inverted
//   probe --held                      the keys and buttons the system reports down
//   probe --permissions               whether a process started from the same place (the
//                                     same responsible process) may post events and holds
//                                     Accessibility; exits 1 naming what is missing
#import <AppKit/AppKit.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

std::map<int, std::string> keyNames(); // names.cpp

namespace {

bool figures = false;
std::set<unsigned short> modifiersDown;
const std::map<int, std::string> names = keyNames();
const NSEventModifierFlags commandFlags =
    NSEventModifierFlagControl | NSEventModifierFlagOption | NSEventModifierFlagCommand;

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

struct Modifier {
    NSEventModifierFlags flag;
    unsigned short left, right;
    const char* name;
};
const Modifier classes[] = {{NSEventModifierFlagShift, 56, 60, " +shift"},
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
    for (const auto& [button, name] :
         {std::pair{kCGMouseButtonLeft, " left"}, std::pair{kCGMouseButtonRight, " right"}})
        if (CGEventSourceButtonState(kCGEventSourceStateHIDSystemState, button))
            out += name;
    say("held" + (out.empty() ? std::string(" none") : out));
    return 0;
}

int reportPermissions() {
    const bool post = CGPreflightPostEventAccess(), trusted = AXIsProcessTrusted();
    say(std::string("posting events (PostEvent): ") + (post ? "allowed" : "denied") +
        "; Accessibility: " + (trusted ? "trusted" : "not trusted"));
    if (!post || !trusted)
        std::fprintf(stderr, "events from this process would be dropped: %s missing\n",
                     post      ? "Accessibility"
                     : trusted ? "PostEvent"
                               : "PostEvent and Accessibility");
    return post && trusted ? 0 : 1;
}

void button(NSEvent* event, const char* what) {
    say(std::string("button ") + what + (event.buttonNumber ? " right " : " left ") +
        std::to_string(event.clickCount));
}

} // namespace

@interface ProbeView : NSView
@end

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
    // Which way a modifier went: with its class's flag clear it was released; with the
    // flag set it went down, unless it was down already (the other key of the class is
    // held). A release whose press another application saw reads as a release.
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
    const long lines = std::lround(inverted ? -event.deltaY : event.deltaY);
    if (lines != 0)
        say((lines > 0 ? "wheel +" : "wheel ") + std::to_string(lines) +
            (figures && inverted ? " inverted" : ""));
}
@end

namespace {

NSWindow* window;

// The window, once the application has launched; frame in the tool's coordinates (from the
// top of the main screen, where AppKit counts from its bottom).
void showWindow(NSString* title, NSRect frame) {
    const CGFloat screen = NSScreen.screens.firstObject.frame.size.height;
    frame.origin.y = screen - frame.origin.y - frame.size.height;
    window = [[NSWindow alloc] initWithContentRect:frame
                                         styleMask:NSWindowStyleMaskTitled
                                           backing:NSBackingStoreBuffered
                                             defer:NO];
    window.title = title;
    [window setFrame:frame display:YES];
    window.contentView = [[ProbeView alloc] initWithFrame:NSZeroRect];
    [window makeKeyAndOrderFront:nil];
    [window makeFirstResponder:window.contentView];
    [NSApp activateIgnoringOtherApps:YES];
    // The first row wholly inside the view: AppKit leaves a rectangle's top edge out.
    const NSRect f = window.frame, content = [window contentRectForFrameRect:f];
    std::printf("ready %ld %d %.0f %.0f %.0f %.0f %.0f %.0f\n", long(window.windowNumber),
                NSProcessInfo.processInfo.processIdentifier, f.origin.x,
                screen - f.origin.y - f.size.height, f.size.width, f.size.height, content.origin.x,
                screen - content.origin.y - content.size.height + 1);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    @autoreleasepool {
        if (argc == 2 && std::string(argv[1]) == "--held")
            return reportHeld();
        if (argc == 2 && std::string(argv[1]) == "--permissions")
            return reportPermissions();
        if (argc < 6)
            return 2;
        figures = argc > 6 && std::string(argv[6]) == "--figures";
        NSString* title = [NSString stringWithUTF8String:argv[1]];
        const NSRect frame = NSMakeRect(std::atof(argv[2]), std::atof(argv[3]), std::atof(argv[4]),
                                        std::atof(argv[5]));
        NSApplication.sharedApplication.activationPolicy = NSApplicationActivationPolicyRegular;
        [NSNotificationCenter.defaultCenter
            addObserverForName:NSApplicationDidFinishLaunchingNotification
                        object:nil
                         queue:nil
                    usingBlock:^(NSNotification*) {
                      showWindow(title, frame);
                    }];
        [NSApp run];
    }
    return 0;
}

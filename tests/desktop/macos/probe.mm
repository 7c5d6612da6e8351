// A probe window for the real-desktop suite on macOS: one window of an application (the
// bundle it runs from decides which) that logs what it receives on stdout, one line per
// event, in the suite's format.
//
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

void say(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
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

// The held modifiers, leaving out the class of the key the event is for.
std::string held(NSEventModifierFlags flags, unsigned short code) {
    std::string out;
    for (const Modifier& c : classes) {
        if ((flags & c.flag) && code != c.left && code != c.right)
            out += c.name;
    }
    return out;
}

const NSEventModifierFlags commandFlags =
    NSEventModifierFlagControl | NSEventModifierFlagOption | NSEventModifierFlagCommand;

// Text the tool types comes on key 0 (the A key) with its own string: only its characters
// are logged, as a real A press would not give them.
bool typedText(NSEvent* event) {
    return event.keyCode == 0 && !(event.modifierFlags & commandFlags) &&
           ![event.characters.lowercaseString isEqual:@"a"];
}

bool printable(NSString* characters) {
    if (characters.length == 0)
        return false;
    for (NSUInteger i = 0; i < characters.length; ++i) {
        const unichar u = [characters characterAtIndex:i];
        if (u < 0x20 || u == 0x7F || (u >= 0xF700 && u <= 0xF8FF)) // controls, function keys
            return false;
    }
    return true;
}

void logKey(NSEvent* event, const char* what) {
    if (event.isARepeat || typedText(event))
        return;
    const auto name = names.find(event.keyCode);
    if (name != names.end())
        say(std::string("key ") + what + " " + name->second +
            held(event.modifierFlags, event.keyCode));
}

int reportHeld() {
    std::string out;
    for (const auto& [code, name] : names) {
        if (CGEventSourceKeyState(kCGEventSourceStateHIDSystemState, static_cast<CGKeyCode>(code)))
            out += " " + name;
    }
    if (CGEventSourceButtonState(kCGEventSourceStateHIDSystemState, kCGMouseButtonLeft))
        out += " left";
    if (CGEventSourceButtonState(kCGEventSourceStateHIDSystemState, kCGMouseButtonRight))
        out += " right";
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
    if (!event.isARepeat && !(event.modifierFlags & commandFlags) && printable(event.characters))
        say(std::string("char ") + event.characters.UTF8String);
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
    const bool down = set && !modifiersDown.count(event.keyCode);
    if (down)
        modifiersDown.insert(event.keyCode);
    else
        modifiersDown.erase(event.keyCode);
    logKey(event, down ? "down" : "up");
}
- (void)button:(NSEvent*)event side:(const char*)side what:(const char*)what {
    say(std::string("button ") + what + " " + side + " " + std::to_string(event.clickCount));
}
- (void)mouseDown:(NSEvent*)event {
    [self button:event side:"left" what:"down"];
}
- (void)mouseUp:(NSEvent*)event {
    [self button:event side:"left" what:"up"];
}
- (void)rightMouseDown:(NSEvent*)event {
    [self button:event side:"right" what:"down"];
}
- (void)rightMouseUp:(NSEvent*)event {
    [self button:event side:"right" what:"up"];
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

@interface ProbeDelegate : NSObject <NSApplicationDelegate>
@property(strong) NSWindow* window;
@property NSRect frame;
@property(copy) NSString* title;
@end

@implementation ProbeDelegate
- (void)applicationDidFinishLaunching:(NSNotification*)notification {
    self.window = [[NSWindow alloc] initWithContentRect:NSMakeRect(0, 0, 100, 100)
                                              styleMask:NSWindowStyleMaskTitled
                                                backing:NSBackingStoreBuffered
                                                  defer:NO];
    self.window.title = self.title;
    // AppKit counts from the bottom of the main screen, the tool from its top.
    const CGFloat screen = NSScreen.screens.firstObject.frame.size.height;
    NSRect frame = self.frame;
    frame.origin.y = screen - frame.origin.y - frame.size.height;
    [self.window setFrame:frame display:YES];
    ProbeView* view = [[ProbeView alloc] initWithFrame:NSZeroRect];
    self.window.contentView = view;
    [self.window makeKeyAndOrderFront:nil];
    [self.window makeFirstResponder:view];
    [NSApp activateIgnoringOtherApps:YES];
    frame = self.window.frame;
    // The first row wholly inside the view: AppKit leaves a rectangle's top edge out.
    const NSRect content = [self.window contentRectForFrameRect:frame];
    char line[160];
    std::snprintf(line, sizeof line, "ready %ld %d %.0f %.0f %.0f %.0f %.0f %.0f",
                  static_cast<long>(self.window.windowNumber),
                  NSProcessInfo.processInfo.processIdentifier, frame.origin.x,
                  screen - frame.origin.y - frame.size.height, frame.size.width, frame.size.height,
                  content.origin.x, screen - content.origin.y - content.size.height + 1);
    say(line);
}
@end

int main(int argc, char** argv) {
    @autoreleasepool {
        if (argc == 2 && std::string(argv[1]) == "--held")
            return reportHeld();
        if (argc == 2 && std::string(argv[1]) == "--permissions")
            return reportPermissions();
        if (argc < 6) {
            std::fprintf(stderr,
                         "usage: probe TITLE X Y W H [--figures] | --held | --permissions\n");
            return 2;
        }
        figures = argc > 6 && std::string(argv[6]) == "--figures";
        NSApplication* app = NSApplication.sharedApplication;
        app.activationPolicy = NSApplicationActivationPolicyRegular;
        ProbeDelegate* delegate = [ProbeDelegate new];
        delegate.title = [NSString stringWithUTF8String:argv[1]];
        delegate.frame = NSMakeRect(std::atof(argv[2]), std::atof(argv[3]), std::atof(argv[4]),
                                    std::atof(argv[5]));
        app.delegate = delegate;
        [app run];
    }
    return 0;
}

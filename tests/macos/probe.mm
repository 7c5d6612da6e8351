// A test application for the macOS end-to-end test: one window that logs, as one JSON
// line each, every key, flags, mouse and wheel event it receives, and when the
// application becomes or stops being active.
//
//   open -n MarnithProbe.app --args LOGFILE
#import <AppKit/AppKit.h>

#include <cstdio>

static std::FILE* logFile = nullptr;

static void emit(NSDictionary* entry) {
    NSData* data = [NSJSONSerialization dataWithJSONObject:entry options:0 error:nil];
    std::fwrite(data.bytes, 1, data.length, logFile);
    std::fputc('\n', logFile);
    std::fflush(logFile);
}

@interface ProbeView : NSView
@end

@implementation ProbeView
- (BOOL)acceptsFirstResponder {
    return YES;
}
- (BOOL)acceptsFirstMouse:(NSEvent*)event {
    return YES;
}
- (void)logKey:(NSEvent*)event kind:(NSString*)kind {
    NSString* characters = event.type == NSEventTypeFlagsChanged ? @"" : event.characters;
    emit(@{
        @"event" : kind,
        @"key" : @(event.keyCode),
        @"chars" : characters ? characters : @"",
        @"flags" : @(event.modifierFlags)
    });
}
- (void)keyDown:(NSEvent*)event {
    [self logKey:event kind:@"keyDown"];
}
- (void)keyUp:(NSEvent*)event {
    [self logKey:event kind:@"keyUp"];
}
- (void)flagsChanged:(NSEvent*)event {
    [self logKey:event kind:@"flagsChanged"];
}
- (void)logMouse:(NSEvent*)event kind:(NSString*)kind {
    const NSPoint p = [NSEvent mouseLocation]; // global, bottom-left origin
    emit(@{
        @"event" : kind,
        @"button" : @(event.buttonNumber),
        @"clicks" : @(event.clickCount),
        @"flags" : @(event.modifierFlags),
        @"x" : @(p.x),
        @"y" : @(p.y)
    });
}
- (void)mouseDown:(NSEvent*)event {
    [self logMouse:event kind:@"mouseDown"];
}
- (void)mouseUp:(NSEvent*)event {
    [self logMouse:event kind:@"mouseUp"];
}
- (void)rightMouseDown:(NSEvent*)event {
    [self logMouse:event kind:@"mouseDown"];
}
- (void)rightMouseUp:(NSEvent*)event {
    [self logMouse:event kind:@"mouseUp"];
}
- (void)scrollWheel:(NSEvent*)event {
    emit(@{
        @"event" : @"scroll",
        @"dy" : @(event.scrollingDeltaY),
        @"lines" : @(event.deltaY),
        @"flags" : @(event.modifierFlags)
    });
}
@end

@interface ProbeDelegate : NSObject <NSApplicationDelegate>
@property(strong) NSWindow* window;
@end

@implementation ProbeDelegate
- (void)applicationDidFinishLaunching:(NSNotification*)notification {
    self.window = [[NSWindow alloc] initWithContentRect:NSMakeRect(200, 200, 480, 320)
                                              styleMask:NSWindowStyleMaskTitled
                                                backing:NSBackingStoreBuffered
                                                  defer:NO];
    self.window.title = @"Marnith probe";
    ProbeView* view = [[ProbeView alloc] initWithFrame:NSMakeRect(0, 0, 480, 320)];
    self.window.contentView = view;
    [self.window makeKeyAndOrderFront:nil];
    [self.window makeFirstResponder:view];
    [NSApp activateIgnoringOtherApps:YES];
    const NSRect frame = self.window.frame;
    emit(@{
        @"event" : @"ready",
        @"pid" : @(NSProcessInfo.processInfo.processIdentifier),
        @"window" : @(self.window.windowNumber),
        @"x" : @(frame.origin.x),
        @"y" : @(frame.origin.y),
        @"w" : @(frame.size.width),
        @"h" : @(frame.size.height),
        @"screen" : @(NSScreen.screens.firstObject.frame.size.height)
    });
}
- (void)applicationDidBecomeActive:(NSNotification*)notification {
    emit(@{@"event" : @"active"});
}
- (void)applicationDidResignActive:(NSNotification*)notification {
    emit(@{@"event" : @"inactive"});
}
@end

int main(int argc, char** argv) {
    @autoreleasepool {
        logFile = argc > 1 ? std::fopen(argv[1], "a") : stdout;
        if (!logFile)
            return 1;
        NSApplication* app = NSApplication.sharedApplication;
        app.activationPolicy = NSApplicationActivationPolicyRegular;
        ProbeDelegate* delegate = [ProbeDelegate new];
        app.delegate = delegate;
        [app run];
    }
    return 0;
}

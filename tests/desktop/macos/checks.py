"""macOS figures for the next change: what the system reports held 0-100 ms after the tool
exits (is its wait at exit long enough?), and whether the probe sees the wheel inverted."""
import time


def figures(desk, check):
    target = desk.target("--figures")
    desk.run("activate", target.pid)
    desk.quiet(target)
    for delay in (0, 20, 50, 100):
        status = desk.run("run", '[{"keyDown":"RightShift"}]', target.pid)
        exited = time.monotonic()
        time.sleep(delay / 1000)
        held = desk.held()
        print(f"macos: {(time.monotonic() - exited) * 1000:.0f} ms after exit (asked {delay}): {held}")
        check(f"macos: exit wait {delay} ms: result", status, (0, '{"ok":true,"done":1}\n', ""))
    target.skip()
    desk.run("run", '[{"scroll":3}]', target.pid)
    desk.quiet(target)
    print("macos: scroll +3 sent, the probe saw", [e for e in target.since() if e.startswith("wheel")])


SECTIONS = [figures]

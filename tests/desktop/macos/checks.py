"""What the case table cannot say on macOS, logged as figures for the next change: what the
system reports held 0-100 ms after the tool exits (is its wait at exit long enough?), and
whether the probe sees the wheel inverted (natural scrolling)."""
import subprocess, time


def run(desk, d):
    target = desk.target(d.TITLE, (100, 100), None, "--figures")
    try:
        desk.run(["activate", str(target.pid)]), d.quiet(target)
        for delay in (0, 20, 50, 100):
            status = desk.run(["run", '[{"keyDown":"RightShift"}]', str(target.pid)])
            exited = time.monotonic()
            time.sleep(delay / 1000)
            held = desk.held()
            print(f"macos: {(time.monotonic() - exited) * 1000:.0f} ms after exit (asked {delay}): {held}")
            d.check(f"macos: exit wait {delay} ms: result", status, (0, '{"ok":true,"done":1}\n', ""))
        natural = subprocess.run(["defaults", "read", "-g", "com.apple.swipescrolldirection"],
                                 capture_output=True, text=True).stdout.strip() or "unset"
        target.skip(), desk.run(["run", '[{"scroll":3}]', str(target.pid)]), d.quiet(target)
        wheel = [e for e in target.since() if e.startswith("wheel")]
        print(f"macos: scroll +3 sent, the probe saw {wheel} (natural scrolling setting: {natural})")
    finally:
        target.close()

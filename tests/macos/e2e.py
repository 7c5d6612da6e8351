#!/usr/bin/env python3
"""The real tool on a real Mac, against our probe application: what it receives, what is
left held down after every way a run can end, and how long activation takes.

Usage: e2e.py TOOL PROBE_APP HELD   (run from a session that holds Accessibility)
"""
import json, os, signal, subprocess, sys, tempfile, time

tool, app, held_helper = sys.argv[1:4]
log = os.path.join(tempfile.mkdtemp(), "probe.jsonl")
failures = []
STOP = "Studio is no longer the front window; stopped."


def check(what, got, want):
    print(("ok   " if got == want else "FAIL ") + what + ("" if got == want else f": {got!r} != {want!r}"))
    if got != want:
        failures.append(what)


def run(*args):
    done = subprocess.run([tool, *args], capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout.strip(), done.stderr.strip()


def events(since):
    with open(log) as f:
        return [json.loads(line) for line in f.readlines()[since:]]


def mark():
    with open(log) as f:
        return len(f.readlines())


def held():
    time.sleep(0.15)
    state = json.loads(subprocess.check_output([held_helper]))
    return {"keys": state["keys"], "buttons": state["buttons"], "mods": state["flags"] & 0x1F0000}


def finder_front():
    subprocess.run(["osascript", "-e", 'tell application "Finder" to activate'], check=True)
    time.sleep(0.5)


open(log, "w").close()
subprocess.run(["open", "-n", app, "--args", log], check=True)
for _ in range(100):
    ready = [e for e in events(0) if e["event"] == "ready"]
    if ready:
        break
    time.sleep(0.1)
probe = ready[0]
pid = str(probe["pid"])

check("trusted", run("trusted")[:2], (0, '{"trusted":true}'))
listed = json.loads(run("windows")[1])
check("windows lists the probe's window", [(w["pid"], w["id"]) for w in listed],
      [(probe["pid"], probe["window"])])

finder_front()
start = time.monotonic()
check("activate", run("activate", pid)[:2], (0, '{"ok":true}'))
print(f"activate from behind Finder returned after {(time.monotonic() - start) * 1000:.0f} ms")
check("frontmost right after activate", run("run", '[{"wait":0}]', pid)[1], '{"ok":true,"done":1}')

# What the probe receives, exactly.
# A point inside the window in global top-left coordinates (AppKit's are bottom-left).
point = [probe["x"] + 100, probe["screen"] - probe["y"] - 100]
m = mark()
actions = [{"click": point}, {"click": point, "count": 2}, {"click": point, "button": "right"},
           {"scroll": 3}, {"scroll": -2}, {"keyDown": "Shift"}, {"key": "A", "hold": 10},
           {"keyUp": "Shift"}, {"key": "Up", "hold": 10},
           {"text": "é😀\n\tz"}, {"keyDown": "Meta"}, {"key": "C", "hold": 10}, {"keyUp": "Meta"}]
check("run", run("run", json.dumps(actions), pid)[:2], (0, f'{{"ok":true,"done":{len(actions)}}}'))
time.sleep(0.3)
got = events(m)
check("click counts", [e["clicks"] for e in got if e["event"] == "mouseDown"], [1, 1, 2, 1])
check("right button", [e["button"] for e in got if e["event"] == "mouseDown"][-1], 1)
check("scroll directions", [e["lines"] > 0 for e in got if e["event"] == "scroll"][:1] +
      [e["lines"] < 0 for e in got if e["event"] == "scroll"][-1:], [True, True])
downs = [e for e in got if e["event"] == "keyDown"]
check("keys and text", [(e["key"], e["chars"]) for e in downs],
      [(0, "A"), (126, "\uf700"), (0, "é"), (0, "😀"), (36, "\n"), (48, "\t"), (0, "z"), (8, "c")])
check("Shift on the shifted key only", [bool(e["flags"] & 0x20000) for e in downs][:3],
      [True, False, False])
check("no Fn or keypad flag after the arrow", [e["flags"] & 0xA00000 for e in downs[2:]],
      [0] * 6)
check("Command on C", bool(downs[-1]["flags"] & 0x100000), True)

# Nothing stays held, however a run ends.
nothing = {"keys": [], "buttons": [], "mods": 0}
endings = {
    "finished with RightShift held": (['[{"keyDown":"RightShift"}]', pid], None),
    "finished with W and a button held": (['[{"keyDown":"W"},{"down":true}]', pid], None),
    "failure part-way": (['[{"keyDown":"Alt"},{"keyDown":"D"},{"key":"Banana"}]', pid], None),
    "SIGTERM": (['[{"keyDown":"Control"},{"down":true},{"wait":5000}]', pid], signal.SIGTERM),
}
for name, (args, sig) in endings.items():
    run("activate", pid)
    if sig:
        job = subprocess.Popen([tool, "run", *args])
        time.sleep(1)
        job.send_signal(sig)
        job.wait()
    else:
        run("run", *args)
    check(f"nothing held after: {name}", held(), nothing)

run("activate", pid)
job = subprocess.Popen([tool, "run", json.dumps([{"keyDown": "Shift"}] + [{"wait": 200}] * 20), pid],
                       stdout=subprocess.PIPE, text=True)
time.sleep(1)
finder_front()
out = json.loads(job.communicate()[0])
check("the guard stops within one action", (out["ok"], out["error"]), (False, STOP))
print(f"guard stopped at action {out['done']}")
check("nothing held after: guard stop", held(), nothing)

# How long the system needs after the last event before the process may exit.
run("activate", pid)
for delay in (0.0, 0.02, 0.05, 0.1):
    subprocess.run([tool, "run", '[{"keyDown":"RightShift"}]', pid])
    time.sleep(delay)
    state = json.loads(subprocess.check_output([held_helper]))
    print(f"{delay * 1000:.0f} ms after exit: held keys {state['keys']}")

subprocess.run(["pkill", "-f", "MarnithProbe"])
print(f"{len(failures)} failed" if failures else "all macOS end-to-end checks passed")
sys.exit(1 if failures else 0)

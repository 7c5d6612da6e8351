#!/usr/bin/env python3
"""Usage: driver.py x11|wine|windows|macos TOOL PROBE [FOLDER (the target's and another's probes)].
Plays cases.txt with the tool against probe windows, then <backend>/checks.py; exits 1 if any failed."""
import json, os, re, runpy, signal, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
TITLE = "Place 1 — Studio ✓ 😀"
QUIET = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
failures = []


def check(what, got, want):
    if got != want:
        failures.append(what)
        print(f"FAIL {what}\n  got:  {got!r}\n  want: {want!r}", flush=True)
    return got == want


def until(ready, seconds, step=0.05):  # True once ready() holds, False when the time is up
    for _ in range(round(seconds / step)):
        if ready():
            return True
        time.sleep(step)
    return bool(ready())


class Probe:
    """A probe window; its first line is "ready <id> <pid> <x> <y> <w> <h> <client x> <client y>"."""

    def __init__(self, argv):
        self.log = tempfile.NamedTemporaryFile(prefix="probe-", suffix=".log", delete=False).name
        self.proc, self.mark = subprocess.Popen(argv, stdout=open(self.log, "wb"), stderr=subprocess.DEVNULL), 0
        until(self.lines, 30)  # a toolkit's first start on a fresh machine can take seconds
        ready = (self.lines() or ["ready"])[0].split()
        if len(ready) < 9:
            sys.exit(f"probe {argv} did not start")
        self.id, self.pid, self.x, self.y, self.w, self.h, self.cx, self.cy = map(int, ready[1:9])

    def lines(self):
        with open(self.log, "rb") as f:
            return f.read().decode("utf-8", "replace").replace("\r", "").split("\n")[:-1]

    def since(self):
        """What was logged since the mark; consecutive drags are one, wheel lines of one sign add up."""
        out = []
        for line in self.lines()[1 + self.mark:]:
            last = out[-1] if out else ""
            if line.startswith("wheel") and last.startswith("wheel") and line[6] == last[6]:
                out[-1] = "wheel %+d" % (int(last[6:]) + int(line[6:]))
            elif not (line.startswith("drag") and line == last):
                out.append(line)
        return out

    def skip(self):
        self.mark = len(self.lines()) - 1

    def wait_for(self, entry, seconds=20):
        return until(lambda: entry in self.since(), seconds, 0.02)

    def close(self):
        self.proc.kill(), self.proc.wait()


def quiet(*probes, still=0.3):  # until the probes have logged nothing new for a while (10 s at most)
    seen, n = [], round(still / 0.05) + 1
    while len(seen) < 200 and (len(seen) < n or seen[-n:].count(seen[-1]) < n):
        seen.append([len(p.lines()) for p in probes])
        time.sleep(0.05)


def xvfb():  # on the first free display of :20 to :39, apart from suites running beside it
    n = next(n for n in range(20, 40) if not os.path.exists(f"/tmp/.X{n}-lock"))
    server = subprocess.Popen(f"Xvfb :{n} -screen 0 1280x1024x24 -nolisten tcp -noreset".split(), **QUIET)
    os.environ["DISPLAY"] = f":{n}"
    until(lambda: os.path.exists(f"/tmp/.X11-unix/X{n}"), 30)
    return server


class Desktop:
    stop_signal, stopped, spawn, wrap = signal.SIGTERM, -signal.SIGTERM, {}, []

    def __init__(self, tool, probe, folder=None):
        self.tool, self.probe, self.folder, self.helpers = self.wrap + [tool], probe, folder, []

    def run(self, args):  # with no input: on Windows a line there stops a run
        done = subprocess.run(self.tool + args, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        return done.returncode, done.stdout.decode(), done.stderr.decode()

    def helper(self, *args):  # a probe's one-shot mode
        return subprocess.run(self.probe_cmd(list(args)), capture_output=True).stdout.decode().strip()

    def held(self):  # what the system reports down
        return self.helper("--held")

    def target(self, title=TITLE, at=(100, 100), app=None, *flags):
        return Probe(self.probe_cmd([title, *map(str, at), "400", "300", *flags], app or self.target_app))

    def other(self):
        return self.target("Other", (600, 150), self.other_app)

    def close(self):
        for h in reversed(self.helpers):
            h.terminate(), h.wait()


class X11(Desktop):
    other_app = "Other"

    def __init__(self, tool, probe):
        super().__init__(tool, probe)
        self.helpers.append(xvfb())
        # A key a killed run left down must not repeat into what the checks read next.
        subprocess.run(["xset", "r", "off"])
        self.wm = subprocess.Popen(["openbox", "--sm-disable"], stderr=subprocess.DEVNULL)
        # Until it has published its desktops.
        until(lambda: subprocess.run(["xdotool", "get_num_desktops"], **QUIET).returncode == 0, 10)
        time.sleep(0.3)  # openbox leaves windows mapped right after it starts unmanaged
        self.helpers.append(self.wm)

    def stop_wm(self):
        self.helpers.remove(self.wm)
        self.wm.terminate(), self.wm.wait()

    def probe_cmd(self, args, app=None):
        return [self.probe] + args

    def target(self, title=TITLE, at=(100, 100), cls="RobloxStudio", *flags):
        return Probe(self.probe_cmd([cls, title, "400x300+%d+%d" % at, *flags]))


class Windows(Desktop):
    stop_signal, stopped = getattr(signal, "CTRL_BREAK_EVENT", 0), 0xC000013A
    spawn = {"creationflags": getattr(subprocess, "CREATE_NEW_PROCESS_GROUP", 0)}
    target_app, other_app = "RobloxStudioBeta-probe.exe", "marnith-desktop-probe.exe"

    def probe_cmd(self, args, app=other_app):
        return self.wrap + [os.path.join(self.folder, app)] + args


class Wine(Windows):
    # Only Ctrl+C from the Unix side reaches the tool; Wine gives 0xC000013A's low byte.
    stop_signal, stopped, spawn, wrap = signal.SIGINT, 0x3A, {}, ["wine"]

    def __init__(self, tool, probe, folder):
        super().__init__(tool, probe, folder)
        os.environ.update(WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8")
        self.helpers.append(xvfb())  # no window manager: Wine places and focuses its windows
        subprocess.run(["wineserver", "-k"], **QUIET)
        if not os.path.exists(os.path.join(os.environ["WINEPREFIX"], "system.reg")):
            subprocess.run(["wineboot", "-i"], **QUIET), subprocess.run(["wineserver", "-w"])
        self.helpers.append(subprocess.Popen(["wineserver", "-f", "-p"]))
        # The first program starts Wine's services, which keep its output open: not a pipe.
        subprocess.run(["wine", "cmd.exe", "/c", "exit"], **QUIET)

    def close(self):
        subprocess.run(["wineserver", "-k"])
        super().close()


class MacOS(Desktop):  # the workflow checks beforehand that events may be posted
    target_app, other_app = "MarnithStudioProbe", "MarnithOtherProbe"

    def probe_cmd(self, args, app=other_app):
        return [os.path.join(self.folder, f"{app}.app", "Contents", "MacOS", app)] + args


def parse(path):
    """The cases of the table: [name, backends, steps [[command, result, event]], log]."""
    cases = []
    for line in open(path, encoding="utf-8"):
        tag, _, rest = line.rstrip("\r\n").partition(" ")
        if tag == ":":
            cases.append([*rest.partition(" | ")[::2], [], []])
        elif tag in ("$", "%"):
            cases[-1][2].append([rest, ("%", "") if tag == "%" else None, None])
        elif tag == "~":
            cases[-1][2][-1][2] = rest.partition(" after ")[::2]
        elif tag in (">", "!", "-"):
            cases[-1][2][-1][1] = (tag, rest)
        elif tag == "=":
            cases[-1][3] += [e.strip() for e in rest.split(";") if e.strip()]
    return cases


def expand(args, target, other):
    """A step's command line: pid, other and pid+1 made pids, run-list points made absolute."""
    command, _, rest = args.partition(" ")
    if command != "run":
        pids = {"pid": target.pid, "other": other.pid, "pid+1": target.pid + 1}
        return [command] + [str(pids.get(w, w)) for w in rest.split()]
    actions, guard = (rest[:-4], [str(target.pid)]) if rest.endswith(" pid") else (rest, [])
    actions = json.loads(actions)
    for a in actions:
        for k in ("click", "move", "down", "up"):
            if isinstance(a.get(k), list):
                a[k] = [a[k][0] + target.cx, a[k][1] + target.cy]
    return ["run", json.dumps(actions, ensure_ascii=False, separators=(",", ":"))] + guard


def play(desk, name, steps, target, other):
    subst = dict(id=target.id, pid=target.pid, title=json.dumps(TITLE, ensure_ascii=False)[1:-1],
                 x=float(target.x), y=float(target.y), w=float(target.w), h=float(target.h))
    for args, (tag, text), event in steps:
        if tag == "%":  # a set-up command; "probe" is the probe's one-shot mode
            subprocess.run([desk.probe if w == "probe" else w for w in args.split()], **QUIET)
            continue
        proc = subprocess.Popen(desk.tool + expand(args, target, other), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, **desk.spawn)
        if event:
            check(f"{name}: the probe logged {event[1]!r}", target.wait_for(event[1]), True)
            time.sleep(0.5)  # into the wait that follows, whatever the machine's load
            if event[0] == "front":
                desk.run(["activate", str(other.pid)])
            else:
                sent = time.monotonic()
                proc.send_signal(desk.stop_signal)
        try:
            out, err = proc.communicate(timeout=60)
        except subprocess.TimeoutExpired:  # a tool that hangs fails the case, and goes
            out, err = proc.kill() or proc.communicate()
        if event and event[0] == "stop":
            check(f"{name}: ended within 0.5 s of the stop", time.monotonic() - sent < 0.5, True)
        text = re.sub(r"\$(\w+)", lambda m: str(subst[m[1]]), text)
        want = {">": (0, text + "\n", ""), "!": (1, "", text + "\n"), "-": (desk.stopped, "", "")}[tag]
        check(f"{name}: {args[:60]}", (proc.returncode, out.decode(), err.decode()), want)


def delivered(entries, held):
    """The log as every backend shows it (X11 delivers no key-up of a key not down, Windows does; Windows
    gives each thread its own modifiers, so none for the other's lines); what stays pressed goes to held."""
    out = []
    for e in entries:
        m = re.match(r"(?:other: )?(key|button) (down|up) (\S+)", e)
        if m and m[2] == "up" and (m[1], m[3]) not in held and m[1] == "key":
            continue
        if m:
            held.add((m[1], m[3])) if m[2] == "down" else held.discard((m[1], m[3]))
        out.append(re.sub(r" \+\w+", "", e) if e.startswith("other: ") else e)
    return out


def main():
    backend, tool, probe, *folder = sys.argv[1:]
    desk = {"x11": X11, "wine": Wine, "windows": Windows, "macos": MacOS}[backend](tool, probe, *folder)
    started = time.monotonic()
    try:
        other, target = desk.other(), desk.target()
        for name, only, steps, log in parse(os.path.join(HERE, "cases.txt")):
            if only and backend not in only.split():
                continue
            # Through the other window: the window manager, slow after keymap changes, has caught up.
            desk.run(["activate", str(other.pid)]), desk.run(["activate", str(target.pid)])
            quiet(target, other)
            target.skip(), other.skip()
            play(desk, name, steps, target, other)
            quiet(target, other)
            held = set()
            got = delivered(target.since() + ["other: " + e for e in other.since()], held)
            if not check(f"{name}: log", got + [desk.held()], log) and backend in ("wine", "windows"):
                print("  front:", desk.helper("--foreground"))  # did an activation not land?
            check(f"{name}: every press released", held, set())
        other.close(), target.close()
        folder = backend if backend in ("x11", "macos") else "windows"
        runpy.run_path(os.path.join(HERE, folder, "checks.py"))["run"](desk, sys.modules[__name__])
    finally:
        desk.close()
    print(f"{backend}: {len(failures)} failed" if failures else f"{backend}: all passed",
          f"in {time.monotonic() - started:.0f} s")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()

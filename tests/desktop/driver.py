#!/usr/bin/env python3
"""Usage: driver.py x11|wine|windows|macos TOOL PROBES (the folder the probes are built in).
Plays cases.txt, then the backend's checks.py, against probe windows (README.md)."""
import json, os, re, shlex, signal, subprocess, sys, tempfile, time, traceback
from dataclasses import dataclass, field
from typing import NamedTuple

HERE = os.path.dirname(os.path.abspath(__file__))
TITLE = "Place 1 — Studio ✓ 😀"
QUIET = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


@dataclass
class Step:  # a command of a case, and what it must give
    args: list
    out: str = ""
    err: str = ""
    exit: str = ""  # "stopped"; else 0 with out, 1 with err
    front: str = ""  # "after ENTRY": the other window comes forward
    stop: str = ""  # "after ENTRY": the tool is stopped


@dataclass
class Case:
    line: int
    steps: list = field(default_factory=list)
    trace: list = field(default_factory=list)  # its lines
    setup: list = field(default_factory=list)
    held: str = "none"
    only: str = ""


def read_cases(path):
    cases, case = [], None
    with open(path, encoding="utf-8") as table:
        for number, line in enumerate(table, 1):
            line = line.rstrip("\r\n")
            if not line:
                case = None
            if not line or line.startswith("#"):
                continue
            if case is None:
                case = Case(number)
                cases.append(case)
            word, _, value = line.partition(" ")
            if word == "$":
                case.steps.append(Step(shlex.split(value)))
            elif word in ("out", "err", "exit", "front", "stop"):
                setattr(case.steps[-1], word, value)
            elif word in ("trace", "setup"):
                getattr(case, word).append(value)
            elif word in ("held", "only"):
                setattr(case, word, value)
            else:
                raise ValueError(f"cases.txt:{number}: no such word {word}")
    return cases


class Outcome(NamedTuple):
    status: int
    out: str
    err: str


class Results:
    passed = failed = 0

    def check(self, what, got, want):
        if got == want:
            self.passed += 1
        else:
            self.failed += 1
            print(f"FAIL {what}\n  got:  {got!r}\n  want: {want!r}", flush=True)

    def attempt(self, what, work, *args):  # an exception fails the work alone
        try:
            work(*args)
        except Exception:
            self.failed += 1
            print(f"FAIL {what}\n{traceback.format_exc()}", flush=True)


def until(ready, seconds, step=0.05):  # True once ready() holds, False when the time is up
    for _ in range(round(seconds / step)):
        if ready():
            return True
        time.sleep(step)
    return bool(ready())


class Probe:  # a probe window and its log (README.md)
    def __init__(self, argv):
        self.log = tempfile.NamedTemporaryFile(prefix="probe-", suffix=".log", delete=False).name
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(argv, stdout=log, stderr=subprocess.DEVNULL)
        self.mark = 0  # how many of its event lines were read
        until(self.lines, 30)  # a toolkit's first start on a fresh machine can take seconds
        ready = (self.lines() or [""])[0].split()
        if len(ready) != 9:
            self.close()
            raise RuntimeError(f"probe {argv} did not start")
        self.id, self.pid, self.x, self.y, self.w, self.h, self.cx, self.cy = map(int, ready[1:])

    def lines(self):
        with open(self.log, "rb") as log:
            return log.read().decode("utf-8", "replace").replace("\r", "").split("\n")[:-1]

    def since(self):
        """What was logged since the mark: consecutive drags are one, wheel lines of one sign add up."""
        out = []
        for line in self.lines()[1 + self.mark :]:
            last = out[-1] if out else ""
            if line.startswith("wheel") and last.startswith("wheel") and line[6] == last[6]:
                out[-1] = "wheel %+d" % (int(last[6:]) + int(line[6:]))
            elif not (line.startswith("drag") and line == last):
                out.append(line)
        return out

    def text(self):  # a text field's content, else the characters typed
        lines = self.since()
        fields = [json.loads(line[5:]) for line in lines if line.startswith("text ")]
        return fields[-1] if fields else "".join(line[5:] for line in lines if line.startswith("char "))

    def skip(self):
        self.mark = len(self.lines()) - 1

    def wait_for(self, entry, seconds=20):
        return until(lambda: entry in self.since(), seconds, 0.02)

    def close(self):
        self.process.kill()
        self.process.wait()


def start_xvfb():  # on the first free display of :20 to :39, apart from suites running beside it
    n = next(n for n in range(20, 40) if not os.path.exists(f"/tmp/.X{n}-lock"))
    server = subprocess.Popen(["Xvfb", f":{n}", *"-screen 0 1280x1024x24 -nolisten tcp -noreset".split()], **QUIET)
    os.environ["DISPLAY"] = f":{n}"
    until(lambda: os.path.exists(f"/tmp/.X11-unix/X{n}"), 30)
    return server


def start_wine(services):  # on the display in use, in the prefix WINEPREFIX names
    os.environ.update(WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8")
    subprocess.run(["wineserver", "-k"], **QUIET)
    if not os.path.exists(os.path.join(os.environ["WINEPREFIX"], "system.reg")):
        subprocess.run(["wineboot", "-i"], **QUIET)
        subprocess.run(["wineserver", "-w"])
    services.append(subprocess.Popen(["wineserver", "-f", "-p"], **QUIET))
    # The first program starts Wine's services, which keep its output open: not a pipe.
    subprocess.run(["wine", "cmd.exe", "/c", "exit"], **QUIET)


class Desktop:
    """Where the tool runs: its command line, the probe windows, what the system reports held."""

    stop_signal, stopped = signal.SIGTERM, -signal.SIGTERM  # and the status it leaves
    popen_options, wrapper = {}, []  # wrapper: what the tool and the probes run under
    until = staticmethod(until)

    def __init__(self, tool, probes):
        self.tool, self.folder = self.wrapper + [tool], probes
        self.services, self.probes = [], []  # the services are ended last first

    def start(self, *args, stdin=subprocess.DEVNULL):
        return subprocess.Popen(self.tool + [str(a) for a in args], stdin=stdin, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, **self.popen_options)

    def run(self, *args):  # with no input: on Windows a line there stops a run
        process = self.start(*args)
        out, err = process.communicate(timeout=60)
        return Outcome(process.returncode, out.decode(), err.decode())

    def start_probe(self, argv):  # closed after the section that started it
        self.probes.append(Probe(argv))
        return self.probes[-1]

    def target(self, *flags, app=None, title=TITLE, at=(100, 100), size=(400, 300)):  # or another app's window
        app = app or self.target_app
        return self.start_probe(self.executable(app) + self.window_args(app, title, at, size, flags))

    def other(self):
        return self.target(app=self.other_app, title="Other", at=(600, 150))

    def window_args(self, app, title, at, size, flags):
        return [title, *map(str, at), *map(str, size), *flags]

    def query(self, *mode):  # a probe's answer in one of its modes
        argv = self.executable(self.other_app) + list(mode)
        return subprocess.run(argv, capture_output=True).stdout.decode().strip()

    def held(self):
        return self.query("--held")

    def quiet(self, *probes, still=0.3):  # until the probes have logged nothing new a while (10 s at most)
        seen, n = [], round(still / 0.05) + 1
        while len(seen) < 200 and (len(seen) < n or seen[-n:].count(seen[-1]) < n):
            seen.append([len(p.lines()) for p in probes])
            time.sleep(0.05)

    def restore(self):  # the keyboard as before a case's setup
        pass

    def close_probes(self):
        for probe in self.probes:
            probe.close()
            os.unlink(probe.log)
        self.probes = []

    def close(self):
        self.close_probes()
        for service in reversed(self.services):
            service.terminate()
            service.wait()


class X11(Desktop):
    name = checks = "x11"
    target_app, other_app = "RobloxStudio", "Other"  # the windows' class

    def __init__(self, tool, probes):
        super().__init__(tool, probes)
        self.services.append(start_xvfb())
        # A key a killed run left down must not repeat into what the checks read next.
        subprocess.run(["xset", "r", "off"])
        self.wm = subprocess.Popen(["openbox", "--sm-disable"], **QUIET)
        self.services.append(self.wm)
        # Until it has published its desktops.
        until(lambda: subprocess.run(["xdotool", "get_num_desktops"], **QUIET).returncode == 0, 10)
        time.sleep(0.3)  # openbox leaves windows mapped right after it starts unmanaged

    def executable(self, app):
        return [os.path.join(self.folder, "marnith-desktop-probe")]

    def window_args(self, app, title, at, size, flags):
        return [app, title, "%dx%d+%d+%d" % (*size, *at), *flags]

    def restore(self):
        subprocess.run(["setxkbmap", "us"])  # Xvfb's own

    def start_wine(self):  # for Wine's own programs as the tool's clients
        start_wine(self.services)


class Windows(Desktop):
    name = checks = "windows"
    stop_signal, stopped = getattr(signal, "CTRL_BREAK_EVENT", 0), 0xC000013A
    popen_options = {"creationflags": getattr(subprocess, "CREATE_NEW_PROCESS_GROUP", 0)}
    # The same probe twice: the tool knows the target by its executable's name.
    target_app, other_app = "RobloxStudioBeta-probe.exe", "marnith-desktop-probe.exe"

    def executable(self, app):
        return self.wrapper + [os.path.join(self.folder, app)]


class Wine(Windows):
    name = "wine"
    # Only Ctrl+C from the Unix side reaches the tool; Wine gives 0xC000013A's low byte.
    stop_signal, stopped, popen_options, wrapper = signal.SIGINT, 0x3A, {}, ["wine"]

    def __init__(self, tool, probes):
        super().__init__(tool, probes)
        self.services.append(start_xvfb())  # no window manager: Wine places and focuses its windows
        start_wine(self.services)

    def close(self):
        self.close_probes()
        subprocess.run(["wineserver", "-k"])
        super().close()


class MacOS(Desktop):  # the workflow checks beforehand that events may be posted
    name = checks = "macos"
    target_app, other_app = "MarnithStudioProbe", "MarnithOtherProbe"  # the bundle decides

    def executable(self, app):
        return [os.path.join(self.folder, f"{app}.app", "Contents", "MacOS", app)]


def command_line(words, target, other):  # pids put in, a run list's points made absolute
    pids = {"pid": target.pid, "other": other.pid, "pid+1": target.pid + 1}
    args = [str(pids.get(word, word)) for word in words]
    if args[0] == "run":
        actions = json.loads(args[1])
        for action in actions:
            for name in ("click", "move", "down", "up"):
                if isinstance(action.get(name), list):
                    x, y = action[name]
                    action[name] = [x + target.cx, y + target.cy]
        args[1] = json.dumps(actions, ensure_ascii=False, separators=(",", ":"))
    return args


def expected(step, desk, target):  # the target window's figures put in for $id, $pid ...
    window = dict(id=target.id, pid=target.pid, title=json.dumps(TITLE, ensure_ascii=False)[1:-1],
                  x=float(target.x), y=float(target.y), w=float(target.w), h=float(target.h))

    def line(text):
        return re.sub(r"\$(\w+)", lambda m: str(window[m[1]]), text) + "\n" if text else ""

    status = desk.stopped if step.exit == "stopped" else 1 if step.err else 0
    return Outcome(status, line(step.out), line(step.err))


def play_step(desk, check, where, step, target, other):
    tool = desk.start(*command_line(step.args, target, other))
    if step.front or step.stop:
        entry = (step.front or step.stop).removeprefix("after ")
        check(f"{where}: the target logged {entry!r}", target.wait_for(entry), True)
        time.sleep(0.5)  # into the wait that follows, whatever the machine's load
        if step.front:
            desk.run("activate", other.pid)
        else:
            stopped_at = time.monotonic()
            tool.send_signal(desk.stop_signal)
    try:
        out, err = tool.communicate(timeout=60)
    except subprocess.TimeoutExpired:  # a tool that hangs fails the case, and goes
        tool.kill()
        out, err = tool.communicate()
    if step.stop:
        check(f"{where}: ended within 0.5 s of the stop", time.monotonic() - stopped_at < 0.5, True)
    got = Outcome(tool.returncode, out.decode(), err.decode())
    check(f"{where}: {shlex.join(step.args)[:60]}", got, expected(step, desk, target))


def delivered(entries):
    """The trace as every backend shows it: X11 delivers no key-up of a key not down, Windows does;
    Windows gives each thread its own modifiers, so none for the other's lines."""
    out, down = [], set()
    for entry in entries:
        key = re.match(r"(?:other: )?key (down|up) (\S+)", entry)
        if key and key[1] == "down":
            down.add(key[2])
        elif key and key[2] in down:
            down.remove(key[2])
        elif key:
            continue
        out.append(re.sub(r" \+\w+", "", entry) if entry.startswith("other: ") else entry)
    return out


def play_case(desk, check, case, target, other):
    where = f"cases.txt:{case.line}"
    for command in case.setup:  # "probe": the target's probe in one of its modes
        words = shlex.split(command)
        if words[0] == "probe":
            words = desk.executable(desk.target_app) + words[1:]
        subprocess.run(words, check=True)
    # Through the other window: the window manager, slow after keymap changes, has caught up.
    desk.run("activate", other.pid)
    desk.run("activate", target.pid)
    desk.quiet(target, other)
    target.skip()
    other.skip()
    for step in case.steps:
        play_step(desk, check, where, step, target, other)
    desk.quiet(target, other)
    trace = delivered(target.since() + ["other: " + entry for entry in other.since()])
    check(f"{where}: trace", trace, "; ".join(case.trace).split("; "))
    check(f"{where}: held", desk.held(), "held " + case.held)


def play_table(desk, results):
    other, target = desk.other(), desk.target()
    for case in read_cases(os.path.join(HERE, "cases.txt")):
        if not case.only or desk.name in case.only.split():
            results.attempt(f"cases.txt:{case.line}", play_case, desk, results.check, case, target, other)
        if case.setup:
            desk.restore()


def main():
    sys.stdout.reconfigure(encoding="utf-8")  # not the code page of a pipe on Windows: the title is in none
    backend, tool, probes = sys.argv[1:]
    desk = {"x11": X11, "wine": Wine, "windows": Windows, "macos": MacOS}[backend](tool, probes)
    results, started = Results(), time.monotonic()
    try:
        results.attempt("cases.txt", play_table, desk, results)
        desk.close_probes()
        sys.path.insert(0, os.path.join(HERE, desk.checks))
        import checks  # SECTIONS, each run with the desktop and check(what, got, want)

        for section in checks.SECTIONS:
            results.attempt(f"{backend}: {section.__name__}", section, desk, results.check)
            desk.close_probes()
    finally:
        desk.close()
    print(f"{backend}: {results.passed} passed, {results.failed} failed in {time.monotonic() - started:.0f} s")
    sys.exit(1 if results.failed else 0)


if __name__ == "__main__":
    main()

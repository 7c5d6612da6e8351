#!/usr/bin/env python3
"""A small host: finds the target's window, plays actions into it, and resumes after
the foreground guard stops a run, exactly where it stopped.

Usage: host.py TARGET_PID [ACTION_LIST_FILE]
Without a file it clicks into the target's window and types a line. The tool is
MARNITH_INPUT (default: marnith-input on the PATH); the schemas are looked for in
MARNITH_SCHEMAS, else ../schemas beside this file, else where the package installs them.
MARNITH_TIMEOUT (seconds) replaces the limit derived from each list, to try the timeout.
"""
import errno
import json
import os
import signal
import subprocess
import sys

TOOL = os.environ.get("MARNITH_INPUT", "marnith-input")
WINDOWS = os.name == "nt"
# Stops in a row that played nothing before the host gives up: the target keeps losing
# the front (the user is working elsewhere), and typing on would go to the wrong window.
GIVE_UP_AFTER = 3
# How long a stopped tool gets to let go of what it holds before it is killed.
GRACE = 2.0
# The exit status of a Windows tool that a line on its standard input stopped.
STATUS_CONTROL_C_EXIT = 0xC000013A


class ToolFailed(Exception):
    """The tool could not be started, failed with its one-line message, or timed out."""


def stop(job, stop_write):
    """Stops a running tool cleanly, so that everything it holds is released: on Windows
    a line on its standard input, SIGTERM elsewhere (TerminateProcess, which is what
    terminate() does on Windows, would leave keys held). Kills it only if it has not
    ended GRACE seconds later; returns whether it ended by itself."""
    if WINDOWS:
        try:
            os.write(stop_write, b"\n")
        except OSError:
            pass  # it has just ended: nothing left to stop
    else:
        job.terminate()
    try:
        job.wait(timeout=GRACE)
        return True
    except subprocess.TimeoutExpired:
        job.kill()
        job.wait()
        return False


def tool(args, timeout=10.0):
    """Runs one job; returns the JSON value it printed, or raises ToolFailed."""
    # On Windows the tool's standard input is a pipe the host keeps open while the tool
    # runs: a line on it is the clean stop. Elsewhere SIGTERM is.
    stop_read, stop_write = os.pipe() if WINDOWS else (subprocess.DEVNULL, None)
    try:
        job = subprocess.Popen(
            [TOOL, *args], stdin=stop_read, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            encoding="utf-8", errors="replace",  # not the ANSI code page on Windows
            # No console window: it would take the foreground, and the guard would stop.
            creationflags=subprocess.CREATE_NO_WINDOW if WINDOWS else 0)
    except OSError as error:
        if WINDOWS:
            os.close(stop_write)
        raise ToolFailed(f"cannot start {TOOL}: {errno.errorcode.get(error.errno, error)}")
    finally:
        if WINDOWS:
            os.close(stop_read)
    with job:
        try:
            out, err = job.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            if not stop(job, stop_write):
                raise ToolFailed(f"timed out after {timeout:.1f} s and did not stop: "
                                 "killed, keys may be left held")
            out, err = job.communicate()
            if job.returncode != 0:  # 0: it finished as the limit came
                clean = job.returncode in (-signal.SIGTERM, STATUS_CONTROL_C_EXIT)
                raise ToolFailed(f"timed out after {timeout:.1f} s: stopped, " + (
                    "everything it held released" if clean else f"exit status {job.returncode}"))
        except BaseException:
            # The host itself is interrupted (Ctrl+C, SIGTERM, an exception): left alone,
            # the tool would play the rest of the list, and closing its input does not
            # stop it. It is stopped cleanly first.
            if not stop(job, stop_write):
                print("marnith-input did not stop: killed, keys may be left held", file=sys.stderr)
            raise
        finally:
            if WINDOWS:
                os.close(stop_write)
    if job.returncode == 0:
        return json.loads(out)
    raise ToolFailed(err.strip() or f"exit status {job.returncode}")


def is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def is_point(value):
    return isinstance(value, list) and len(value) >= 2 and all(map(is_number, value))


def clamp_ms(value, default):
    return min(max(value, 0), 10000) if is_number(value) else default


def utf16_units(text):
    return len(text.encode("utf-16-le")) // 2


def timeline(actions):
    """Seconds the tool's own pauses take for these actions, as it selects them."""
    ms = 0
    for a in actions:
        ms += 15
        count = a.get("count")
        if is_point(a.get("move")):
            pass
        elif is_point(a.get("click")):
            whole = is_number(count) and count == int(count) and 1 < count < 2**63
            ms += 30 + 60 * (int(count) if whole else 1)
        elif "down" in a or "up" in a or is_number(a.get("scroll")):
            pass
        elif isinstance(a.get("key"), str):
            ms += clamp_ms(a.get("hold"), 40)
        elif isinstance(a.get("keyDown"), str) or isinstance(a.get("keyUp"), str):
            pass
        elif isinstance(a.get("text"), str):
            ms += 8 * utf16_units(a["text"])
        elif is_number(a.get("wait")):
            ms += clamp_ms(a["wait"], 0)
    return ms / 1000


def limit(actions):
    """How long a run of these actions may take: its timeline, plus a margin for the
    desktop's own delays (X11 binding spare keycodes, activation)."""
    override = os.environ.get("MARNITH_TIMEOUT")
    return float(override) if override else timeline(actions) * 1.1 + 5


def schema_problem(actions):
    """Why the list is not one the tool plays, or None; checked against the published
    schema, so nothing is typed before a bad action is found."""
    try:
        from jsonschema import Draft202012Validator
    except ImportError:
        print("jsonschema is not installed (pip install jsonschema): "
              "the list is played unchecked", file=sys.stderr)
        return None
    here = os.path.dirname(os.path.abspath(__file__))
    for folder in (os.environ.get("MARNITH_SCHEMAS"), os.path.join(here, "..", "schemas"),
                   "/usr/share/marnith-input/schemas", "/usr/local/share/marnith-input/schemas"):
        path = os.path.join(folder or "", "actions.schema.json")
        if folder and os.path.exists(path):
            break
    else:
        return "actions.schema.json not found (set MARNITH_SCHEMAS)"
    with open(path, encoding="utf-8") as f:
        validator = Draft202012Validator(json.load(f))
    if not isinstance(actions, list):
        return "the action list is not a JSON array"
    for i, action in enumerate(actions):
        if not validator.is_valid([action]):
            return f"action {i} is not one the tool plays: {compact(action)}"
    return None


def compact(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def argument_problem(args):
    """Why the operating system would refuse this command line, or None."""
    if WINDOWS:  # the whole command line, quoted as Popen quotes it, in UTF-16 units
        units = utf16_units(subprocess.list2cmdline([TOOL, *args]))
        return f"the command line is {units} UTF-16 units; Windows takes 32766" \
            if units > 32766 else None
    if sys.platform == "darwin":  # every argument and the environment, with pointers
        size = sum(len(os.fsencode(a)) + 9 for a in [TOOL, *args])
        size += sum(len(os.fsencode(k)) + len(os.fsencode(v)) + 10 for k, v in os.environ.items())
        return f"the arguments and environment take {size} bytes; macOS takes 1048576" \
            if size > 1048576 else None
    size = max(len(os.fsencode(a)) for a in args)  # Linux: each argument on its own
    return f"the action list is {size} bytes; Linux takes 131071 in one argument" \
        if size > 131071 else None


def held_after(actions, held, point):
    """What the tool holds after these actions, given what it held before (keys by
    name, buttons; in the order pressed), and the last point an action named."""
    held = list(held)
    for a in actions:
        if is_point(a.get("move")) or is_point(a.get("click")):
            point = a.get("move") if is_point(a.get("move")) else a["click"]
            continue
        if "down" in a or "up" in a:
            pressed = "down" in a
            point = a["down" if pressed else "up"] if is_point(
                a["down" if pressed else "up"]) else point
            item = ("button", "right" if a.get("button") == "right" else "left")
        elif isinstance(a.get("key"), str) or is_number(a.get("scroll")):
            continue
        elif isinstance(a.get("keyDown"), str) or isinstance(a.get("keyUp"), str):
            pressed = isinstance(a.get("keyDown"), str)
            item = ("key", key_id(a["keyDown"] if pressed else a["keyUp"]))
        else:
            continue
        if pressed and item not in held:
            held.append(item)
        elif not pressed and item in held:
            held.remove(item)
    return held, point


ALIASES = {"Shift": "LeftShift", "Control": "LeftControl", "Alt": "LeftAlt",
           "Meta": "LeftMeta", "Enter": "Return"}


def key_id(name):
    """One name per physical key: aliases resolved; letters and F1-F12 in any case."""
    name = ALIASES.get(name, name)
    return name.upper() if len(name) == 1 or name.upper() in [f"F{i}" for i in range(1, 13)] \
        else name


def press_again(held, point):
    """Actions that press again what was held when a run stopped (the tool lets go of
    everything at every ending): buttons where the list last put the pointer."""
    return [{"keyDown": name} if kind == "key" else {"down": point, "button": name}
            for kind, name in held]


def play(actions, target):
    """Plays the actions, bringing the target back and going on after each stop from
    exactly where it stopped: the rest of a partly typed text, with what the rest of the
    list expects to be held pressed again."""
    idle, held, point = 0, [], None
    while actions:
        prefix = press_again(held, point)
        run = prefix + actions
        problem = argument_problem(["run", compact(run), str(target)])
        if problem:
            raise SystemExit(f"not played: {problem}; split the list")
        result = tool(["run", compact(run), str(target)], limit(run))
        if result["ok"]:
            return True
        done, typed = result["done"] - len(prefix), result.get("typed", 0)
        print(f"stopped after {max(done, 0)} of {len(actions)} actions"
              + (f", {typed} UTF-16 units into the next" if typed else "")
              + f": {result['error']}")
        if done >= 0:
            held, point = held_after(actions[:done], held, point)
            actions = actions[done:]
            if typed:  # resume with the rest of that text
                rest = actions[0]["text"].encode("utf-16-le")[2 * typed:]
                actions = [{"text": rest.decode("utf-16-le")}] + actions[1:]
        idle = 0 if done > 0 or typed else idle + 1
        if idle == GIVE_UP_AFTER:
            print(f"gave up: {idle} stops in a row with nothing played")
            return False
        try:
            tool(["activate", str(target)])
        except ToolFailed as failure:
            raise ToolFailed(f"cannot bring {target} back: {failure}")
        again = ", pressing again " + ", ".join(compact(a) for a in press_again(held, point)) \
            if held else ""
        print(f"activated {target}, resuming {len(actions)}{again}")
    return True


def refuse_constant(name):
    """NaN and Infinity are not JSON; Python's reader takes them, the tool does not."""
    raise ValueError(f"{name} is not JSON")


def main():
    # Progress shows as it happens, and a title the console cannot show does not stop it.
    sys.stdout.reconfigure(line_buffering=True, errors="replace")
    target = int(sys.argv[1])
    if not tool(["trusted"])["trusted"]:
        if WINDOWS:  # no permission to grant there: the desktop refuses input for now
            sys.exit("Windows takes no input from the tool now: the workstation is locked, a UAC "
                     "prompt is up, or an elevated window is in front (run the host elevated "
                     "to type into it); try again")
        tool(["trusted", "--prompt"])
        sys.exit("grant the Accessibility permission, then try again")
    windows = [w for w in tool(["windows"]) if w["pid"] == target]
    if not windows:
        sys.exit("no window of the target on screen")
    w = windows[0]
    print(f"window {w['id']}: '{w['title']}' at {w['x']:g},{w['y']:g} {w['w']:g}x{w['h']:g}")
    if len(sys.argv) > 2:
        try:
            with open(sys.argv[2], encoding="utf-8") as f:
                actions = json.load(f, parse_constant=refuse_constant)
            compact(actions).encode("utf-8")  # a lone surrogate, which the tool refuses
        except (OSError, ValueError) as error:
            sys.exit(f"cannot read {sys.argv[2]}: {error}")
    else:
        centre = [w["x"] + w["w"] / 2, w["y"] + w["h"] / 2]
        actions = [{"click": centre}, {"text": "print(1)"}, {"key": "Return"}]
    problem = schema_problem(actions)
    if problem:
        sys.exit(f"not played: {problem}")
    if not play(actions, target):
        sys.exit(1)
    print("done")
    # A bad list is refused before anything is played.
    problem = schema_problem([{"key": "Banana"}])
    if problem:
        print(f"refused: {problem}")


class Terminated(KeyboardInterrupt):
    """SIGTERM, taken as Ctrl+C is: it unwinds through tool(), which stops a running tool."""


def terminated(number, frame):
    raise Terminated


if __name__ == "__main__":
    if not WINDOWS:
        signal.signal(signal.SIGTERM, terminated)
    try:
        main()
    except ToolFailed as failure:
        sys.exit(f"marnith-input: {failure}")
    except KeyboardInterrupt as interruption:
        print("interrupted", file=sys.stderr)
        sys.exit(128 + (signal.SIGTERM if isinstance(interruption, Terminated) else signal.SIGINT))

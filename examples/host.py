#!/usr/bin/env python3
"""A small host: finds the target's window, plays actions into it, and resumes after
the foreground guard stops a run.

Usage: host.py TARGET_PID
The tool is MARNITH_INPUT (default: marnith-input on the PATH).
"""
import json
import os
import subprocess
import sys

TOOL = os.environ.get("MARNITH_INPUT", "marnith-input")
# A job that takes longer is ended: SIGTERM first, so a run lets go of every key and
# button it holds, and SIGKILL only if it has not ended a little later.
TIMEOUT = 120
# Stops in a row that played nothing before the host gives up: the target keeps losing
# the front (the user is working elsewhere), and typing on would go to the wrong window.
GIVE_UP_AFTER = 3


class ToolFailed(Exception):
    """The tool exited 1 with its one-line message."""


def tool(*args):
    """Runs one job; returns the JSON value it printed, or raises with its message."""
    with subprocess.Popen([TOOL, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True) as job:
        try:
            out, err = job.communicate(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            job.terminate()
            try:
                out, err = job.communicate(timeout=2)
            except subprocess.TimeoutExpired:
                job.kill()
                out, err = job.communicate()
    if job.returncode == 0:
        return json.loads(out)
    raise ToolFailed(err.strip() or f"exit status {job.returncode}")


def play(actions, target):
    """Plays the actions, bringing the target back and going on after each stop."""
    idle = 0
    while actions:
        result = tool("run", json.dumps(actions), str(target))
        if result["ok"]:
            return True
        print(f"stopped after {result['done']} of {len(actions)}: {result['error']}")
        idle = idle + 1 if result["done"] == 0 else 0
        if idle == GIVE_UP_AFTER:
            print(f"gave up: {idle} stops in a row with nothing played")
            return False
        # The action at `done` was cut off by the stop; a text action may be partly typed.
        actions = actions[result["done"]:]
        tool("activate", str(target))
        print(f"activated {target}, resuming {len(actions)}")
    return True


def main():
    target = int(sys.argv[1])
    if not tool("trusted")["trusted"]:
        tool("trusted", "--prompt")
        sys.exit("grant the Accessibility permission, then try again")
    windows = [w for w in tool("windows") if w["pid"] == target]
    if not windows:
        sys.exit("no window of the target on screen")
    w = windows[0]
    print(f"window {w['id']}: {w['title']!r} at {w['x']:g},{w['y']:g} {w['w']:g}x{w['h']:g}")
    centre = [w["x"] + w["w"] / 2, w["y"] + w["h"] / 2]
    if not play([{"click": centre}, {"text": "print(1)"}, {"key": "Return"}], target):
        sys.exit(1)
    print("done")
    try:
        tool("run", '[{"key":"Banana"}]', str(target))
    except ToolFailed as failure:
        print(f"refused: {failure}")


if __name__ == "__main__":
    main()

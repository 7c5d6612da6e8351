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


class ToolFailed(Exception):
    """The tool exited 1 with its one-line message."""


def tool(*args):
    """Runs one job; returns the JSON value it printed, or raises with its message."""
    done = subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=120)
    if done.returncode == 0:
        return json.loads(done.stdout)
    raise ToolFailed(done.stderr.strip() or f"exit status {done.returncode}")


def play(actions, target):
    """Plays the actions, bringing the target back and going on after each stop."""
    while actions:
        result = tool("run", json.dumps(actions), str(target))
        if result["ok"]:
            return
        print(f"stopped after {result['done']} of {len(actions)}: {result['error']}")
        actions = actions[result["done"]:]
        tool("activate", str(target))
        print(f"activated {target}, resuming {len(actions)}")


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
    play([{"click": centre}, {"text": "print(1)"}, {"key": "Return"}], target)
    print("done")
    try:
        tool("run", '[{"key":"Banana"}]', str(target))
    except ToolFailed as failure:
        print(f"refused: {failure}")


if __name__ == "__main__":
    main()

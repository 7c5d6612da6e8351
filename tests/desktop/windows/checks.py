"""What the case table cannot say on Windows and Wine: the SECTIONS at the end."""
import json, subprocess, time

TEXT = "€ Grüße 😀\n\tend"  # beginning with a character on no key
CRLF = TEXT.replace("\n", "\r\n")
ACTIVATED = (0, '{"ok":true}\n', "")


def done(n):
    return (0, '{"ok":true,"done":%d}\n' % n, "")


def edit_control(desk, check):
    edit = desk.target("edit", title="Edit")
    desk.run("activate", edit.pid)
    ran = desk.run("run", json.dumps([{"text": TEXT}]), edit.pid)
    desk.quiet(edit)
    check("windows: text in an edit control", (ran, edit.text()), (done(1), CRLF))


def activation(desk, check):
    # Front to back: activation raises the window it brings forward.
    one, two = desk.target(title="Place 1"), desk.target(title="Place 2", at=(300, 500))
    for front, behind in ((one, two), (two, one)):
        desk.run("activate", front.pid)
        check("windows: the window activated first in the list",
              [w["id"] for w in json.loads(desk.run("windows").out)], [front.id, behind.id])
    # F12 keeps the probe from handling messages for 4.5 s (Windows calls a window hung only
    # after 5 s): activation must not wait for it, leaving it or bringing it forward.
    check("windows: F12 reached the window that goes busy",
          (desk.run("run", '[{"key":"F12"}]', two.pid), two.wait_for("key down F12", 5)), (done(1), True))
    for pid, what in ((one.pid, "left"), (two.pid, "activated")):
        started = time.monotonic()
        activated = desk.run("activate", pid)
        # Still busy when activate returns: it has not yet let go of F12.
        check(f"windows: a busy window {what} within 2 s",
              (activated, time.monotonic() - started < 2, two.since()), (ACTIVATED, True, ["key down F12"]))
    check("windows: the busy window then in front, taking the keys",
          (desk.query("--foreground"), desk.run("run", '[{"key":"F11"}]', two.pid), two.wait_for("key up F11", 15),
           two.since()),
          ("pid %d Place 2" % two.pid, done(1), True, ["key down F12", "key up F12", "key down F11", "key up F11"]))


def stop_line(desk, check):
    # A line on standard input stops a run as Ctrl+Break does; the input's end alone does not.
    target = desk.target()
    desk.run("activate", target.pid)
    for line, want in (("stop\n", (desk.stopped, "", "")), ("", done(2))):
        target.skip()
        tool = desk.start("run", '[{"keyDown":"Shift"},{"wait":1000}]', target.pid, stdin=subprocess.PIPE)
        target.wait_for("key down LeftShift")
        out, err = tool.communicate(line.encode(), timeout=60)
        desk.quiet(target)
        check(f"windows: input {line!r}", (tool.returncode, out.decode(), err.decode(), target.since(), desk.held()),
              want + (["key down LeftShift", "key up LeftShift"], "held none"))


SECTIONS = [edit_control, activation, stop_line]

"""What the case table cannot say on Windows and Wine: the SECTIONS at the end."""
import json, subprocess, time

TEXT = "Grüße 😀\n\tend"
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
    # F12 makes the probe stop handling messages for 8 s: activation must not wait for it.
    busy = desk.run("run", '[{"key":"F12"}]', two.pid), desk.run("activate", one.pid).status
    started = time.monotonic()
    check("windows: a busy window activated within 2 s, then in front",
          (busy, desk.run("activate", two.pid), time.monotonic() - started < 2, desk.run("run", "[]", two.pid)),
          ((done(1), 0), ACTIVATED, True, done(0)))
    two.wait_for("key up F12", 15)


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


def notepad(desk, check):
    if desk.name != "wine":  # on Windows a packaged app
        return
    notepad = subprocess.Popen(["wine", "notepad"])
    try:
        desk.until(lambda: desk.query("--pid-of", "Notepad").split()[1] != "0", 10, 0.1)
        pid = desk.query("--pid-of", "Notepad").split()[1]
        keys = [{"text": TEXT}, {"keyDown": "Control"}, {"key": "A"}, {"key": "C"}, {"keyUp": "Control"}]
        check("wine: Notepad's text", (desk.run("activate", pid), desk.run("run", json.dumps(keys), pid),
                                       desk.query("--clipboard")),
              (ACTIVATED, done(5), "clipboard " + json.dumps(CRLF, ensure_ascii=False)))
    finally:
        notepad.kill()
        notepad.wait()


SECTIONS = [edit_control, activation, stop_line, notepad]

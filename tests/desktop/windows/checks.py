"""What the case table cannot say on Windows: typed text in a real edit control and, under
Wine, in Notepad read back through the clipboard (on Windows Notepad may be a packaged app
whose window another process owns); the window order after activation; activation of a
window that has stopped handling messages; the stop line on standard input."""
import json, subprocess, time

TEXT = "Grüße 😀\n\tend"


def run(desk, d):
    tool = lambda *args: desk.run([str(a) for a in args])

    edit = desk.target("Edit", (100, 100), "RobloxStudioBeta-probe.exe", "edit")
    tool("activate", edit.pid)
    ran = tool("run", json.dumps([{"text": TEXT}]), edit.pid)[1]
    d.quiet(edit)
    fields = [json.loads(line[5:]) for line in edit.since() if line.startswith("text ")]
    d.check("windows: text in an edit control", (ran, fields[-1:]), ('{"ok":true,"done":1}\n', [TEXT.replace("\n", "\r\n")]))

    # Front to back: activation raises the window it brings forward.
    twin = desk.target("Place 2", (300, 500))
    for front, behind in ((edit, twin), (twin, edit)):
        tool("activate", front.pid)
        d.check("windows: the window activated first in the list",
                [w["id"] for w in json.loads(tool("windows")[1])], [front.id, behind.id])
    edit.close(), twin.close()
    busy_and_stop_line(desk, d)

    if desk.tool[0] != "wine":
        return
    notepad = subprocess.Popen(["wine", "notepad"])
    pid = lambda: desk.helper("--pid-of", "Notepad").split()[1]
    d.until(lambda: pid() != "0", 10, 0.1)
    pid = pid()
    activated = tool("activate", pid)[1]
    ran = tool("run", json.dumps([{"text": TEXT}, {"keyDown": "Control"}, {"key": "A"}, {"key": "C"},
                                  {"keyUp": "Control"}]), pid)
    d.check("wine: Notepad's text", (activated, ran[1], desk.helper("--clipboard")),
            ('{"ok":true}\n', '{"ok":true,"done":5}\n', "clipboard " + json.dumps(TEXT.replace("\n", "\r\n"), ensure_ascii=False)))
    notepad.kill(), notepad.wait()


def busy_and_stop_line(desk, d):
    other, target = desk.other(), desk.target()
    pid, ok = str(target.pid), lambda done: (0, '{"ok":true,"done":%d}\n' % done, "")
    # F12 makes the probe stop handling messages for 8 s: activation must not wait for it.
    busy = desk.run(["run", '[{"key":"F12"}]', pid]), desk.run(["activate", str(other.pid)])[0]
    started = time.monotonic()
    d.check("windows: a busy window activated within 2 s, then in front",
            (busy, desk.run(["activate", pid]), time.monotonic() - started < 2, desk.run(["run", "[]", pid])),
            ((ok(1), 0), (0, '{"ok":true}\n', ""), True, ok(0)))
    target.wait_for("key up F12", 15)
    # A line on standard input stops a run as Ctrl+Break does; the input's end alone does not.
    for line, want in (("stop\n", (desk.stopped, "", "")), ("", ok(2))):
        target.skip()
        tool = subprocess.Popen(desk.tool + ["run", '[{"keyDown":"Shift"},{"wait":1000}]', pid],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        target.wait_for("key down LeftShift")
        out, err = tool.communicate(line.encode(), timeout=60)
        d.quiet(target)
        d.check(f"windows: input {line!r}", (tool.returncode, out.decode(), err.decode(), target.since() +
                [desk.held()]), want + (["key down LeftShift", "key up LeftShift", "held none"],))
    other.close(), target.close()

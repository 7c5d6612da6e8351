"""Windows beyond the case table: text typed into an edit control and, under Wine, Notepad (on
Windows a packaged app); window order after activation; a hung window; the stop line on stdin."""
import json, subprocess, time

TEXT = "Grüße 😀\n\tend"
CRLF = TEXT.replace("\n", "\r\n")


def run(desk, d):
    tool = lambda *args: desk.run([str(a) for a in args])
    ok = lambda done: (0, '{"ok":true,"done":%d}\n' % done, "")
    edit = desk.target("Edit", (100, 100), desk.target_app, "edit")
    tool("activate", edit.pid)
    ran = tool("run", json.dumps([{"text": TEXT}]), edit.pid)
    d.quiet(edit)
    fields = [json.loads(line[5:]) for line in edit.since() if line.startswith("text ")]
    d.check("windows: text in an edit control", (ran, fields[-1:]), (ok(1), [CRLF]))

    # Front to back: activation raises the window it brings forward.
    twin = desk.target("Place 2", (300, 500))
    for front, behind in ((edit, twin), (twin, edit)):
        tool("activate", front.pid)
        d.check("windows: the window activated first in the list",
                [w["id"] for w in json.loads(tool("windows")[1])], [front.id, behind.id])

    # F12 keeps the probe from handling messages for 4.5 s (Windows calls a window hung after 5 s).
    busy = tool("run", '[{"key":"F12"}]', twin.pid), twin.wait_for("key down F12", 5)
    for pid, what in ((edit.pid, "left"), (twin.pid, "activated")):  # still busy when activate returns
        started = time.monotonic()
        got = busy, tool("activate", pid), time.monotonic() - started < 2, twin.since()
        d.check(f"windows: a busy window {what} within 2 s", got,
                ((ok(1), True), (0, '{"ok":true}\n', ""), True, ["key down F12"]))
    d.check("windows: the busy window then in front, taking the keys", (desk.helper("--foreground"),
            tool("run", '[{"key":"F11"}]', twin.pid), twin.wait_for("key up F11", 15), twin.since()),
            ("pid %d Place 2" % twin.pid, ok(1), True, ["key down F12", "key up F12", "key down F11", "key up F11"]))
    # A line on standard input stops a run as Ctrl+Break does; the input's end alone does not.
    for line, want in (("stop\n", (desk.stopped, "", "")), ("", ok(2))):
        twin.skip()
        proc = subprocess.Popen(desk.tool + ["run", '[{"keyDown":"Shift"},{"wait":1000}]', str(twin.pid)],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        twin.wait_for("key down LeftShift")
        out, err = proc.communicate(line.encode(), timeout=60)
        d.quiet(twin)
        d.check(f"windows: input {line!r}", (proc.returncode, out.decode(), err.decode(), twin.since() +
                [desk.held()]), want + (["key down LeftShift", "key up LeftShift", "held none"],))
    edit.close(), twin.close()

    if desk.tool[0] == "wine":
        notepad = subprocess.Popen(["wine", "notepad"])
        d.until(lambda: desk.helper("--pid-of", "Notepad").split()[1] != "0", 10, 0.1)
        pid = desk.helper("--pid-of", "Notepad").split()[1]
        keys = [{"text": TEXT}, {"keyDown": "Control"}, {"key": "A"}, {"key": "C"}, {"keyUp": "Control"}]
        d.check("wine: Notepad's text",
                (tool("activate", pid), tool("run", json.dumps(keys), pid), desk.helper("--clipboard")),
                ((0, '{"ok":true}\n', ""), ok(5), "clipboard " + json.dumps(CRLF, ensure_ascii=False)))
        notepad.kill(), notepad.wait()

"""What the case table cannot say on X11: the SECTIONS at the end, run in that order."""
import glob, json, os, re, shutil, signal, subprocess, tempfile, time

STOP = '{"ok":false,"done":%d,"error":"Studio is no longer the front window; stopped."}\n'
LETTERS = "é€Ωжß漢字üñøåçλπσдиклмнопрстуфхцчшщыэюяąęł"  # 40 without a key in the US map
DONE = '{"ok":true,"done":%d}\n'
ACTIVATED = '{"ok":true}\n'


def cycled(n):
    return (LETTERS * (n // 40 + 1))[:n]


def command(*args):
    return subprocess.run([str(a) for a in args], capture_output=True).stdout.decode()


def toolkit(desk, *args):  # a GTK or Qt window with a focused text field, in Debian's Python
    return desk.start_probe(["/usr/bin/python3", os.path.join(os.path.dirname(__file__), "toolkit_probe.py"), *args])


def typed(desk, p):  # once the client is quiet: toolkits lag after keymap changes
    desk.quiet(p, still=1.5)
    return p.text()


def front(desk, p):  # openbox may hand the focus on from a window just closed, late
    for _ in range(10):
        desk.run("activate", p.pid)
        time.sleep(0.5)
        if desk.run("run", "[]", p.pid).out == DONE % 0:
            break
    p.skip()


def listing(desk, check):
    # The pid from the X server when _NET_WM_PID is missing, a compound-text title, a frameless
    # Qt window (KDE's type first) listed, a dock left out; front to back.
    desk.target("dock", title="Dock", at=(0, 900))
    place2 = desk.target("nopid", "ctext", app="com.roblox.ROBLOXSTUDIO.Beta", title="Place 2: ünïcödé Ωж 漢字",
                          at=(500, 400))
    frameless = toolkit(desk, "qt", "RobloxStudioFrameless", "frameless")
    place1 = desk.target(title="Place 1 — Studio", at=(40, 60))
    front(desk, place1)
    listed = [(w["id"], w["pid"], w["title"]) for w in json.loads(desk.run("windows").out)]
    check("x11: listing", listed, [(place1.id, place1.pid, "Place 1 — Studio"),
                                   (frameless.id, frameless.pid, "RobloxStudioFrameless"),
                                   (place2.id, place2.pid, "Place 2: ünïcödé Ωж 漢字")])


def text_in_toolkits(desk, check):
    # Text comes out exactly in every toolkit, whatever Shift and Caps Lock.
    text = "Hello, World! ~`{}|\"<>? 123 aé€😀Ωжß漢字🎉b " + cycled(60)
    actions = json.dumps([{"text": text + "\n"}, {"keyDown": "Shift"}, {"text": "aB1!é"}, {"keyUp": "Shift"}])
    for caps in (False, True):
        if caps:
            command("xdotool", "key", "Caps_Lock")
        for p in (desk.target(), toolkit(desk, "gtk", "RobloxStudio"), toolkit(desk, "qt", "RobloxStudio")):
            front(desk, p)
            check(f"x11: text, caps lock {caps}", (desk.run("run", actions, p.pid).out, typed(desk, p)),
                  (DONE % 4, text + "aB1!é"))
            p.close()
    command("xdotool", "key", "Caps_Lock")


def spare_keycodes(desk, check):
    # A killed run's spares are taken back; a run finds none free (all owned by a live process,
    # or the keymap has none) and fails rather than skip a character.
    before = command("xmodmap", "-pke")
    p = toolkit(desk, "gtk", "RobloxStudio")
    front(desk, p)
    killed = desk.start("run", json.dumps([{"text": cycled(200)}]))
    time.sleep(0.4)
    killed.kill()
    killed.wait()
    left, partial = command("xmodmap", "-pke") != before, typed(desk, p)
    check("x11: a killed run's spares taken back",
          (left, desk.run("run", '[{"text":"Hello ąęł"}]', p.pid).out, typed(desk, p), command("xmodmap", "-pke")),
          (True, DONE % 1, partial + "Hello ąęł", before))
    spares = [line.split()[1] for line in before.split("\n") if line.endswith("=")]

    def bind(sym):
        command("xmodmap", *[a for c in spares for a in ("-e", f"keycode {c} = {sym}")])

    bind("F35")
    check("x11: no spare keycode", (desk.run("run", '[{"text":"aé"}]', p.pid).err, typed(desk, p)),
          ("cannot type é\n", partial + "Hello ąęł"))
    bind("")
    # Every spare owned by a live process (marked as a typing process marks its window).
    command("xprop", "-id", p.id, "-f", "_MARNITH_INPUT_OWNER", "32c", "-set", "_MARNITH_INPUT_OWNER", 7)
    command("xprop", "-root", "-f", "_MARNITH_INPUT_SPARES", "32c", "-set", "_MARNITH_INPUT_SPARES",
            ",".join(f"{c},{p.id},7" for c in spares))
    check("x11: every spare owned", desk.run("run", '[{"text":"éa"}]', p.pid), (1, "", "cannot type é\n"))
    command("xprop", "-id", p.id, "-remove", "_MARNITH_INPUT_OWNER")
    # Two runs at once, each with characters of its own: every character arrives (in our Xlib
    # client: a toolkit lagging further behind than the tool waits for reads a rebound keycode).
    p.close()
    p, one, two = desk.target(), cycled(72), "ΑΒΓΔΕΖΗΘΙΚΛΜ" * 3
    front(desk, p)
    runs = [desk.start("run", json.dumps([{"text": t}]), p.pid) for t in (one, two)]
    check("x11: two runs share the spares", ([r.communicate()[0].decode() for r in runs], sorted(typed(desk, p))),
          ([DONE % 1] * 2, sorted(one + two)))
    # After such runs (and a killed one) the window manager has caught up: a press is let go.
    press = json.dumps([{"down": [p.cx + 9, p.cy + 9]}])
    check("x11: a press after keymap changes", (desk.run("run", press, p.pid).out, desk.held()),
          (DONE % 1, "held none"))
    check("x11: keymap restored", command("xmodmap", "-pke"), before)


def activation(desk, check):
    # A window coming forward mid-text gets no character at all (the guard's check and the key are one step), and what the run held is let go.
    target, other = desk.target(), desk.other()
    for delay in (0.5, 0.8, 1.1):  # the other window comes forward at several moments
        front(desk, target)
        other.skip()
        job = desk.start("run", json.dumps([{"keyDown": "Shift"}, {"text": "x" * 200}, {"key": "A"}]), target.pid)
        # Counted from the text's first character, not from the start: a loaded machine (or
        # the sanitizers) can take longer than the shortest delay to get there.
        target.wait_for("char x", 10)
        time.sleep(delay - 0.4)
        command("xdotool", "windowactivate", other.id)
        out = json.loads(job.communicate()[0])
        n, stray = len(typed(desk, target)), len(typed(desk, other))
        check("x11: the guard stops text midway",
              (out.pop("typed", 0), 0 < n < 200, stray, desk.held(), json.dumps(out, separators=(",", ":")) + "\n"),
              (n, True, 0, "held none", STOP % 1))
    # A window on another desktop: that desktop is shown first.
    command("xdotool", "set_desktop_for_window", other.id, 1)
    check("x11: activate on another desktop", (desk.run("activate", other.pid).out, command("xdotool", "get_desktop"),
                                               command("xdotool", "getactivewindow")), (ACTIVATED, "1\n", f"{other.id}\n"))
    command("xdotool", "set_desktop", 0)


def no_window_manager(desk, check):  # the window manager is not started again: later sections need none
    target, other = desk.target(), desk.other()
    front(desk, target)
    desk.wm.terminate()
    desk.wm.wait()
    # The focus is the front: activation lands every time.
    for p in (target, other, target, other):
        target.skip()
        other.skip()
        check("x11: no window manager", (desk.run("activate", p.pid).out,
                                         desk.run("run", '[{"text":"ok"}]', p.pid).out, typed(desk, p)),
              (ACTIVATED, DONE % 1, "ok"))
    command("xdotool", "windowfocus", other.id)
    other.skip()
    check("x11: no window manager, the guard", (desk.run("run", '[{"text":"no"}]', target.pid).out, typed(desk, other)),
          (STOP % 0, ""))


def into_wine(desk, check):
    # Wine names only so many keys it does not know, and reads a key's character when the program takes
    # it: a German text (AltGr's characters on spares too) with more characters on spares arrives whole.
    if not shutil.which("wine"):
        print("x11: into Wine's Notepad: not run, Wine is not installed")
        return
    desk.start_wine()
    subprocess.run(["setxkbmap", "-layout", "de,us"])
    notepad = subprocess.Popen(["wine", "notepad"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        desk.until(lambda: command("xdotool", "search", "--onlyvisible", "--class", "notepad"), 30, 0.1)
        time.sleep(0.5)  # until openbox has given it the focus
        pid = command("xdotool", "search", "--onlyvisible", "--class", "notepad", "getwindowpid").strip()
        text = "€ñ 😀 — local x = 1 -- 字üøåçλπσдиклмнопрстуфхцчшщъыьэюяαβγδ @{[]}\\|~ — 字üøåçλπσдиклмн"
        keys = [{"text": text}, {"keyDown": "Control"}, {"key": "A"}, {"key": "C"}, {"keyUp": "Control"}]
        check("x11: into Wine's Notepad", (desk.run("activate", pid).out, desk.run("run", json.dumps(keys), pid).out,
                                           command("xclip", "-o", "-selection", "clipboard")), (ACTIVATED, DONE % 5, text))
    finally:
        notepad.kill()
        subprocess.run(["wineserver", "-k"])
        desk.restore()


def xwayland(desk, check):  # last: the display is left as the compositors' were
    # GNOME's compositor, and weston, whose window manager publishes no client list nor active
    # window and leaves the focus on PointerRoot (keys go where the pointer is: the probe lies
    # under it; moving the pointer crashes weston's Xwayland 22).
    for name, argv, ready in (
            ("mutter", "dbus-run-session -- mutter --wayland --headless --virtual-monitor 1280x1024 "
             "--wayland-display marnith-m", r"Using public X11 display (:\d+)"),
            ("weston", "weston --backend=headless-backend.so --xwayland --socket=marnith-w --idle-time=0",
             r"listening on display (:\d+)")):
        runtime = tempfile.mkdtemp()
        log = os.path.join(runtime, "log")
        compositor = subprocess.Popen(argv.split(), env=dict(os.environ, XDG_RUNTIME_DIR=runtime),
                                      stdout=open(log, "w"), stderr=subprocess.STDOUT, start_new_session=True)

        def answers():  # its Xwayland, once it has started
            found, auth = re.search(ready, open(log).read()), glob.glob(runtime + "/.mutter-Xwaylandauth*")
            os.environ.update(DISPLAY=found[1] if found else ":4095", XAUTHORITY=(auth or [""])[0])
            return desk.run("trusted").out == '{"trusted":true}\n'

        try:
            desk.until(answers, 30, 0.1)
            p, text = desk.target(title="Studio", at=(0, 0), size=(1000, 600)), "héllo Ñ 😀 ok É"
            check(f"x11: {name}'s XWayland", ([w["pid"] for w in json.loads(desk.run("windows").out)],
                                              desk.run("activate", p.pid).out,
                                              desk.run("run", json.dumps([{"text": text}]), p.pid).out, typed(desk, p)),
                  ([p.pid], ACTIVATED, DONE % 1, text))
            p.close()
        finally:
            os.killpg(compositor.pid, signal.SIGTERM)
            compositor.wait()


SECTIONS = [listing, text_in_toolkits, spare_keycodes, activation, into_wine, no_window_manager, xwayland]

"""What the case table cannot say on X11: listing, desktops, text in Xlib, GTK and Qt clients with and
without Caps Lock, spare keycodes, the guard within a text, no window manager, no display, XWayland."""
import glob, json, os, re, signal, subprocess, tempfile, time

STOP = '{"ok":false,"done":%d,"error":"Studio is no longer the front window; stopped."}\n'
LETTERS = "é€Ωжß漢字üñøåçλπσдиклмнопрстуфхцчшщыэюяąęł"  # 40 without a key in the US map


cycled = lambda n: (LETTERS * (n // 40 + 1))[:n]


def run(desk, d):
    tool = lambda *args: desk.run([str(a) for a in args])
    x = lambda cmd, *args: subprocess.run([cmd, *map(str, args)], capture_output=True).stdout.decode()
    xdotool = lambda *args: x("xdotool", *args)
    keymap = lambda: x("xmodmap", "-pke")
    toolkit = lambda *args: d.Probe(["/usr/bin/python3", os.path.join(d.HERE, "x11", "toolkit_probe.py"), *args])

    def typed(p):  # what a client has read, once it is quiet (toolkits lag after keymap changes)
        d.quiet(p, still=1.5)
        lines = p.since()
        fields = [json.loads(l[5:]) for l in lines if l.startswith("text ")]
        return fields[-1] if fields else "".join(l[5:] for l in lines if l.startswith("char "))

    def front(p):  # openbox may hand the focus on from a window just closed, late
        for _ in range(10):
            tool("activate", p.pid), time.sleep(0.5)
            if tool("run", "[]", p.pid)[1] == '{"ok":true,"done":0}\n':
                break
        p.skip()

    before = keymap()
    # Listing: the pid from the X server when _NET_WM_PID is missing, a compound-text title,
    # a frameless Qt window (KDE's type first) listed, a dock left out; front to back.
    probes = [desk.target("Dock", (0, 900), "RobloxStudio", "dock"),
              desk.target("Place 2: ünïcödé Ωж 漢字", (500, 400), "com.roblox.ROBLOXSTUDIO.Beta", "nopid", "ctext"),
              toolkit("qt", "RobloxStudioFrameless", "frameless"), desk.target("Place 1 — Studio", (40, 60))]
    front(probes[3])
    listed = [(w["id"], w["pid"], w["title"]) for w in json.loads(tool("windows")[1])]
    d.check("x11: listing", listed, [(p.id, p.pid, t) for p, t in zip(probes[:0:-1], [
        "Place 1 — Studio", "RobloxStudioFrameless", "Place 2: ünïcödé Ωж 漢字"])])
    list(map(d.Probe.close, probes))

    # Text comes out exactly in every toolkit, whatever Shift and Caps Lock.
    text = "Hello, World! ~`{}|\"<>? 123 aé€😀Ωжß漢字🎉b " + cycled(60)
    actions = json.dumps([{"text": text + "\n"}, {"keyDown": "Shift"}, {"text": "aB1!é"}, {"keyUp": "Shift"}])
    for caps in (False, True):
        xdotool("key", "Caps_Lock") if caps else None
        for p in (desk.target(), toolkit("gtk", "RobloxStudio"), toolkit("qt", "RobloxStudio")):
            front(p)
            d.check(f"x11: text, caps lock {caps}", (tool("run", actions, p.pid)[1], typed(p)),
                    ('{"ok":true,"done":4}\n', text + "aB1!é"))
            p.close()
    xdotool("key", "Caps_Lock")

    # Spares: a killed run's are taken back; a run finds none free (all owned by a live
    # process, or the keymap has none) and fails rather than skip a character.
    p = toolkit("gtk", "RobloxStudio")
    front(p)
    killed = subprocess.Popen(desk.tool + ["run", json.dumps([{"text": cycled(200)}])])
    time.sleep(0.4)
    killed.kill(), killed.wait()
    left, partial = keymap() != before, typed(p)
    d.check("x11: a killed run's spares taken back",
            (left, tool("run", '[{"text":"Hello ąęł"}]', p.pid)[1], typed(p), keymap()),
            (True, '{"ok":true,"done":1}\n', partial + "Hello ąęł", before))
    spares = [line.split()[1] for line in before.split("\n") if line.endswith("=")]
    bind = lambda sym: x("xmodmap", *[a for c in spares for a in ("-e", f"keycode {c} = {sym}")])
    bind("F35")
    d.check("x11: no spare keycode", (tool("run", '[{"text":"aé"}]', p.pid)[2], typed(p)),
            ("cannot type é\n", partial + "Hello ąęł"))
    bind("")
    # Every spare owned by a live process (marked as a typing process marks its window).
    x("xprop", "-id", p.id, "-f", "_MARNITH_INPUT_OWNER", "32c", "-set", "_MARNITH_INPUT_OWNER", 7)
    x("xprop", "-root", "-f", "_MARNITH_INPUT_SPARES", "32c", "-set", "_MARNITH_INPUT_SPARES",
      ",".join(f"{c},{p.id},7" for c in spares))
    d.check("x11: every spare owned", tool("run", '[{"text":"éa"}]', p.pid), (1, "", "cannot type é\n"))
    x("xprop", "-id", p.id, "-remove", "_MARNITH_INPUT_OWNER")
    # Two runs at once, each with characters of its own: every character arrives (in our Xlib
    # client: a toolkit lagging further behind than the tool waits for reads a rebound keycode).
    p.close()
    p, one, two = desk.target(), cycled(72), "ΑΒΓΔΕΖΗΘΙΚΛΜ" * 3
    front(p)
    runs = [subprocess.Popen(desk.tool + ["run", json.dumps([{"text": t}]), str(p.pid)], stdout=subprocess.PIPE)
            for t in (one, two)]
    d.check("x11: two runs share the spares", ([r.communicate()[0] for r in runs], sorted(typed(p))),
            ([b'{"ok":true,"done":1}\n'] * 2, sorted(one + two)))
    # After such runs (and a killed one) the window manager has caught up: a press is let go.
    d.check("x11: a press after keymap changes", (tool("run", '[{"down":[%d,%d]}]' % (p.cx + 9, p.cy + 9), p.pid)[1],
                                                  desk.held()), ('{"ok":true,"done":1}\n', "held none"))
    d.check("x11: keymap restored", keymap(), before)
    p.close()

    # Activation right after text lands; a window coming forward mid-text gets no character
    # at all (the guard's check and the key are one step), and what the run held is let go.
    target, other = desk.target(), desk.other()
    front(target)
    d.check("x11: activation after text", [tool("run", json.dumps([{"text": cycled(80)}]), target.pid)[1],
                                           tool("activate", other.pid)[1], tool("run", "[]", other.pid)[1]],
            ['{"ok":true,"done":1}\n', '{"ok":true}\n', '{"ok":true,"done":0}\n'])
    for delay in (0.5, 0.8, 1.1):  # the other window comes forward at several moments
        front(target), other.skip()
        job = subprocess.Popen(desk.tool + ["run", json.dumps([{"keyDown": "Shift"}, {"text": "x" * 200},
                                                               {"key": "A"}]), str(target.pid)], stdout=subprocess.PIPE)
        time.sleep(delay)
        xdotool("windowactivate", other.id)
        out = json.loads(job.communicate()[0])
        n, stray = len(typed(target)), len(typed(other))
        d.check("x11: the guard stops text midway", (out.pop("typed", 0), 0 < n < 200, stray, desk.held(),
                                                     json.dumps(out, separators=(",", ":")) + "\n"),
                (n, True, 0, "held none", STOP % 1))

    # On another desktop: that desktop is shown first.
    xdotool("set_desktop_for_window", other.id, 1)
    d.check("x11: activate on another desktop", (tool("activate", other.pid)[1], xdotool("get_desktop"),
                                                 xdotool("getactivewindow")), ('{"ok":true}\n', "1\n", f"{other.id}\n"))
    xdotool("set_desktop_for_window", other.id, 0), xdotool("set_desktop", 0)
    # Without a window manager (last: it is not started again) the focus is the front.
    target.skip(), other.skip()
    desk.stop_wm()
    for p in (target, other, target, other):  # activation lands every time
        target.skip(), other.skip()
        d.check("x11: no window manager", (tool("activate", p.pid)[1], tool("run", '[{"text":"ok"}]', p.pid)[1],
                                           typed(p)), ('{"ok":true}\n', '{"ok":true,"done":1}\n', "ok"))
    xdotool("windowfocus", other.id), other.skip()
    d.check("x11: no window manager, the guard", (tool("run", '[{"text":"no"}]', target.pid)[1], typed(other)),
            (STOP % 0, ""))
    target.close(), other.close()

    display = os.environ["DISPLAY"]
    os.environ["DISPLAY"] = ":4095"
    d.check("x11: without a display", [tool("trusted", "--prompt")[1], tool("windows")[1], tool("activate", 1)[2],
                                       tool("run", "[]")[2]],
            ['{"trusted":false}\n', "[]\n", "bad pid\n", "Accessibility permission is off for Marnith\n"])
    os.environ["DISPLAY"] = display

    # Under XWayland: GNOME's compositor, and weston, whose window manager publishes no client
    # list nor active window and leaves the focus on PointerRoot (keys go where the pointer is:
    # the probe lies under it; moving the pointer crashes weston's Xwayland 22).
    for name, argv, ready in (
            ("mutter", "dbus-run-session -- mutter --wayland --headless --virtual-monitor 1280x1024 "
             "--wayland-display marnith-m", r"Using public X11 display (:\d+)"),
            ("weston", "weston --backend=headless-backend.so --xwayland --socket=marnith-w --idle-time=0",
             r"listening on display (:\d+)")):
        log = os.path.join(runtime := tempfile.mkdtemp(), "log")
        comp = subprocess.Popen(argv.split(), env=dict(os.environ, XDG_RUNTIME_DIR=runtime), stdout=open(log, "w"),
                                stderr=subprocess.STDOUT, start_new_session=True)

        def answers():  # its Xwayland, once it has started
            found, auth = re.search(ready, open(log).read()), glob.glob(runtime + "/.mutter-Xwaylandauth*")
            os.environ.update(DISPLAY=found[1] if found else ":4095", XAUTHORITY=(auth or [""])[0])
            return tool("trusted")[1] == '{"trusted":true}\n'
        d.until(answers, 30, 0.1)
        p, text = d.Probe(desk.probe_cmd(["RobloxStudio", "Studio", "1000x600+0+0"])), "héllo Ñ 😀 ok É"
        d.check(f"x11: {name}'s XWayland", ([w["pid"] for w in json.loads(tool("windows")[1])],
                                            tool("activate", p.pid)[1], tool("run", json.dumps([{"text": text}]), p.pid)[1],
                                            typed(p)), ([p.pid], '{"ok":true}\n', '{"ok":true,"done":1}\n', text))
        p.close(), os.killpg(comp.pid, signal.SIGTERM), comp.wait()

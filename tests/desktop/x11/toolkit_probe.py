#!/usr/bin/python3
"""A GTK 3 or Qt 5 window with a focused text field; its arguments and lines are in ../README.md."""
import json, os, sys

toolkit, klass = sys.argv[1], sys.argv[2]

changed = lambda text: print("text " + json.dumps(text, ensure_ascii=False), flush=True)


if toolkit == "gtk":
    import gi
    gi.require_version("Gtk", "3.0")
    gi.require_version("GdkX11", "3.0")
    from gi.repository import Gtk, GdkX11  # noqa: F401 - GdkX11 gives the window's XID
    Gtk.Window.set_default_icon_name("x")
    window = Gtk.Window(title=klass)
    window.set_wmclass(klass.lower(), klass)
    entry = Gtk.Entry()
    entry.connect("changed", lambda e: changed(e.get_text()))
    window.add(entry)
    window.set_default_size(400, 80)
    window.connect("map-event", lambda w, e: print(f"ready {w.get_window().get_xid()} {os.getpid()}{' 0' * 6}", flush=True))
    window.show_all()
    Gtk.main()
else:
    from PyQt5 import QtCore, QtWidgets
    app = QtWidgets.QApplication([klass])
    app.setApplicationName(klass.lower())
    field = QtWidgets.QLineEdit()
    field.setWindowTitle(klass)
    if sys.argv[3:] == ["frameless"]:  # Qt gives it KDE's override window type, then the normal one
        field.setWindowFlags(QtCore.Qt.FramelessWindowHint)
    field.resize(400, 80)
    field.textChanged.connect(changed)
    field.show()
    QtCore.QTimer.singleShot(300, lambda: print(f"ready {int(field.winId())} {os.getpid()}{' 0' * 6}", flush=True))
    app.exec_()

#!/usr/bin/python3
# A GTK window whose focus the test moves: it reads a widget name per line on stdin, focuses that
# widget and answers "focused NAME". It says "ready" once the window has the input focus.
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

window = Gtk.Window(title="focus window")
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
widgets = {
    "entry": Gtk.Entry(),
    "password": Gtk.Entry(visibility=False),
    "button": Gtk.Button(label="OK"),
    "notes": Gtk.TextView(),
}
for widget in widgets.values():
    box.pack_start(widget, False, False, 2)
window.add(box)
window.connect("destroy", Gtk.main_quit)
widgets["button"].grab_focus()
window.show_all()


def say(line):
    print(line, flush=True)


def take_focus():
    # There is no window manager under a bare X server: the window takes the focus itself.
    window.get_window().focus(Gdk.CURRENT_TIME)
    return False


def focused(win, event):
    if not getattr(window, "announced", False):
        window.announced = True
        say("ready")
    return False


def command(channel, condition):
    line = channel.readline().strip()
    if not line or line == "quit":
        Gtk.main_quit()
        return False
    widgets[line].grab_focus()
    say("focused " + line)
    return True


window.connect("focus-in-event", focused)
GLib.timeout_add(200, take_focus)
GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.IO_IN | GLib.IO_HUP, command)
Gtk.main()

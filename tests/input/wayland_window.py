#!/usr/bin/python3
# A full-screen GTK window on a Wayland display that says, one line each, what input reaches it:
# "mapped" once it is on the screen, "ready" once it has the keyboard, "motion X Y", "press BUTTON X Y", "release BUTTON",
# "scroll DY" (smooth scrolling, in the toolkit's units), "key NAME [ctrl]" and "text TEXT" for
# what its text field holds after a change. The text field has the focus; clicks away from it
# reach the window.
import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, Gtk  # noqa: E402


def say(*words):
    print(*words, flush=True)


# A blinking caret would redraw the window twice a second.
Gtk.Settings.get_default().set_property("gtk-cursor-blink", False)
window = Gtk.Window(title="wayland window")
entry = Gtk.Entry()
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
box.pack_start(entry, False, False, 0)
window.add(box)
window.add_events(
    Gdk.EventMask.POINTER_MOTION_MASK
    | Gdk.EventMask.BUTTON_PRESS_MASK
    | Gdk.EventMask.BUTTON_RELEASE_MASK
    | Gdk.EventMask.SMOOTH_SCROLL_MASK
)
# The pointer's first appearance over the window is an enter, not a motion: both say where it is.
window.add_events(Gdk.EventMask.ENTER_NOTIFY_MASK)
window.connect("enter-notify-event", lambda _, e: say("motion", round(e.x_root), round(e.y_root)))
window.connect("motion-notify-event", lambda _, e: say("motion", round(e.x_root), round(e.y_root)))
window.connect("button-press-event", lambda _, e: say("press", e.button, round(e.x_root), round(e.y_root)))
window.connect("button-release-event", lambda _, e: say("release", e.button))


def scrolled(_, event):
    smooth, dx, dy = event.get_scroll_deltas()
    if smooth:
        say("scroll", round(dy, 2))


def key(_, event):
    ctrl = " ctrl" if event.state & Gdk.ModifierType.CONTROL_MASK else ""
    say("key " + (Gdk.keyval_name(event.keyval) or hex(event.keyval)) + ctrl)
    return False


window.connect("scroll-event", scrolled)
window.connect("key-press-event", key)
entry.connect("changed", lambda e: say("text", e.get_text()))
announced = []


def focused(*_):
    if not announced:
        announced.append(True)
        say("ready")


window.connect("focus-in-event", focused)
window.connect("map-event", lambda *_: say("mapped"))
window.connect("destroy", Gtk.main_quit)
window.fullscreen()
window.show_all()
entry.grab_focus()
Gtk.main()

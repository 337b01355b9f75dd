#!/usr/bin/python3
# Desktop-like content drawn by an ordinary GTK client, full screen, for the screen benchmarks on
# X11 and on Wayland alike (GDK_BACKEND picks). "desktop": every frame different at up to 60 Hz: a
# terminal-like pane scrolling a line per frame, a photo-like image gliding across the right half,
# a window dragged over both; prints "fps N" each second. "still": one colour, changed to the
# other each time a line arrives on stdin.
import random
import sys

import cairo
import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

mode = sys.argv[1] if len(sys.argv) > 1 else "desktop"
window = Gtk.Window(title="content")
area = Gtk.DrawingArea()
window.add(area)
state = {"frame": 0, "drawn": 0, "photo": None, "flip": False}
words = "the quick brown fox jumps over the lazy dog 0123456789 {} [] () <> ;: build log".split()
rng = random.Random(1)
lines = [" ".join(rng.choice(words) for _ in range(12)) for _ in range(400)]


def photo(width, height):
    surface = cairo.ImageSurface(cairo.FORMAT_RGB24, width, height)
    cr = cairo.Context(surface)
    for i in range(120):
        gradient = cairo.RadialGradient(rng.random() * width, rng.random() * height, 0,
                                        rng.random() * width, rng.random() * height, 80 + rng.random() * 300)
        gradient.add_color_stop_rgb(0, rng.random(), rng.random(), rng.random())
        gradient.add_color_stop_rgba(1, rng.random(), rng.random(), rng.random(), 0)
        cr.set_source(gradient)
        cr.paint()
    return surface


def draw(widget, cr):
    width, height = widget.get_allocated_width(), widget.get_allocated_height()
    if mode == "still":
        cr.set_source_rgb(*((0.13, 0.25, 0.5) if state["flip"] else (0.5, 0.38, 0.13)))
        cr.paint()
        return
    frame = state["frame"]
    pane = width * 2 // 5
    cr.set_source_rgb(0.1, 0.1, 0.12)
    cr.rectangle(0, 0, pane, height)
    cr.fill()
    cr.set_source_rgb(0.8, 0.85, 0.8)
    cr.select_font_face("monospace")
    cr.set_font_size(12)
    for row in range(height // 14):
        cr.move_to(4, 12 + row * 14)
        cr.show_text(lines[(frame + row) % len(lines)])
    if state["photo"] is None or state["photo"].get_height() != height:
        state["photo"] = photo(width - pane, height)
    glide = (frame * 4) % (width - pane)
    cr.save()
    cr.rectangle(pane, 0, width - pane, height)
    cr.clip()
    for offset in (-glide, width - pane - glide):
        cr.set_source_surface(state["photo"], pane + offset, 0)
        cr.paint()
    cr.restore()
    x = (frame * 6) % (width + 400) - 400
    cr.set_source_rgb(0.95, 0.95, 0.93)
    cr.rectangle(x, height // 3, 400, 300)
    cr.fill()
    cr.set_source_rgb(0.2, 0.4, 0.8)
    cr.rectangle(x, height // 3, 400, 28)
    cr.fill()
    state["drawn"] += 1


def tick(widget, clock):
    state["frame"] += 1
    widget.queue_draw()
    return True


def report():
    print("fps", state["drawn"], flush=True)
    state["drawn"] = 0
    return True


def command(channel, condition):
    if not channel.readline():
        Gtk.main_quit()
        return False
    state["flip"] = not state["flip"]
    area.queue_draw()
    return True


area.connect("draw", draw)
if mode == "desktop":
    area.add_tick_callback(tick)
    GLib.timeout_add_seconds(1, report)
else:
    GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.IO_IN | GLib.IO_HUP, command)
window.connect("destroy", Gtk.main_quit)
# Without a window manager (a bare X server) fullscreen does nothing: the size is asked for too.
monitor = Gdk.Display.get_default().get_monitor(0).get_geometry()
window.set_default_size(monitor.width, monitor.height)
window.move(0, 0)
window.fullscreen()
window.show_all()
Gtk.main()

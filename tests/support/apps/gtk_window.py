#!/usr/bin/env python3
# A small GTK 3 window for the accessibility tests: it prints every change of its own state on
# standard output, one line each, so the test can see what really happened in the application.
import sys
import gi
gi.require_version("Gtk", "3.0")
from gi.repository import Gtk, GLib


def say(line):
    print(line, flush=True)


many = int(sys.argv[sys.argv.index("--many") + 1]) if "--many" in sys.argv else 0

window = Gtk.Window(title="Zakupy GTK")
window.set_default_size(480, 640)
window.connect("destroy", Gtk.main_quit)
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=4)
window.add(box)


def put(widget):
    box.pack_start(widget, False, False, 0)
    return widget


put(Gtk.Label(label="Lista zakupów"))
put(Gtk.Button(label="Dodaj")).connect("clicked", lambda *_: say("clicked Dodaj"))
temporary = put(Gtk.Button(label="Tymczasowy"))
put(Gtk.Button(label="Usuń przycisk")).connect("clicked", lambda *_: (temporary.destroy(), say("removed Tymczasowy")))
put(Gtk.Button(label="Niedostępny")).set_sensitive(False)
put(Gtk.CheckButton(label="Pilne")).connect("toggled", lambda b: say("check %d" % int(b.get_active())))
name = put(Gtk.Entry(placeholder_text="Nazwa produktu"))
name.connect("changed", lambda e: say("text: " + e.get_text()))
name.connect("focus-in-event", lambda *_: say("focus name") and False)
put(Gtk.Entry(placeholder_text="Hasło", visibility=False))

scrolled = Gtk.ScrolledWindow()
scrolled.set_policy(Gtk.PolicyType.NEVER, Gtk.PolicyType.ALWAYS)
scrolled.set_min_content_height(200)
items = Gtk.ListBox()
for i in range(40):
    row = Gtk.Box(orientation=Gtk.Orientation.HORIZONTAL)
    row.pack_start(Gtk.Label(label="Pozycja %d" % (i + 1)), False, False, 0)
    items.add(row)
scrolled.add(items)
adjustment = scrolled.get_vadjustment()
items.set_focus_vadjustment(adjustment)  # a focused row is scrolled into view


def scrolled_to(a):
    span = a.get_upper() - a.get_page_size() - a.get_lower()
    say("scroll %.2f" % ((a.get_value() - a.get_lower()) / span if span > 0 else 0))


adjustment.connect("value-changed", scrolled_to)
box.pack_start(scrolled, True, True, 0)

if many:
    # A crowded window for the benchmark: a grid of small buttons, all inside the window.
    window.set_default_size(1240, 1000)
    for start in range(0, many, 25):
        row = Gtk.Box(orientation=Gtk.Orientation.HORIZONTAL)
        for i in range(start, min(start + 25, many)):
            row.pack_start(Gtk.Button(label="K%d" % (i + 1)), False, False, 0)
        put(row)

window.show_all()
GLib.timeout_add(200, lambda: say("ready") and False)
Gtk.main()

#!/usr/bin/env python3
# A GTK 3 window with a known picture for the capture tests: a red square in the middle of white.
# argv[1] is the title; "ready" on standard output once the window has been drawn.
import sys
import gi
gi.require_version("Gtk", "3.0")
from gi.repository import Gtk, Gdk, GLib

css = Gtk.CssProvider()
css.load_from_data(b"window { background-color: #ffffff; } #square { background-color: #ff0000; }")
Gtk.StyleContext.add_provider_for_screen(Gdk.Screen.get_default(), css, Gtk.STYLE_PROVIDER_PRIORITY_USER)

window = Gtk.Window(title=sys.argv[1] if len(sys.argv) > 1 else "Czerwony kwadrat")
window.set_default_size(400, 300)
window.connect("destroy", Gtk.main_quit)
square = Gtk.EventBox(name="square")
square.set_size_request(200, 200)
square.set_halign(Gtk.Align.CENTER)
square.set_valign(Gtk.Align.CENTER)
window.add(square)
window.show_all()
GLib.timeout_add(300, lambda: print("ready", flush=True) and False)
Gtk.main()

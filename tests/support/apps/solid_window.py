#!/usr/bin/env python3
# A full-screen GTK 3 window painted one colour (the first argument, "#00ff00"), for the tests that
# look at what covers it; it prints "shown" once it is on screen.
import sys
import gi
gi.require_version("Gtk", "3.0")
from gi.repository import Gtk

colour = sys.argv[1] if len(sys.argv) > 1 else "#00ff00"
css = Gtk.CssProvider()
css.load_from_data(("window { background: %s; }" % colour).encode())
window = Gtk.Window(title="Pełny ekran")
window.get_style_context().add_provider(css, Gtk.STYLE_PROVIDER_PRIORITY_APPLICATION)
window.connect("destroy", Gtk.main_quit)
shown = []


def drawn(*_):
    if not shown:
        shown.append(True)
        print("shown", flush=True)
    return False


window.connect("map-event", drawn)
window.fullscreen()
window.show_all()
Gtk.main()

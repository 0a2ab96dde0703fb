#!/usr/bin/env python3
# A full-screen green GTK 3 window that says when it is full screen and when a pointer button is
# pressed on it, for the tests of what lies above such a window.
import gi
gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gtk, Gdk

window = Gtk.Window(title="Pełny ekran GTK")
window.connect("destroy", Gtk.main_quit)
css = Gtk.CssProvider()
css.load_from_data(b"window { background-color: #00ff00; }")
Gtk.StyleContext.add_provider_for_screen(Gdk.Screen.get_default(), css, Gtk.STYLE_PROVIDER_PRIORITY_APPLICATION)
window.add_events(Gdk.EventMask.BUTTON_PRESS_MASK)
window.connect("button-press-event", lambda *_: print("clicked", flush=True))


def state_changed(_window, event):
    if event.new_window_state & Gdk.WindowState.FULLSCREEN:
        print("fullscreen", flush=True)


window.connect("window-state-event", state_changed)
window.fullscreen()
window.show_all()
print("ready", flush=True)
Gtk.main()

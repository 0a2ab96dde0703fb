// Spoken results of the settings window: a sentence that the screen reader says without the focus
// moving, for results that appear in a note (an install, a refused key, a refused shortcut, …).
// Thread: main thread.
#pragma once

#include <QString>

class QWidget;

namespace selvina::settingswindow {

// Says `text` through the screen reader on behalf of `source` (the note or control that shows the
// result). An empty text says nothing.
void announce(QWidget* source, const QString& text);
// What the window said last (empty before anything was said); for the view dump and the tests.
QString lastAnnouncement(QWidget* window);

} // namespace selvina::settingswindow

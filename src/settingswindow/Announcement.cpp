#include "settingswindow/Announcement.h"

#include <QWidget>

namespace selvina::settingswindow {

void announce(QWidget* source, const QString& text)
{
    // Until the screen reader has a way in, the text stays where it is shown.
    Q_UNUSED(source);
    Q_UNUSED(text);
}

} // namespace selvina::settingswindow

#include "settingspanes/PaneWidgets.h"

namespace selvina::settingspanes {

QLabel* makeNote(const QString& text, NoteFocus focus)
{
    auto* note = new QLabel;
    note->setWordWrap(true);
    if (focus == NoteFocus::reachable) {
        note->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
        note->setFocusPolicy(Qt::StrongFocus);
    }
    setNote(note, text);
    return note;
}

void setNote(QLabel* note, const QString& text)
{
    note->setText(text);
    note->setVisible(!text.isEmpty());
}

} // namespace selvina::settingspanes

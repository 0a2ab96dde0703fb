#include "settingspanes/PaneWidgets.h"

#include <QGroupBox>

namespace selvina::settingspanes {

QFormLayout* section(QVBoxLayout* pane, const QString& title)
{
    auto* box = new QGroupBox(title);
    auto* form = new QFormLayout(box);
    form->setRowWrapPolicy(QFormLayout::WrapLongRows);
    pane->addWidget(box);
    return form;
}


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

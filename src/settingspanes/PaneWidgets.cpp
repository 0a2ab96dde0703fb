#include "settingspanes/PaneWidgets.h"

#include "settingswindow/Announcement.h"

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

RadioChoice* addChoice(QFormLayout* form, const QString& caption)
{
    auto* choice = new RadioChoice(QString(caption).remove(QLatin1Char(':')));
    form->addRow(choice);
    return choice;
}

QLabel* makeNote(const QString& text, NoteFocus focus)
{
    auto* note = new QLabel;
    note->setWordWrap(true);
    if (focus == NoteFocus::reachable) {
        note->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
        note->setFocusPolicy(Qt::StrongFocus);
    }
    setNote(note, text, NoteReport::silent);
    return note;
}

void setNote(QLabel* note, const QString& text, NoteReport report)
{
    const bool changed = note->text() != text;
    note->setText(text);
    note->setAccessibleName(text);
    note->setVisible(!text.isEmpty());
    // isVisible() holds only while the note's pane is the one shown in an open window.
    if (report != NoteReport::silent && (changed || report == NoteReport::always) && note->isVisible())
        settingswindow::announce(note, text);
}

} // namespace selvina::settingspanes

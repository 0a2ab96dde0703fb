// Building blocks of the settings panes, each made so that Orca can name it: a labelled row (the
// label is the control's buddy, so the control is labelled by it), a choice among the cases of an
// enumeration as radio buttons, and a note whose changes the screen reader says.
// Thread: main thread.
#pragma once

#include "settingswindow/PaneWidgets.h"

#include <QFormLayout>
#include <QLabel>
#include <QList>
#include <QString>
#include <QVBoxLayout>

#include <functional>

namespace selvina::settingspanes {

using settingswindow::RadioChoice;

// A titled group at the end of `pane`; its rows go into the form returned.
QFormLayout* section(QVBoxLayout* pane, const QString& title);

// A row of `form` for `control`: the label text is also the control's accessible name.
template <typename W>
W* addRow(QFormLayout* form, const QString& label, W* control)
{
    auto* caption = new QLabel(label);
    caption->setBuddy(control);
    control->setAccessibleName(QString(label).remove(QLatin1Char('&')).remove(QLatin1Char(':')));
    form->addRow(caption, control);
    return control;
}

// A choice of `form` whose title is `caption` (its colon dropped); it spans the form's width.
RadioChoice* addChoice(QFormLayout* form, const QString& caption);

// A word-wrapped note; `reachable` ones take keyboard focus, so that Orca reads them on Tab.
enum class NoteFocus { reachable, passive };
QLabel* makeNote(const QString& text, NoteFocus focus);
// Whether a note's new text is said: a note that reports a result is said when its text changes
// while the user is on its pane (`whenChanged`), or also when the same result comes again after
// the user asked for it anew (`always`). A note set while its pane is not shown is never said.
enum class NoteReport { whenChanged, always, silent };
// Sets the text, and hides the note while it is empty (an empty note would be an unnamed stop).
void setNote(QLabel* note, const QString& text, NoteReport report = NoteReport::whenChanged);

// The cases of an enumeration as a RadioChoice, each with its label and explanation.
template <typename E>
class ChoiceList {
public:
    ChoiceList(RadioChoice* choice, QList<E> cases, const std::function<QString(E)>& label,
               const std::function<QString(E)>& explain)
        : m_choice(choice), m_cases(std::move(cases))
    {
        QList<RadioChoice::Option> options;
        for (int i = 0; i < m_cases.size(); ++i)
            options.append({label(m_cases[i]), i, explain(m_cases[i])});
        m_choice->setOptions(options, 0);
    }
    void show(E value) { m_choice->setCurrentValue(int(m_cases.indexOf(value))); }
    RadioChoice* choice() const { return m_choice; }
    E current() const { return m_cases.value(m_choice->currentIndex(), m_cases.first()); }
    // Calls `chosen` with each case the user picks.
    void onChosen(QObject* context, std::function<void(E)> chosen)
    {
        QObject::connect(m_choice, &RadioChoice::chosen, context,
                         [this, chosen = std::move(chosen)](const QVariant& index) { chosen(m_cases.value(index.toInt(), m_cases.first())); });
    }

private:
    RadioChoice* m_choice;
    QList<E> m_cases;
};

} // namespace selvina::settingspanes

// Building blocks of the settings panes, each made so that Orca can name it: a labelled row (the
// label is the control's buddy, so the control is labelled by it), a list of choices whose
// explanation follows the current one, and a note that the keyboard can reach.
// Thread: main thread.
#pragma once

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QList>
#include <QString>
#include <QVBoxLayout>

#include <functional>

namespace selvina::settingspanes {

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

// A word-wrapped note; `reachable` ones take keyboard focus, so that Orca reads them on Tab.
enum class NoteFocus { reachable, passive };
QLabel* makeNote(const QString& text, NoteFocus focus);
// Sets the text, and hides the note while it is empty (an empty note would be an unnamed stop).
void setNote(QLabel* note, const QString& text);

// A list of the cases of an enumeration, named by `label`; the current case's explanation is both
// the list's accessible description and the text of `explanation` (which may be null).
template <typename E>
class ChoiceList {
public:
    ChoiceList(QComboBox* combo, QList<E> cases, std::function<QString(E)> label, std::function<QString(E)> explain,
               QLabel* explanation)
        : m_combo(combo), m_cases(std::move(cases)), m_explain(std::move(explain)), m_explanation(explanation)
    {
        for (E c : m_cases)
            m_combo->addItem(label(c));
    }
    void show(E value)
    {
        const QSignalBlocker blocker(m_combo);
        m_combo->setCurrentIndex(int(m_cases.indexOf(value)));
        explain();
    }
    QComboBox* combo() const { return m_combo; }
    E current() const { return m_cases.value(m_combo->currentIndex(), m_cases.first()); }
    void explain()
    {
        const QString text = m_explain(current());
        m_combo->setAccessibleDescription(text);
        if (m_explanation)
            m_explanation->setText(text);
    }

private:
    QComboBox* m_combo;
    QList<E> m_cases;
    std::function<QString(E)> m_explain;
    QLabel* m_explanation;
};

} // namespace selvina::settingspanes

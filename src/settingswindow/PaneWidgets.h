// Small building blocks shared by the panes, each announced by the screen reader with what it is.
// Thread: main thread.
#pragma once

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QList>
#include <QPushButton>
#include <QVariant>
#include <QVBoxLayout>

class QButtonGroup;
class QRadioButton;

namespace selvina::settingswindow {

// A paragraph that Tab stops at, so that the screen reader reads it; the text is its name. Keep
// these for text a user must hear and that belongs to no control; anything that explains a
// control goes into that control's description, which Orca reads with it.
QLabel* paragraph(const QString& text, QWidget* parent = nullptr);
// Text for the eye only, no Tab stop: what it says is a control's description or is announced.
QLabel* passiveText(const QString& text, QWidget* parent = nullptr);
// A toggle with its explanation under it; the explanation is the toggle's description.
QCheckBox* toggle(const QString& title, const QString& subtitle, QVBoxLayout* into);
QPushButton* button(const QString& title, const QString& help, QWidget* parent = nullptr);
// A titled section; its title labels what is inside.
QGroupBox* section(const QString& title, QVBoxLayout*& contents);
// A pane's page: a titled column that scrolls.
QWidget* scrolled(QWidget* content);

// One choice among several, as a titled group of radio buttons. Orca 43 never speaks a combo
// box's value under Qt 6.4, but says the group, the option, its state and its description on
// Tab and on every arrow key. The group is one Tab stop (Qt stops only at the checked button);
// the arrows move and choose at once, as in a GNOME dialog.
class RadioChoice : public QGroupBox {
    Q_OBJECT
public:
    struct Option {
        QString label;
        QVariant value;
        QString explanation; // the option's description, and the text under the group while it is chosen
    };

    explicit RadioChoice(const QString& title, QWidget* parent = nullptr);

    // Replaces the options; the one equal to `current` is checked (none when it is not among them).
    void setOptions(const QList<Option>& options, const QVariant& current);
    // Checks the option with this value, without `chosen`.
    void setCurrentValue(const QVariant& value);
    QVariant currentValue() const;
    int currentIndex() const;
    int count() const { return int(m_options.size()); }
    // Said with every option that has no explanation of its own.
    void setHelp(const QString& help);
    QList<QRadioButton*> buttons() const;

Q_SIGNALS:
    // Only for a choice the user made.
    void chosen(const QVariant& value);

private:
    void explainCurrent();

    QButtonGroup* m_group;
    QWidget* m_anchor; // never shown; holds the group's place in the Tab order for options made later
    QVBoxLayout* m_column;
    QLabel* m_explanation;
    QList<Option> m_options;
    QString m_help;
};

// Keeps the keyboard focus through a rebuild of the widgets under `within`: on destruction the
// focus goes to the control of the same name, else to the control at the same place among the
// focusable ones (what replaced the pressed button: a progress bar, a note, the button again),
// else to the last one. Nothing happens when the focus was not under `within`.
class FocusKeeper {
public:
    explicit FocusKeeper(QWidget* within);
    ~FocusKeeper();
    FocusKeeper(const FocusKeeper&) = delete;
    FocusKeeper& operator=(const FocusKeeper&) = delete;
    // The rebuild placed the focus itself.
    void dismiss() { m_had = false; }

private:
    QWidget* m_within;
    bool m_had = false;
    QString m_name;
    int m_place = -1;
};

// The controls under `within` that Tab stops at once they are shown, in Tab order.
QList<QWidget*> tabStops(QWidget* within);

} // namespace selvina::settingswindow

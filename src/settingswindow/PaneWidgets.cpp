#include "settingswindow/PaneWidgets.h"

#include <QApplication>
#include <QButtonGroup>
#include <QRadioButton>
#include <QScrollArea>

namespace selvina::settingswindow {

QLabel* paragraph(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    label->setFocusPolicy(Qt::StrongFocus);
    // One line: a name broken over lines reaches the reader (and its log) in pieces.
    label->setAccessibleName(text.simplified());
    return label;
}

QLabel* passiveText(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QCheckBox* toggle(const QString& title, const QString& subtitle, QVBoxLayout* into)
{
    auto* box = new QCheckBox(title);
    box->setAccessibleName(title);
    box->setAccessibleDescription(subtitle);
    box->setToolTip(subtitle);
    into->addWidget(box);
    if (!subtitle.isEmpty()) {
        auto* under = new QLabel(subtitle);
        under->setWordWrap(true);
        under->setIndent(24);
        into->addWidget(under);
    }
    return box;
}

QPushButton* button(const QString& title, const QString& help, QWidget* parent)
{
    auto* b = new QPushButton(title, parent);
    b->setAccessibleName(title);
    if (!help.isEmpty()) {
        b->setAccessibleDescription(help.simplified());
        b->setToolTip(help);
    }
    return b;
}

QGroupBox* section(const QString& title, QVBoxLayout*& contents)
{
    auto* box = new QGroupBox(title);
    box->setAccessibleName(title);
    contents = new QVBoxLayout(box);
    return box;
}

QWidget* scrolled(QWidget* content)
{
    auto* area = new QScrollArea;
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setFocusPolicy(Qt::NoFocus);
    area->setWidget(content);
    area->setAccessibleName(content->accessibleName());
    return area;
}

RadioChoice::RadioChoice(const QString& title, QWidget* parent)
    : QGroupBox(title, parent), m_group(new QButtonGroup(this)), m_anchor(new QWidget(this)), m_column(new QVBoxLayout(this)),
      m_explanation(new QLabel)
{
    setAccessibleName(title);
    // A widget made later joins the end of the Tab order; the options follow this one instead.
    m_anchor->setFocusPolicy(Qt::TabFocus);
    m_anchor->hide();
    m_group->setExclusive(true);
    m_explanation->setWordWrap(true);
    m_explanation->setVisible(false);
    m_column->addWidget(m_explanation);
    connect(m_group, &QButtonGroup::idClicked, this, [this](int index) {
        explainCurrent();
        if (index >= 0 && index < m_options.size())
            Q_EMIT chosen(m_options[index].value);
    });
}

void RadioChoice::setOptions(const QList<Option>& options, const QVariant& current)
{
    for (QAbstractButton* b : m_group->buttons()) {
        m_group->removeButton(b);
        delete b;
    }
    m_options = options;
    for (int i = 0; i < m_options.size(); ++i) {
        auto* radio = new QRadioButton(m_options[i].label);
        radio->setAccessibleName(m_options[i].label);
        radio->setAccessibleDescription(m_options[i].explanation.isEmpty() ? m_help : m_options[i].explanation);
        m_group->addButton(radio, i);
        m_column->insertWidget(i, radio);
    }
    QWidget* previous = m_anchor;
    for (QRadioButton* radio : buttons())
        setTabOrder(std::exchange(previous, radio), radio);
    setCurrentValue(current);
}

void RadioChoice::setCurrentValue(const QVariant& value)
{
    for (int i = 0; i < m_options.size(); ++i)
        if (m_options[i].value == value) {
            const QSignalBlocker blocker(m_group);
            m_group->button(i)->setChecked(true);
        }
    // Qt lets Tab into a group at the option that last had the focus, the first one until then: Orca
    // said "niski, niewybrany" with "wysoki" chosen, and an arrow from an option not chosen chooses
    // nothing. Tab enters at the chosen option; Qt moves the stop with the focus from there on.
    const int chosen = std::max(currentIndex(), 0);
    for (int i = 0; i < m_options.size(); ++i)
        m_group->button(i)->setFocusPolicy(i == chosen ? Qt::StrongFocus : Qt::ClickFocus);
    explainCurrent();
}

QVariant RadioChoice::currentValue() const
{
    const int i = currentIndex();
    return i >= 0 ? m_options[i].value : QVariant();
}

int RadioChoice::currentIndex() const
{
    return m_group->checkedId();
}

void RadioChoice::setHelp(const QString& help)
{
    m_help = help;
    for (int i = 0; i < m_options.size(); ++i)
        if (m_options[i].explanation.isEmpty())
            m_group->button(i)->setAccessibleDescription(help);
}

QList<QRadioButton*> RadioChoice::buttons() const
{
    QList<QRadioButton*> out;
    for (int i = 0; i < m_options.size(); ++i)
        out.append(static_cast<QRadioButton*>(m_group->button(i)));
    return out;
}

void RadioChoice::explainCurrent()
{
    const int i = currentIndex();
    const QString text = i >= 0 ? m_options[i].explanation : QString();
    m_explanation->setText(text);
    m_explanation->setVisible(!text.isEmpty());
}

namespace {

// Shown, or about to be: a widget added to a shown parent appears only on the next turn of the
// event loop, so it is not visible yet right after a rebuild, but it takes the focus once it is.
bool willShow(const QWidget* w, const QWidget* within)
{
    for (; w != nullptr && w != within; w = w->parentWidget())
        if (w->isHidden() && w->testAttribute(Qt::WA_WState_ExplicitShowHide))
            return false;
    return true;
}

} // namespace

QList<QWidget*> tabStops(QWidget* within)
{
    QList<QWidget*> out;
    for (QWidget* w = within->nextInFocusChain(); w != within && w != within->window(); w = w->nextInFocusChain())
        if (within->isAncestorOf(w) && (w->focusPolicy() & Qt::TabFocus) && w->isEnabled() && willShow(w, within))
            out.append(w);
    return out;
}

FocusKeeper::FocusKeeper(QWidget* within) : m_within(within)
{
    QWidget* f = QApplication::focusWidget();
    if (f == nullptr || !within->isAncestorOf(f))
        return;
    m_had = true;
    m_name = f->accessibleName();
    m_place = int(tabStops(within).indexOf(f));
}

FocusKeeper::~FocusKeeper()
{
    if (!m_had)
        return;
    const QList<QWidget*> stops = tabStops(m_within);
    if (stops.isEmpty())
        return;
    QWidget* target = nullptr;
    for (QWidget* w : stops)
        if (target == nullptr && !m_name.isEmpty() && w->accessibleName() == m_name)
            target = w;
    if (target == nullptr)
        target = stops.value(std::clamp(m_place, 0, int(stops.size()) - 1));
    target->setFocus(Qt::OtherFocusReason);
}

} // namespace selvina::settingswindow

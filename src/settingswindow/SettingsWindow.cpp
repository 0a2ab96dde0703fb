#include "settingswindow/SettingsWindow.h"

#include "platform/Preferences.h"
#include "settingswindow/PaneWidgets.h"

#include <QAction>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScreen>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QToolBar>
#include <QToolButton>

namespace selvina::settingswindow {

namespace {

QWidget* placeholder(const PaneInfo& info)
{
    auto* page = new QWidget;
    page->setAccessibleName(info.title);
    auto* column = new QVBoxLayout(page);
    column->addWidget(paragraph(info.title + QStringLiteral(": ten panel jeszcze się wczytuje.")));
    column->addStretch(1);
    return page;
}

} // namespace

SettingsWindow::SettingsWindow(NawigacjaUstawien& nawigacja, platform::Preferences* preferences, QWidget* parent)
    : QMainWindow(parent), m_nawigacja(nawigacja), m_preferences(preferences)
{
    setWindowTitle(QStringLiteral("Ustawienia Selvina"));
    setObjectName(QStringLiteral("pl.korlund.selvinavoice.settings"));

    auto* toolbar = addToolBar(QStringLiteral("Nawigacja"));
    toolbar->setObjectName(QStringLiteral("pl.korlund.selvinavoice.settings.toolbar"));
    toolbar->setMovable(false);
    toolbar->setAccessibleName(QStringLiteral("Nawigacja"));
    // `spoken`: the key in Polish; Qt names it in English ("Alt+Left"), and Orca reads the tool tip.
    const auto addNavigation = [&](const QString& name, QStyle::StandardPixmap icon, QList<QKeySequence> keys, const QString& spoken) {
        auto* action = toolbar->addAction(style()->standardIcon(icon), name);
        action->setShortcuts(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        auto* b = qobject_cast<QToolButton*>(toolbar->widgetForAction(action));
        b->setAccessibleName(name);
        // A tool bar's buttons take no focus by default, so Tab would never reach them.
        b->setFocusPolicy(Qt::TabFocus);
        b->setToolTip(name + QStringLiteral(" (") + spoken + QStringLiteral(")"));
        return std::pair{action, b};
    };
    const auto [back, backButton] =
        addNavigation(QStringLiteral("Wstecz"), QStyle::SP_ArrowBack, {QKeySequence(Qt::ALT | Qt::Key_Left), QKeySequence(Qt::CTRL | Qt::Key_BracketLeft)},
                      QStringLiteral("Alt+Strzałka w lewo"));
    const auto [forward, forwardButton] = addNavigation(
        QStringLiteral("Dalej"), QStyle::SP_ArrowForward, {QKeySequence(Qt::ALT | Qt::Key_Right), QKeySequence(Qt::CTRL | Qt::Key_BracketRight)},
        QStringLiteral("Alt+Strzałka w prawo"));
    m_back = backButton;
    m_forward = forwardButton;
    connect(back, &QAction::triggered, &m_nawigacja, &NawigacjaUstawien::wstecz);
    connect(forward, &QAction::triggered, &m_nawigacja, &NawigacjaUstawien::dalej);

    auto* central = new QWidget;
    auto* row = new QHBoxLayout(central);
    auto* side = new QVBoxLayout;
    m_search = new QLineEdit;
    m_search->setAccessibleName(QStringLiteral("Szukaj w ustawieniach"));
    m_search->setPlaceholderText(QStringLiteral("Szukaj"));
    m_search->setClearButtonEnabled(true);
    m_sidebar = new QListWidget;
    m_sidebar->setAccessibleName(QStringLiteral("Panele ustawień"));
    m_sidebar->setMaximumWidth(220);
    side->addWidget(m_search);
    side->addWidget(m_sidebar, 1);
    row->addLayout(side);
    m_stack = new QStackedWidget;
    m_stack->setAccessibleName(QStringLiteral("Panel"));
    row->addWidget(m_stack, 1);
    setCentralWidget(central);

    for (const PaneInfo& info : paneTable()) {
        m_pages.push_back(placeholder(info));
        m_stack->addWidget(scrolled(m_pages.back()));
    }
    setTabOrder(m_back, m_forward);
    setTabOrder(m_forward, m_search);
    setTabOrder(m_search, m_sidebar);

    connect(m_search, &QLineEdit::textChanged, this, [this] { applySearch(); });
    connect(m_sidebar, &QListWidget::currentRowChanged, this, [this](int row) {
        if (QListWidgetItem* item = m_sidebar->item(row))
            m_nawigacja.idzDo(Miejsce::panel(Pane(item->data(Qt::UserRole).toInt())));
    });
    // Enter on a pane in the sidebar goes into it.
    connect(m_sidebar, &QListWidget::itemActivated, this, [this] {
        if (QWidget* page = m_stack->currentWidget())
            page->nextInFocusChain()->setFocus(Qt::TabFocusReason);
    });
    connect(&m_nawigacja, &NawigacjaUstawien::changed, this, [this] { applyNavigation(); });
    applySearch();
    applyNavigation();
    restoreGeometryOrCentre();
}

void SettingsWindow::setPaneContent(Pane pane, QWidget* content)
{
    auto* area = static_cast<QScrollArea*>(m_stack->widget(int(pane)));
    if (content->accessibleName().isEmpty())
        content->setAccessibleName(paneInfo(pane).title);
    delete area->takeWidget();
    area->setWidget(content);
    area->setAccessibleName(content->accessibleName());
    m_pages[std::size_t(pane)] = content;
}

QWidget* SettingsWindow::paneContent(Pane pane) const
{
    return m_pages[std::size_t(pane)];
}

std::vector<Pane> SettingsWindow::listedPanes() const
{
    std::vector<Pane> out;
    for (int i = 0; i < m_sidebar->count(); ++i)
        out.push_back(Pane(m_sidebar->item(i)->data(Qt::UserRole).toInt()));
    return out;
}

Pane SettingsWindow::shownPane() const
{
    return Pane(m_stack->currentIndex());
}

void SettingsWindow::applySearch()
{
    // The sidebar holds only the matching panes, so the screen reader counts what is really there.
    const QSignalBlocker blocker(m_sidebar);
    m_sidebar->clear();
    for (Pane pane : matchingPanes(m_search->text())) {
        auto* item = new QListWidgetItem(paneInfo(pane).title, m_sidebar);
        item->setData(Qt::UserRole, int(pane));
    }
    applyNavigation();
}

void SettingsWindow::applyNavigation()
{
    const Pane highlighted = m_nawigacja.panelDoPodswietlenia();
    m_stack->setCurrentIndex(int(highlighted));
    // Orca names this container when the focus enters a pane: the pane's title, not "Panel".
    m_stack->setAccessibleName(paneInfo(highlighted).title);
    m_back->setEnabled(m_nawigacja.mozeWstecz());
    m_forward->setEnabled(m_nawigacja.mozeDalej());
    const QSignalBlocker blocker(m_sidebar);
    int row = -1;
    for (int i = 0; i < m_sidebar->count(); ++i)
        if (Pane(m_sidebar->item(i)->data(Qt::UserRole).toInt()) == highlighted)
            row = i;
    m_sidebar->setCurrentRow(row);
    // Orca names the list and its size on Tab, not its current item: the description says it.
    m_sidebar->setAccessibleDescription(QStringLiteral("Obecny panel: ") + paneInfo(highlighted).title);
}

void SettingsWindow::restoreGeometryOrCentre()
{
    const QVariant saved = m_preferences != nullptr ? m_preferences->value(QLatin1String(kGeometryKey)) : QVariant();
    if (saved.isValid() && restoreGeometry(QByteArray::fromBase64(saved.toString().toLatin1())))
        return;
    resize(800, 780);
    if (const QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
}

void SettingsWindow::saveGeometryNow()
{
    if (m_preferences != nullptr)
        m_preferences->setValue(QLatin1String(kGeometryKey), QString::fromLatin1(saveGeometry().toBase64()));
}

void SettingsWindow::closeEvent(QCloseEvent* event)
{
    saveGeometryNow();
    event->ignore();
    hide();
}

void SettingsWindow::hideEvent(QHideEvent* event)
{
    saveGeometryNow();
    // A search left over would hide panes the next time the window opens, without a word.
    if (!event->spontaneous())
        m_search->clear();
    QMainWindow::hideEvent(event);
}

} // namespace selvina::settingswindow

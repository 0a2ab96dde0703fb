#include "app/StatusItem.h"

#include "core/SidecarLog.h"
#include "platform/DesktopSession.h"

#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

namespace selvina::app {

StatusItem::StatusItem(platform::TrayHostWatch& host, QString iconPath, Actions actions, QObject* parent)
    : QObject(parent), m_iconPath(std::move(iconPath)), m_actions(std::move(actions))
{
    QPointer<StatusItem> self(this);
    host.whenReady([self] {
        if (self)
            self->create();
    });
}

StatusItem::~StatusItem() = default;

void StatusItem::create()
{
    if (m_tray)
        return;
    m_menu = std::make_unique<QMenu>();
    m_menu->setAccessibleName(QStringLiteral("Selvina Voice"));
    m_tray = std::make_unique<QSystemTrayIcon>(QIcon::fromTheme(QStringLiteral("selvina-voice"), QIcon(m_iconPath)));
    m_tray->setToolTip(QStringLiteral("Selvina Voice"));
    m_tray->setContextMenu(m_menu.get());
    if (m_actions.aboutToShow)
        connect(m_menu.get(), &QMenu::aboutToShow, this, [this] { m_actions.aboutToShow(); });
    rebuild();
    m_tray->show();
    logLine(QStringLiteral("[menu] ikona w zasobniku gotowa"));
}

void StatusItem::refresh(const Entries& entries)
{
    m_entries = entries;
    if (m_tray)
        rebuild();
}

void StatusItem::rebuild()
{
    // The menu is exported to the tray host as it stands; an action's text is its accessible name.
    m_menu->clear();
    const auto add = [this](const QString& text, const std::function<void()>& action) {
        QAction* a = m_menu->addAction(text);
        if (action)
            connect(a, &QAction::triggered, this, [action] { action(); }, Qt::QueuedConnection);
        return a;
    };
    if (m_entries.settings)
        add(QStringLiteral("Ustawienia"), m_actions.openSettings)->setShortcut(QKeySequence(QStringLiteral("Ctrl+,")));
    if (m_entries.openAIKeyMissing)
        add(QStringLiteral("Wpisz klucz OpenAI…"), m_actions.enterOpenAIKey);
    if (m_entries.missingPermissions) {
        m_menu->addSeparator();
        add(QStringLiteral("Brakuje uprawnień (%1) — otwórz Ustawienia").arg(*m_entries.missingPermissions),
            m_actions.openPermissionSettings);
    }
    QAction* wake = add(QStringLiteral("Reaguj na „hej Selvina”"), m_actions.przelaczZawolanie);
    wake->setCheckable(true);
    wake->setChecked(m_entries.zawolanie);
    if (m_entries.voiceEnrolment)
        add(QStringLiteral("Naucz się, jak wołam „hej Selvina”…"), m_actions.learnVoice);
    m_menu->addSeparator();
    add(QStringLiteral("Zakończ"), m_actions.quit)->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
}

} // namespace selvina::app

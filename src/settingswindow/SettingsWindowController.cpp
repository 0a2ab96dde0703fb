#include "settingswindow/SettingsWindowController.h"

#include "core/SidecarLog.h"
#include "settingswindow/Announcement.h"
#include "settingswindow/SettingsWindow.h"
#include "settingswindow/StartupPane.h"

#include <QAccessible>
#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMetaEnum>
#include <QProcess>
#include <QTimer>
#include <QToolBar>
#include <QWindow>

#include <cstring>

#include <xcb/xcb.h>

namespace selvina::settingswindow {

namespace {

QString roleName(QWidget* widget)
{
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(widget);
    if (a == nullptr)
        return QStringLiteral("-");
    const char* key = QMetaEnum::fromType<QAccessible::Role>().valueToKey(a->role());
    return key != nullptr ? QString::fromLatin1(key) : QString::number(a->role());
}

QString accessibleNameOf(QWidget* widget)
{
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(widget);
    return a != nullptr ? a->text(QAccessible::Name) : widget->accessibleName();
}

void dumpInto(QStringList& lines, QWidget* widget, int depth)
{
    QString line = QString(depth * 2, QLatin1Char(' ')) + QString::fromLatin1(widget->metaObject()->className())
                   + QStringLiteral(" role=") + roleName(widget) + QStringLiteral(" name=\"")
                   + accessibleNameOf(widget).left(80).replace(QLatin1Char('\n'), QLatin1Char(' ')) + QStringLiteral("\"");
    if (!widget->objectName().isEmpty() && !widget->objectName().startsWith(QStringLiteral("qt_")))
        line += QStringLiteral(" id=") + widget->objectName();
    if (widget->focusPolicy() & Qt::TabFocus)
        line += QStringLiteral(" tab");
    if (!widget->isVisible())
        line += QStringLiteral(" ukryty");
    if (!widget->isEnabled())
        line += QStringLiteral(" wyłączony");
    lines.append(line);
    for (QObject* child : widget->children())
        if (auto* w = qobject_cast<QWidget*>(child); w != nullptr && !w->isWindow())
            dumpInto(lines, w, depth + 1);
}

// On X11 the window manager lets a window take the focus when it carries the startup id that the
// launcher handed over; a window without one may be left behind others, unannounced.
void setStartupId(QWindow* window, const QByteArray& token)
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || token.isEmpty())
        return;
    xcb_connection_t* c = x11->connection();
    const auto atom = [c](const char* name) {
        xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t a = r != nullptr ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(r);
        return a;
    };
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, xcb_window_t(window->winId()), atom("_NET_STARTUP_ID"),
                        atom("UTF8_STRING"), 8, uint32_t(token.size()), token.constData());
    xcb_flush(c);
}

// Waits for the accessibility bridge of this process to come up, once. Qt connects to the
// accessibility bus only after the event loop has run a while; whatever the window did before that
// (shown, activated, focused) never reached the screen reader.
class BridgeUp : public QAccessible::ActivationObserver {
public:
    explicit BridgeUp(std::function<void()> then) : m_then(std::move(then)) { QAccessible::installActivationObserver(this); }
    void accessibilityActiveChanged(bool active) override
    {
        if (!active)
            return;
        QAccessible::removeActivationObserver(this);
        // Not from inside the bridge's own notification: the window's events must follow it.
        QTimer::singleShot(0, qApp, [then = std::move(m_then)] { then(); });
        delete this;
    }

private:
    std::function<void()> m_then;
};

} // namespace

QStringList viewTreeLines(QWidget* root)
{
    QStringList lines;
    auto* main = qobject_cast<QMainWindow*>(root);
    lines.append(QStringLiteral("okno: flags=0x%1 title=\"%2\" toolbar=%3 visible=%4 active=%5 role=%6 size=%7x%8")
                     .arg(QString::number(uint(root->windowFlags()), 16), root->windowTitle(),
                          main != nullptr && main->findChild<QToolBar*>() != nullptr ? QStringLiteral("true") : QStringLiteral("false"),
                          root->isVisible() ? QStringLiteral("true") : QStringLiteral("false"),
                          root->isActiveWindow() ? QStringLiteral("true") : QStringLiteral("false"), roleName(root))
                     .arg(root->width())
                     .arg(root->height()));
    for (QObject* child : root->children())
        if (auto* w = qobject_cast<QWidget*>(child); w != nullptr && !w->isWindow())
            dumpInto(lines, w, 1);
    return lines;
}

void startAgainAfterExit()
{
    // The new process waits for this one to end: only then is the bus name free, and a new start
    // would otherwise hand over to this instance and end itself.
    const QString program = QCoreApplication::applicationFilePath();
    QProcess::startDetached(QStringLiteral("/bin/sh"),
                            {QStringLiteral("-c"), QStringLiteral("while kill -0 \"$1\" 2>/dev/null; do sleep 0.2; done; exec \"$2\""),
                             QStringLiteral("sh"), QString::number(QCoreApplication::applicationPid()), program});
}

SettingsWindowController::SettingsWindowController(Options options, QObject* parent)
    : QObject(parent), m_options(std::move(options))
{
}

SettingsWindowController::~SettingsWindowController()
{
    delete m_window;
}

void SettingsWindowController::setPaneFactory(Pane pane, PaneFactory factory)
{
    if (m_window)
        m_window->setPaneContent(pane, factory());
    else
        m_factories[pane] = std::move(factory);
}

void SettingsWindowController::create()
{
    m_window = new SettingsWindow(m_nawigacja, m_options.preferences);
    if (m_options.launch != nullptr)
        m_window->setPaneContent(Pane::startup, new StartupPane(*m_options.launch, m_options.hotkeys));
    if (m_options.makeAudit)
        m_window->setPaneContent(Pane::privacy, new PermissionsPane(m_options.makeAudit, m_options.restart));
    if (m_options.developer != nullptr)
        m_window->setPaneContent(Pane::developer, new DeveloperPane(*m_options.developer, m_options.runLogPath));
    m_window->setPaneContent(Pane::about, new AboutPane(m_options.about));
    for (auto& [pane, factory] : m_factories)
        m_window->setPaneContent(pane, factory());
    m_factories.clear();
}

void SettingsWindowController::show(const QString& activationToken)
{
    // Raising a window that is already active sends the screen reader nothing.
    const bool alreadyActive = m_window && m_window->isVisible() && m_window->isActiveWindow();
    if (!m_window)
        create();
    const QByteArray token = activationToken.toUtf8();
    if (!token.isEmpty()) {
        // Wayland's XDG activation takes the token from the environment at the next activation.
        if (QGuiApplication::platformName() == u"wayland")
            qputenv("XDG_ACTIVATION_TOKEN", token);
        else
            setStartupId(m_window->windowHandle() != nullptr ? m_window->windowHandle()
                                                               : (m_window->winId(), m_window->windowHandle()),
                         token);
    }
    m_window->showNormal();
    m_window->raise();
    m_window->activateWindow();
    if (QWindow* handle = m_window->windowHandle())
        handle->requestActivate();
    // The screen reader starts in the search field.
    m_window->searchField()->setFocus(Qt::ActiveWindowFocusReason);
    if (alreadyActive)
        announceOpening();
    else if (!QAccessible::isActive() && !m_waitingForBridge) {
        m_waitingForBridge = true;
        QPointer<SettingsWindowController> self(this);
        new BridgeUp([self] {
            if (!self)
                return;
            self->m_waitingForBridge = false;
            if (self->m_window && self->m_window->isVisible())
                self->refocus();
        });
    }
}

void SettingsWindowController::announceOpening()
{
    QWidget* focused = QApplication::focusWidget();
    QString sentence = m_window->windowTitle() + QStringLiteral(", panel ") + paneInfo(m_window->shownPane()).title
                       + QLatin1Char('.');
    if (focused != nullptr && m_window->isAncestorOf(focused) && !focused->accessibleName().isEmpty())
        sentence += QLatin1Char(' ') + focused->accessibleName() + QLatin1Char('.');
    announce(m_window, sentence);
}

void SettingsWindowController::refocus()
{
    // Not active yet: its activation is still to come, and the reader hears that by itself.
    if (!m_window->isActiveWindow())
        return;
    // The focus event that the reader missed, sent again: it reads the window and the control.
    QWidget* focused = QApplication::focusWidget();
    if (focused == nullptr || !m_window->isAncestorOf(focused))
        focused = m_window->searchField();
    focused->clearFocus();
    focused->setFocus(Qt::ActiveWindowFocusReason);
    // Orca follows the focus but names no window it was not told was activated: the window, its
    // pane and the control are said as well.
    announceOpening();
}

void SettingsWindowController::dumpViewTree() const
{
    if (!m_window) {
        logLine(QStringLiteral("okno nie istnieje"));
        return;
    }
    for (const QString& line : viewTreeLines(m_window))
        logLine(line);
}

} // namespace selvina::settingswindow

#include "platform/linux/dbus/PortalShortcuts.h"

#include "core/SidecarLog.h"
#include "platform/linux/KeySymbols.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QPointer>

#include <chrono>

namespace selvina::platform {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

struct PortalShortcut {
    QString id;
    QVariantMap options;
};
using PortalShortcutList = QList<PortalShortcut>;

} // namespace

} // namespace selvina::platform

Q_DECLARE_METATYPE(selvina::platform::PortalShortcut)
Q_DECLARE_METATYPE(selvina::platform::PortalShortcutList)

namespace selvina::platform {

namespace {

QDBusArgument& operator<<(QDBusArgument& a, const PortalShortcut& s)
{
    a.beginStructure();
    a << s.id << s.options;
    a.endStructure();
    return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, PortalShortcut& s)
{
    a.beginStructure();
    a >> s.id >> s.options;
    a.endStructure();
    return a;
}

} // namespace

QString PortalShortcuts::remedy()
{
    return QStringLiteral("Ten pulpit nie pozwala aplikacjom przypisać własnego skrótu. Dodaj w ustawieniach "
                          "klawiatury skrót, który uruchamia polecenie selvina-voice — ponowne uruchomienie "
                          "przywołuje Selvinę.");
}

PortalShortcuts::PortalShortcuts(QDBusConnection connection, QObject* parent)
    : QObject(parent), m_connection(std::move(connection))
{
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<PortalShortcutList>();
    m_connection.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this, SLOT(onActivated(QDBusMessage)));
    probe();
}

PortalShortcuts::~PortalShortcuts()
{
    closeSession();
}

void PortalShortcuts::probe()
{
    if (!m_connection.isConnected()) {
        m_state = State::unavailable;
        return;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kInterface << QStringLiteral("version");
    auto* call = new QDBusPendingCallWatcher(m_connection.asyncCall(get, 5000), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, call] {
        call->deleteLater();
        const bool ok = call->reply().type() == QDBusMessage::ReplyMessage;
        m_state = ok ? State::available : State::unavailable;
        if (!ok) {
            logLine(QStringLiteral("[skrót] portal GlobalShortcuts niedostępny: ") + call->reply().errorMessage());
            refuseAll(QStringLiteral("brak portalu GlobalShortcuts"));
        } else if (!m_shortcuts.empty()) {
            rebind();
        }
    });
}

Status<HotkeyError> PortalShortcuts::grab(std::uint32_t id, std::uint32_t keyCode, std::uint32_t modifiers,
                                                           WhenTaken)
{
    if (m_state == State::unavailable)
        return HotkeyError::noPortal(remedy());
    if (portalTrigger(keyCode, modifiers).isEmpty())
        return HotkeyError::unknownKey(keyCode);
    // A key without modifiers (Escape) would be taken from every application for good, and each
    // binding asks the user to confirm: the portal is not asked for it.
    if (modifiers == 0)
        return HotkeyError::needsModifier();
    m_shortcuts[id] = {keyCode, modifiers};
    if (m_state == State::available)
        rebind();
    return Ok{};
}

void PortalShortcuts::release(std::uint32_t id)
{
    if (m_shortcuts.erase(id) == 0)
        return;
    if (m_state == State::available)
        rebind();
}

void PortalShortcuts::refuseAll(const QString& status)
{
    const auto shortcuts = std::exchange(m_shortcuts, {});
    for (const auto& [id, shortcut] : shortcuts)
        reportRefused(id, HotkeyError::portalRefused(status, remedy()));
}

void PortalShortcuts::closeSession()
{
    if (m_session.isEmpty())
        return;
    m_connection.asyncCall(QDBusMessage::createMethodCall(kService, m_session, kSession, QStringLiteral("Close")));
    m_session.clear();
}

QString PortalShortcuts::request(const QString& method, const QVariantList& leading, const QString& token,
                                 std::function<void(uint, const QVariantMap&)> onResponse)
{
    // The request object's path is known before the call, so its Response cannot be missed.
    QString sender = m_connection.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    m_pending[path] = std::move(onResponse);
    m_connection.connect(kService, path, kRequest, QStringLiteral("Response"), this, SLOT(onResponse(QDBusMessage)));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call.setArguments(leading);
    m_connection.asyncCall(call, 120000); // the portal may ask the user first
    return path;
}

void PortalShortcuts::rebind()
{
    // One session per set of shortcuts: a change opens a new session with all of them.
    closeSession();
    const quint64 generation = ++m_generation;
    if (m_shortcuts.empty())
        return;
    const QString token = QStringLiteral("selvina%1").arg(++m_tokens);
    const QVariantMap options{{QStringLiteral("handle_token"), token},
                              {QStringLiteral("session_handle_token"), QStringLiteral("selvina_session%1").arg(m_tokens)}};
    QPointer<PortalShortcuts> self(this);
    request(QStringLiteral("CreateSession"), {options}, token, [self, generation](uint response, const QVariantMap& results) {
        if (!self || generation != self->m_generation)
            return;
        if (response != 0) {
            self->refuseAll(QStringLiteral("portal odmówił sesji (%1)").arg(response));
            return;
        }
        self->m_session = results.value(QStringLiteral("session_handle")).toString();
        PortalShortcutList list;
        for (const auto& [id, s] : self->m_shortcuts)
            list.append({QString::number(id),
                         {{QStringLiteral("description"), QStringLiteral("Przywołaj Selvinę")},
                          {QStringLiteral("preferred_trigger"), portalTrigger(s.keyCode, s.modifiers)}}});
        const QString bindToken = QStringLiteral("selvina%1").arg(++self->m_tokens);
        self->request(QStringLiteral("BindShortcuts"),
                      {QVariant::fromValue(QDBusObjectPath(self->m_session)), QVariant::fromValue(list), QString(),
                       QVariantMap{{QStringLiteral("handle_token"), bindToken}}},
                      bindToken, [self, generation](uint bound, const QVariantMap&) {
                          if (!self || generation != self->m_generation)
                              return;
                          if (bound != 0)
                              self->refuseAll(QStringLiteral("użytkownik lub portal nie przypisał skrótu (%1)").arg(bound));
                          else
                              logLine(QStringLiteral("[skrót] portal przypisał skróty"));
                      });
    });
}

void PortalShortcuts::onResponse(const QDBusMessage& message)
{
    const auto it = m_pending.find(message.path());
    if (it == m_pending.end() || message.arguments().size() < 2)
        return;
    auto handler = std::move(it->second);
    m_pending.erase(it);
    m_connection.disconnect(kService, message.path(), kRequest, QStringLiteral("Response"), this,
                            SLOT(onResponse(QDBusMessage)));
    QVariantMap results;
    message.arguments().at(1).value<QDBusArgument>() >> results;
    handler(message.arguments().at(0).toUInt(), results);
}

void PortalShortcuts::onActivated(const QDBusMessage& message)
{
    const QVariantList args = message.arguments();
    if (args.size() < 2 || args.at(0).value<QDBusObjectPath>().path() != m_session || m_session.isEmpty())
        return;
    bool ok = false;
    const std::uint32_t id = args.at(1).toString().toUInt(&ok);
    if (ok && m_shortcuts.count(id) != 0)
        reportPressed(id, std::chrono::steady_clock::now());
}

} // namespace selvina::platform

#include "platform/linux/dbus/PortalShortcuts.h"

#include "core/SidecarLog.h"
#include "platform/linux/KeySymbols.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QPointer>
#include <QTimer>

#include <algorithm>

#include <chrono>

namespace selvina::platform {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");
// The session's token. KDE names the shortcuts' group after it when the application has no ID (not
// started from its desktop file), and keeps that group's keys in kglobalshortcutsrc: a token that
// changed between sessions would leave the old group holding the combination, and the new one
// would get no keys.
const QString kComponent = QStringLiteral("selvina_voice");

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

QString PortalShortcuts::cancelledRemedy()
{
    return QStringLiteral("Przypisanie skrótu anulowano w oknie pulpitu. Żeby spróbować jeszcze raz, wyłącz i włącz "
                          "skrót w Ustawieniach Selviny, w części Uruchamianie, i zatwierdź go w oknie pulpitu. Możesz "
                          "też dodać w ustawieniach klawiatury skrót, który uruchamia polecenie selvina-voice.");
}

QString PortalShortcuts::refusedRemedy()
{
    return QStringLiteral("Pulpit odmówił przypisania skrótu. Dodaj w ustawieniach klawiatury skrót, który uruchamia "
                          "polecenie selvina-voice — ponowne uruchomienie przywołuje Selvinę.");
}

QString PortalShortcuts::noKeysRemedy()
{
    return QStringLiteral("Pulpit przyjął skrót, ale bez klawiszy: tę kombinację zajmuje już inny program. Przypisz "
                          "klawisze w ustawieniach skrótów pulpitu, pozycja ") + kComponent
        + QStringLiteral(", albo wybierz inną kombinację w Ustawieniach Selviny, w części Uruchamianie.");
}

PortalShortcuts::PortalShortcuts(QDBusConnection connection, std::chrono::milliseconds probeTimeout, QObject* parent)
    : QObject(parent), m_connection(std::move(connection)), m_probeTimeout(probeTimeout)
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

void PortalShortcuts::probe(int attempt)
{
    if (!m_connection.isConnected()) {
        m_state = State::unavailable;
        return;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kInterface << QStringLiteral("version");
    // The bus starts the portal and its backends on this first call; at login, or on a busy machine,
    // that took over 5 s (measured with KDE's): only a clear answer means "no portal", a silence is
    // asked once more.
    auto* call = new QDBusPendingCallWatcher(m_connection.asyncCall(get, int(m_probeTimeout.count())), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, call, attempt] {
        call->deleteLater();
        const QDBusError error = call->error();
        const bool silent = error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout
                            || error.type() == QDBusError::TimedOut;
        if (silent && attempt == 0) {
            logLine(QStringLiteral("[skrót] portal nie odpowiada — pytam jeszcze raz"));
            probe(attempt + 1);
            return;
        }
        const bool ok = !call->isError();
        m_state = ok ? State::available : State::unavailable;
        if (!ok) {
            logLine(QStringLiteral("[skrót] portal GlobalShortcuts niedostępny: ") + error.message());
            refuseAll(QStringLiteral("brak portalu GlobalShortcuts"), remedy());
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
        scheduleRebind();
    return Ok{};
}

void PortalShortcuts::release(std::uint32_t id)
{
    if (m_shortcuts.erase(id) == 0)
        return;
    if (m_state == State::available)
        scheduleRebind();
}

void PortalShortcuts::scheduleRebind()
{
    // A change of combination is a release and a grab: one new session for both.
    if (std::exchange(m_rebindQueued, true))
        return;
    QTimer::singleShot(0, this, [this] {
        m_rebindQueued = false;
        rebind();
    });
}

void PortalShortcuts::refuseAll(const QString& status, const QString& sentence)
{
    const auto shortcuts = std::exchange(m_shortcuts, {});
    for (const auto& [id, shortcut] : shortcuts)
        reportRefused(id, HotkeyError::portalRefused(status, sentence));
}

QString PortalShortcuts::sentenceFor(uint response)
{
    // 1: the user closed the desktop's confirmation; 2 (or anything else): the portal failed or refused.
    return response == 1 ? cancelledRemedy() : refusedRemedy();
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
    // The portal may ask the user first. A call that fails outright sends no Response: it counts as
    // a refusal, or the user would never hear why the shortcut does nothing.
    auto* watcher = new QDBusPendingCallWatcher(m_connection.asyncCall(call, 120000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, path] {
        watcher->deleteLater();
        if (!watcher->isError())
            return;
        const auto it = m_pending.find(path);
        if (it == m_pending.end())
            return;
        logLine(QStringLiteral("[skrót] portal: ") + watcher->error().message());
        auto handler = std::move(it->second);
        m_pending.erase(it);
        m_connection.disconnect(kService, path, kRequest, QStringLiteral("Response"), this, SLOT(onResponse(QDBusMessage)));
        handler(2, {});
    });
    return path;
}

void PortalShortcuts::rebind()
{
    // One session per set of shortcuts: a change opens a new session with all of them.
    closeSession();
    const quint64 generation = ++m_generation;
    if (m_shortcuts.empty())
        return;
    PortalShortcutList list;
    for (const auto& [id, s] : m_shortcuts)
        list.append({QString::number(id),
                     {{QStringLiteral("description"), QStringLiteral("Przywołaj Selvinę")},
                      {QStringLiteral("preferred_trigger"), portalTrigger(s.keyCode, s.modifiers)}}});
    // KDE's portal 5.27 binds the shortcuts CreateSession carries and answers BindShortcuts with what
    // it holds, ignoring that call's list; later backends bind in BindShortcuts. Both get the list.
    const QString token = QStringLiteral("selvina%1").arg(++m_tokens);
    const QVariantMap options{{QStringLiteral("handle_token"), token},
                              {QStringLiteral("session_handle_token"), kComponent},
                              {QStringLiteral("shortcuts"), QVariant::fromValue(list)}};
    QPointer<PortalShortcuts> self(this);
    request(QStringLiteral("CreateSession"), {options}, token, [self, generation, list](uint response, const QVariantMap& results) {
        if (!self || generation != self->m_generation)
            return;
        if (response != 0) {
            self->refuseAll(QStringLiteral("portal odmówił sesji (%1)").arg(response), sentenceFor(response));
            return;
        }
        self->m_session = results.value(QStringLiteral("session_handle")).toString();
        const QString bindToken = QStringLiteral("selvina%1").arg(++self->m_tokens);
        self->request(QStringLiteral("BindShortcuts"),
                      {QVariant::fromValue(QDBusObjectPath(self->m_session)), QVariant::fromValue(list), QString(),
                       QVariantMap{{QStringLiteral("handle_token"), bindToken}}},
                      bindToken, [self, generation](uint bound, const QVariantMap& results) {
                          if (!self || generation != self->m_generation)
                              return;
                          if (bound != 0) {
                              self->refuseAll(QStringLiteral("użytkownik lub portal nie przypisał skrótu (%1)").arg(bound),
                                              sentenceFor(bound));
                              return;
                          }
                          self->checkTriggers(results);
                      });
    });
}

void PortalShortcuts::checkTriggers(const QVariantMap& results)
{
    // What the desktop bound, with the keys it gave each shortcut (the user may have chosen others
    // in the desktop's settings). A shortcut listed without keys lost its combination to another
    // program; one not listed at all was not bound.
    const auto it = results.constFind(QStringLiteral("shortcuts"));
    if (it == results.cend() || it->userType() != qMetaTypeId<QDBusArgument>()) {
        logLine(QStringLiteral("[skrót] portal przypisał skróty"));
        return;
    }
    PortalShortcutList bound;
    it->value<QDBusArgument>() >> bound;
    QStringList triggers;
    std::vector<std::uint32_t> keyless;
    for (const auto& [id, shortcut] : m_shortcuts) {
        const QString portalId = QString::number(id);
        const auto found = std::find_if(bound.cbegin(), bound.cend(), [&](const PortalShortcut& s) { return s.id == portalId; });
        const QString trigger = found == bound.cend() ? QString()
                                                      : found->options.value(QStringLiteral("trigger_description")).toString();
        if (trigger.isEmpty())
            keyless.push_back(id);
        else
            triggers << trigger;
    }
    if (!triggers.isEmpty())
        logLine(QStringLiteral("[skrót] portal przypisał skróty: ") + triggers.join(QStringLiteral(", ")));
    for (std::uint32_t id : keyless) {
        m_shortcuts.erase(id);
        reportRefused(id, HotkeyError::portalRefused(QStringLiteral("pulpit przyjął skrót bez klawiszy"), noKeysRemedy()));
    }
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

// The shortcuts portal's answers that KDE's real portal never gives in a test (a cancelled
// confirmation, a refusal, a shortcut bound without keys, a call that fails outright), from a portal
// of the test's own on a private bus: each reaches the user once, with what they can do about it;
// and what KDE 5.27 needs in the session request (the shortcuts, the stable session token).
#include "Processes.h"
#include "TestSupport.h"

#include "platform/linux/dbus/PortalShortcuts.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusMetaType>
#include <QDBusVirtualObject>

#include <gtest/gtest.h>

using namespace selvina;
using namespace selvina::testing;

namespace {

constexpr std::uint32_t kSpace = 49, kCtrlAltSuper = 0x1000 | 0x800 | 0x100;

struct BoundShortcut {
    QString id;
    QVariantMap options;
};

} // namespace

Q_DECLARE_METATYPE(BoundShortcut)
Q_DECLARE_METATYPE(QList<BoundShortcut>)

namespace {

QDBusArgument& operator<<(QDBusArgument& a, const BoundShortcut& s)
{
    a.beginStructure();
    a << s.id << s.options;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, BoundShortcut& s)
{
    a.beginStructure();
    a >> s.id >> s.options;
    a.endStructure();
    return a;
}

// Answers GlobalShortcuts calls as told: the response of CreateSession and of BindShortcuts, the
// trigger BindShortcuts reports, or a D-Bus error for CreateSession.
class StandInPortal : public QDBusVirtualObject {
public:
    uint sessionResponse = 0;
    uint bindResponse = 0;
    QString trigger = QStringLiteral("Meta+Ctrl+Alt+Space");
    bool failCreate = false;
    int unansweredProbes = 0;     // version questions left without an answer (a backend still starting)
    QVariantMap createOptions;    // what CreateSession carried
    QList<BoundShortcut> created; // its shortcuts

    explicit StandInPortal(QDBusConnection bus) : m_bus(std::move(bus)) {}
    void reset()
    {
        sessionResponse = bindResponse = 0;
        trigger = QStringLiteral("Meta+Ctrl+Alt+Space");
        failCreate = false;
        unansweredProbes = 0;
        createOptions.clear();
        created.clear();
    }
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection&) override
    {
        const QVariantList args = m.arguments();
        if (m.member() == u"Get") {
            if (unansweredProbes > 0) {
                --unansweredProbes;
                return true;
            }
            m_bus.send(m.createReply(QVariant::fromValue(QDBusVariant(uint(1)))));
        } else if (m.member() == u"CreateSession") {
            if (failCreate) {
                m_bus.send(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.Failed"), QStringLiteral("backend crashed")));
                return true;
            }
            args.value(0).value<QDBusArgument>() >> createOptions;
            createOptions.value(QStringLiteral("shortcuts")).value<QDBusArgument>() >> created;
            m_session = QStringLiteral("/org/freedesktop/portal/desktop/session/x/") +
                        createOptions.value(QStringLiteral("session_handle_token")).toString();
            answer(m, createOptions.value(QStringLiteral("handle_token")).toString(), sessionResponse,
                   {{QStringLiteral("session_handle"), m_session}});
        } else if (m.member() == u"BindShortcuts") {
            QVariantMap options;
            args.value(3).value<QDBusArgument>() >> options;
            QList<BoundShortcut> bound;
            for (const BoundShortcut& s : std::as_const(created))
                bound.append({s.id, {{QStringLiteral("description"), s.options.value(QStringLiteral("description"))},
                                     {QStringLiteral("trigger_description"), trigger}}});
            answer(m, options.value(QStringLiteral("handle_token")).toString(), bindResponse,
                   {{QStringLiteral("shortcuts"), QVariant::fromValue(bound)}});
        } else {
            m_bus.send(m.createReply());
        }
        return true;
    }
    // The desktop saw the key: Activated for the shortcut `id`.
    void activate(const QString& id)
    {
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/portal/desktop"),
                                                         QStringLiteral("org.freedesktop.portal.GlobalShortcuts"),
                                                         QStringLiteral("Activated"));
        signal << QVariant::fromValue(QDBusObjectPath(m_session)) << id << qulonglong(0) << QVariantMap();
        m_bus.send(signal);
    }

private:
    void answer(const QDBusMessage& call, const QString& token, uint response, const QVariantMap& results)
    {
        const QString sender = call.service().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
        const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
        m_bus.send(call.createReply(QVariant::fromValue(QDBusObjectPath(path))));
        QDBusMessage signal = QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
        signal << response << results;
        m_bus.send(signal);
    }
    QDBusConnection m_bus;
    QString m_session;
};

class PortalAnswers : public ::testing::Test {
protected:
    void SetUp() override
    {
        qDBusRegisterMetaType<BoundShortcut>();
        qDBusRegisterMetaType<QList<BoundShortcut>>();
        const QString address = startSessionBus(m_bus);
        ASSERT_FALSE(address.isEmpty());
        QDBusConnection portalSide = QDBusConnection::connectToBus(address, QStringLiteral("portal-side"));
        portal = std::make_unique<StandInPortal>(portalSide);
        ASSERT_TRUE(portalSide.registerVirtualObject(QStringLiteral("/org/freedesktop/portal/desktop"), portal.get()));
        ASSERT_TRUE(portalSide.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
        m_client = QDBusConnection::connectToBus(address, QStringLiteral("client-side"));
    }
    void TearDown() override
    {
        shortcuts.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("client-side"));
        QDBusConnection::disconnectFromBus(QStringLiteral("portal-side"));
        stopProcess(m_bus);
    }
    // Registers the default combination as id 7; the refusals and presses it reports are kept.
    void registerDefault()
    {
        shortcuts = std::make_unique<platform::PortalShortcuts>(m_client, std::chrono::milliseconds(500));
        shortcuts->setHandlers([this](std::uint32_t id, auto) { pressed.push_back(id); },
                               [this](std::uint32_t id, const platform::HotkeyError& e) { refusals.push_back({id, e.description()}); });
        ASSERT_TRUE(shortcuts->grab(7, kSpace, kCtrlAltSuper, platform::HotkeySource::WhenTaken::refuse).ok());
    }

    std::unique_ptr<StandInPortal> portal;
    std::unique_ptr<platform::PortalShortcuts> shortcuts;
    std::vector<std::pair<std::uint32_t, QString>> refusals;
    std::vector<std::uint32_t> pressed;

private:
    QProcess m_bus;
    QDBusConnection m_client{QString()};
};

TEST_F(PortalAnswers, TheSessionRequestCarriesWhatKdeNeedsAPressArrivesAndASlowPortalIsWaitedFor)
{
    registerDefault();
    ASSERT_TRUE(waitFor([&] { return !portal->created.isEmpty(); }, std::chrono::seconds(10)));
    // KDE 5.27 binds only what CreateSession carries, and names its group after the session token.
    EXPECT_EQ(portal->createOptions.value(QStringLiteral("session_handle_token")).toString(), u"selvina_voice");
    EXPECT_EQ(portal->created.first().id, u"7");
    EXPECT_EQ(portal->created.first().options.value(QStringLiteral("preferred_trigger")).toString(), u"CTRL+ALT+LOGO+space");
    settle(std::chrono::milliseconds(300));
    portal->activate(QStringLiteral("7"));
    EXPECT_TRUE(waitFor([&] { return pressed == std::vector<std::uint32_t>{7}; }, std::chrono::seconds(5)));
    EXPECT_TRUE(refusals.empty());

    // A portal that starts slowly (its first question unanswered) still gets the shortcut; one that
    // never answers is, in the end, no portal.
    shortcuts.reset();
    portal->reset();
    portal->unansweredProbes = 1;
    registerDefault();
    EXPECT_TRUE(waitFor([&] { return !portal->created.isEmpty(); }, std::chrono::seconds(10)));
    EXPECT_TRUE(refusals.empty());
    shortcuts.reset();
    portal->reset();
    portal->unansweredProbes = 2;
    registerDefault();
    ASSERT_TRUE(waitFor([&] { return !refusals.empty(); }, std::chrono::seconds(10)));
    EXPECT_EQ(refusals.front().second, platform::PortalShortcuts::remedy());
    EXPECT_TRUE(portal->created.isEmpty());
}

// Each way the portal says no, with the sentence the user hears; said once however late it comes.
TEST_F(PortalAnswers, ACancelledARefusedAKeylessAndAFailedBindingAreEachToldOnce)
{
    struct Case {
        const char* name;
        std::function<void(StandInPortal&)> set;
        QString sentence;
    };
    const std::vector<Case> cases{
        {"cancelled confirmation", [](StandInPortal& p) { p.bindResponse = 1; }, platform::PortalShortcuts::cancelledRemedy()},
        {"cancelled session", [](StandInPortal& p) { p.sessionResponse = 1; }, platform::PortalShortcuts::cancelledRemedy()},
        {"refused", [](StandInPortal& p) { p.bindResponse = 2; }, platform::PortalShortcuts::refusedRemedy()},
        {"bound without keys", [](StandInPortal& p) { p.trigger.clear(); }, platform::PortalShortcuts::noKeysRemedy()},
        {"failed call", [](StandInPortal& p) { p.failCreate = true; }, platform::PortalShortcuts::refusedRemedy()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        shortcuts.reset();
        portal->reset();
        refusals.clear();
        c.set(*portal);
        registerDefault();
        ASSERT_TRUE(waitFor([&] { return !refusals.empty(); }, std::chrono::seconds(10)));
        settle(std::chrono::milliseconds(300));
        ASSERT_EQ(refusals.size(), 1u);
        EXPECT_EQ(refusals.front().first, 7u);
        EXPECT_EQ(refusals.front().second, c.sentence);
    }
}

} // namespace

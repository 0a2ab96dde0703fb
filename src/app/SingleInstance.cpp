#include "app/SingleInstance.h"

#include "core/SidecarLog.h"

namespace selvina::app {

const QString SingleInstance::kWakeNotification = QStringLiteral("pl.korlund.selvinavoice.wake");
const QString SingleInstance::kBusName = QStringLiteral("pl.korlund.selvinavoice");

bool SingleInstance::settingsAsked(const QStringList& arguments, const QProcessEnvironment& environment)
{
    return arguments.mid(1).contains(QStringLiteral("--ustawienia"))
           || environment.value(QStringLiteral("SELVINA_SETTINGS")) == u"1";
}

bool SingleInstance::shortcutAsked(const QStringList& arguments)
{
    return arguments.mid(1).contains(QStringLiteral("--skrot"));
}

QVariantMap SingleInstance::wakePayload(bool settings, const QProcessEnvironment& environment, bool shortcut)
{
    QVariantMap payload;
    if (settings)
        payload.insert(QStringLiteral("settings"), QStringLiteral("1"));
    if (shortcut)
        payload.insert(QStringLiteral("shortcut"), QStringLiteral("1"));
    QString token = environment.value(QStringLiteral("XDG_ACTIVATION_TOKEN"));
    if (token.isEmpty())
        token = environment.value(QStringLiteral("DESKTOP_STARTUP_ID"));
    if (!token.isEmpty())
        payload.insert(QStringLiteral("activation_token"), token);
    return payload;
}

WakeRequest SingleInstance::wakeRequestFrom(const QVariantMap& payload)
{
    WakeRequest request;
    request.settings = payload.value(QStringLiteral("settings")).toString() == u"1";
    request.shortcut = payload.value(QStringLiteral("shortcut")).toString() == u"1";
    request.activationToken = payload.value(QStringLiteral("activation_token")).toString();
    return request;
}

SingleInstance::SingleInstance(platform::InstanceLock& lock, platform::NotificationBus& bus) : m_lock(lock), m_bus(bus) {}

SingleInstance::~SingleInstance()
{
    if (m_subscription != 0)
        m_bus.unsubscribe(m_subscription);
}

SingleInstance::Outcome SingleInstance::start(std::function<void(const WakeRequest&)> onWake, const QVariantMap& payloadIfSecond)
{
    // Listening starts before the name is claimed: a second start can only see the name taken
    // after that, so its wake request is never posted into a gap.
    m_subscription = m_bus.subscribe(kWakeNotification, [onWake = std::move(onWake)](const QVariantMap& payload) {
        onWake(wakeRequestFrom(payload));
    });
    switch (m_lock.claim()) {
    case platform::InstanceLock::Claim::owned:
        return Outcome::first;
    case platform::InstanceLock::Claim::noBus:
        logLine(QStringLiteral("[start] szyna sesji D-Bus nieosiągalna — nie sprawdzam, czy Selvina już działa"));
        return Outcome::alone;
    case platform::InstanceLock::Claim::heldByAnother:
        break;
    }
    m_bus.unsubscribe(std::exchange(m_subscription, 0));
    logLine(QStringLiteral("[start] Selvina już działa — przekazuję wywołanie i kończę"));
    m_bus.post(kWakeNotification, payloadIfSecond);
    m_lock.flush();
    return Outcome::handedOver;
}

void SingleInstance::release()
{
    m_lock.release();
}

void SingleInstance::reclaim()
{
    if (m_lock.claim() == platform::InstanceLock::Claim::heldByAnother)
        logLine(QStringLiteral("[start] po nieudanej aktualizacji nazwę zajął inny proces — druga Selvina może działać"));
}

} // namespace selvina::app

#include "app/ChatChannel.h"

#include "core/SidecarLog.h"

namespace selvina::app {

const QString ChatChannel::kInbound = QStringLiteral("pl.korlund.selvinavoice.chat.in");
const QString ChatChannel::kOutbound = QStringLiteral("pl.korlund.selvinavoice.chat.out");

bool ChatChannel::isEnabled()
{
    return qEnvironmentVariable("SELVINA_TEXT") == u"1";
}

ChatChannel::ChatChannel(platform::NotificationBus& bus, std::function<void(const QString&)> onCommand)
    : m_bus(bus), m_onCommand(std::move(onCommand))
{
}

ChatChannel::~ChatChannel()
{
    stop();
}

void ChatChannel::start()
{
    if (m_observer != 0)
        return;
    m_observer = m_bus.subscribe(kInbound, [this](const QVariantMap& payload) {
        const QVariant text = payload.value(QStringLiteral("text"));
        if (text.typeId() != QMetaType::QString || text.toString().isEmpty())
            return;
        m_onCommand(text.toString());
    });
    if (m_observer == 0)
        logLine(QStringLiteral("[tekst] szyna sesji D-Bus nieosiągalna — kanał tekstowy nie odbierze poleceń"));
    emit(ChatKind::ready, QStringLiteral("Kanał tekstowy gotowy."));
}

void ChatChannel::stop()
{
    if (m_observer != 0)
        m_bus.unsubscribe(m_observer);
    m_observer = 0;
}

void ChatChannel::emit(ChatKind kind, const QString& text, const QVariantMap& extra)
{
    QVariantMap payload = extra;
    payload.insert(QStringLiteral("rodzaj"), chatKindWireValue(kind));
    payload.insert(QStringLiteral("tresc"), text);
    m_bus.post(kOutbound, payload);
}

} // namespace selvina::app

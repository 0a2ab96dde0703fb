#include "voice/audio/StreamReopen.h"

#include <QTimer>

namespace selvina::voice {

QString soundServerGoneSentence()
{
    return QStringLiteral("Serwer dźwięku przestał działać i nie wrócił, więc kończę rozmowę.");
}

void StreamReopen::afterRestart(bool opened, std::uint64_t before, std::uint64_t now, std::chrono::milliseconds limit)
{
    if (opened) {
        this->opened(before, now);
        return;
    }
    if (m_active)
        return;
    m_active = true;
    m_lost = before;
    attempt(++m_generation, limit);
}

// A new connection number: the server was restarted in between, which the conversation says once.
void StreamReopen::opened(std::uint64_t before, std::uint64_t now)
{
    if (before == 0 || now == before)
        return;
    m_log.write(QStringLiteral("[SelvinaVoice] Serwer dźwięku uruchomiony ponownie — wznowione: ") + m_name);
    handoff::beforePost(handoff::queueOf(m_stream));
    QMetaObject::invokeMethod(m_stream, "soundServerBack", Qt::QueuedConnection, Q_ARG(quint64, now));
}

void StreamReopen::gaveUp()
{
    m_log.write(QStringLiteral("[SelvinaVoice] Serwer dźwięku nie wrócił — wyłączone: ") + m_name);
    handoff::beforePost(handoff::queueOf(m_stream));
    QMetaObject::invokeMethod(m_stream, "soundServerGone", Qt::QueuedConnection, Q_ARG(QString, soundServerGoneSentence()));
}

void StreamReopen::attempt(int generation, std::chrono::milliseconds left)
{
    QTimer::singleShot(kInterval, m_worker.context(), [this, generation, left] {
        if (generation != m_generation || !m_active)
            return;
        if (const std::optional<std::uint64_t> connection = m_reopen()) {
            m_active = false;
            opened(m_lost, *connection);
            return;
        }
        if (left <= kInterval) {
            m_active = false;
            gaveUp();
            return;
        }
        attempt(generation, left - kInterval);
    });
}

} // namespace selvina::voice

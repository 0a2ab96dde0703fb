#include "voice/audio/Sounds.h"

#include "core/Paths.h"
#include "core/SidecarLog.h"
#include "voice/audio/Pcm16.h"
#include "voice/audio/SpeakerPlayback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace selvina::voice {

const std::optional<QByteArray>& workSoundLoop()
{
    static const std::optional<QByteArray> loop = []() -> std::optional<QByteArray> {
        QFile file(QDir(paths::resourceDirectory()).filePath(QStringLiteral("praca.wav")));
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        return pcmFromWave(file.readAll());
    }();
    return loop;
}

CuePlayer::CuePlayer(platform::AudioDevices& devices, platform::SystemLog& log, QString resourceFolder)
    : m_devices(devices), m_log(log), m_folder(std::move(resourceFolder))
{
}

CuePlayer::~CuePlayer() = default;

QCoro::Task<> CuePlayer::play(Cue cue)
{
    const QString name = cue == Cue::interrupted ? QStringLiteral("przerwane") : QStringLiteral("koniec");
    const QString path = QDir(m_folder).filePath(name + QStringLiteral(".wav"));
    if (!QFileInfo::exists(path)) {
        logLine(QStringLiteral("[sygnał] brak pliku ") + name + QStringLiteral(".wav w zasobach"));
        co_return;
    }
    QFile file(path);
    std::optional<QByteArray> pcm;
    if (file.open(QIODevice::ReadOnly))
        pcm = pcmFromWave(file.readAll());
    if (!pcm) {
        logLine(QStringLiteral("[sygnał] nie udało się otworzyć ") + name + QStringLiteral(".wav"));
        co_return;
    }
    if (!m_playback) {
        SpeakerPlayback::Options options;
        options.role = QStringLiteral("event");
        m_playback = std::make_shared<SpeakerPlayback>(m_devices, nullptr, m_log, options);
    }
    // Held for the length of the cue, so a player dropped meanwhile frees nothing under it.
    std::shared_ptr<SpeakerPlayback> playback = m_playback;
    auto started = co_await playback->start();
    if (!started) {
        logLine(QStringLiteral("[sygnał] nie udało się otworzyć ") + name + QStringLiteral(".wav: ")
                + started.error().description());
        co_return;
    }
    ++m_playing;
    // Task first, then the await: GCC 12 destroys a temporary argument inside a co_await expression twice.
    auto enqueued = playback->enqueue(*pcm);
    co_await enqueued;
    co_await playback->waitUntilDrained();
    if (--m_playing == 0)
        co_await playback->stop();
}

} // namespace selvina::voice

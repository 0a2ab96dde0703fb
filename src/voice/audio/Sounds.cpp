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

struct CuePlayer::State {
    std::unique_ptr<SpeakerPlayback> playback; // none once the player has gone
    int playing = 0;
};

CuePlayer::CuePlayer(platform::AudioDevices& devices, platform::SystemLog& log, QString resourceFolder)
    : m_devices(devices), m_log(log), m_folder(std::move(resourceFolder)), m_state(std::make_shared<State>())
{
}

// The playback's own destructor stops its stream and releases its drain waiters, while the devices
// still exist; each cue still suspended wakes up later, finds no playback and ends.
CuePlayer::~CuePlayer() { m_state->playback.reset(); }

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
    // From the first suspension on, only `state` is touched: the player may be gone when we resume.
    const std::shared_ptr<State> state = m_state;
    if (!state->playback) {
        SpeakerPlayback::Options options;
        options.role = QStringLiteral("event");
        state->playback = std::make_unique<SpeakerPlayback>(m_devices, nullptr, m_log, options);
    }
    auto started = co_await state->playback->start();
    if (!state->playback)
        co_return;
    if (!started) {
        logLine(QStringLiteral("[sygnał] nie udało się otworzyć ") + name + QStringLiteral(".wav: ")
                + started.error().description());
        co_return;
    }
    ++state->playing;
    // Task first, then the await: GCC 12 destroys a temporary argument inside a co_await expression twice.
    auto enqueued = state->playback->enqueue(*pcm);
    co_await enqueued;
    if (state->playback)
        co_await state->playback->waitUntilDrained();
    if (!state->playback)
        co_return;
    if (--state->playing == 0)
        co_await state->playback->stop();
}

} // namespace selvina::voice

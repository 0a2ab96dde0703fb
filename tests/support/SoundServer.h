// A private PulseAudio server whose speakers and microphone are null sinks: what the speakers
// play can be recorded, and a tone can be spoken into the room the microphone hears.
// Thread: the test's main thread.
#pragma once

#include "PrivatePulseServer.h"
#include "Processes.h"

#include <QtEndian>

#include <cmath>
#include <memory>

namespace selvina::testing {

// PCM16 mono at 24 kHz: `seconds` of a 440 Hz tone at half scale.
inline QByteArray tone(double seconds)
{
    const int n = int(24000 * seconds);
    QByteArray pcm(n * 2, Qt::Uninitialized);
    for (int i = 0; i < n; ++i)
        qToLittleEndian(qint16(16000 * std::sin(2 * M_PI * 440 * i / 24000.0)), pcm.data() + 2 * i);
    return pcm;
}

inline double rms(const QByteArray& pcm16)
{
    const qsizetype n = pcm16.size() / 2;
    if (n == 0)
        return 0;
    double sum = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const double v = qFromLittleEndian<qint16>(pcm16.constData() + 2 * i) / 32768.0;
        sum += v * v;
    }
    return std::sqrt(sum / double(n));
}

// The conversation's room on a private PulseAudio server (the one launcher, PrivatePulseServer).
class SoundServer {
public:
    SoundServer()
        : m_pulse(QStringLiteral("load-module module-null-sink sink_name=speakers rate=48000 channels=2\n"
                                 "load-module module-null-sink sink_name=room rate=48000 channels=1\n"
                                 "load-module module-remap-source master=room.monitor source_name=mic\n"
                                 "set-default-sink speakers\nset-default-source mic"))
    {
    }
    ~SoundServer()
    {
        for (auto* p : {m_recorder.get(), m_player.get(), m_roomKeeper.get()})
            if (p != nullptr)
                stopProcess(*p);
    }
    bool up() const { return m_pulse.up(); }
    QString address() const { return m_pulse.address(); }
    // What the speakers play, as PCM16 mono at 24 kHz.
    void record()
    {
        m_recorder = m_pulse.pacat(
            QStringLiteral("--record -d speakers.monitor --raw --format=s16le --rate=24000 --channels=1 --latency-msec=20")
                .split(u' '));
        QObject::connect(m_recorder.get(), &QProcess::readyReadStandardOutput,
                         [this] { recorded += m_recorder->readAllStandardOutput(); });
    }
    // Someone speaking into the microphone: PCM16 mono at `rate` played into the room.
    void speakIntoRoom(const QByteArray& pcm16, int rate = 24000)
    {
        m_player = m_pulse.pacat(
            QStringLiteral("--playback -d room --raw --format=s16le --rate=%1 --channels=1").arg(rate).split(u' '));
        m_player->write(pcm16);
        m_player->closeWriteChannel();
    }
    // An idle null sink notices a new stream only after a while; silence played all along keeps the
    // room awake for cases whose words must arrive at once.
    void keepRoomAwake()
    {
        m_roomKeeper = m_pulse.pacat(QStringLiteral("--playback -d room --raw --latency-msec=20").split(u' '));
        m_roomKeeper->write(QByteArray(48000 * 4 * 120, '\0')); // two minutes
    }
    QByteArray recorded;

private:
    PrivatePulseServer m_pulse;
    std::unique_ptr<QProcess> m_recorder, m_player, m_roomKeeper;
};

} // namespace selvina::testing

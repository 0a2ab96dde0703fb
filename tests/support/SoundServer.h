// A private PulseAudio server whose speakers and microphone are null sinks: what the speakers
// play can be recorded, and a tone can be spoken into the room the microphone hears.
// Thread: the test's main thread.
#pragma once

#include "LoopbackRealtimeServer.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtEndian>

#include <cmath>

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

class SoundServer {
public:
    SoundServer()
    {
        m_socket = m_dir.filePath(QStringLiteral("native"));
        const QString config = m_dir.filePath(QStringLiteral("server.pa"));
        QFile f(config);
        f.open(QIODevice::WriteOnly);
        f.write(QStringLiteral("load-module module-null-sink sink_name=speakers rate=48000 channels=2\n"
                               "load-module module-null-sink sink_name=room rate=48000 channels=1\n"
                               "load-module module-remap-source master=room.monitor source_name=mic\n"
                               "set-default-sink speakers\nset-default-source mic\n"
                               "load-module module-native-protocol-unix auth-anonymous=1 socket=%1\n")
                    .arg(m_socket)
                    .toUtf8());
        f.close();
        m_env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + m_socket);
        m_env.insert(QStringLiteral("HOME"), m_dir.path());
        m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path());
        m_server.setProcessEnvironment(m_env);
        m_server.start(QStringLiteral("pulseaudio"),
                       {QStringLiteral("-n"), QStringLiteral("-F"), config, QStringLiteral("--daemonize=no"),
                        QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--realtime=no"),
                        QStringLiteral("--high-priority=no"), QStringLiteral("--log-level=error")});
        m_up = LoopbackRealtimeServer::waitFor([&] { return QFile::exists(m_socket); }, std::chrono::milliseconds(10000));
    }
    ~SoundServer()
    {
        for (QProcess* p : {&m_recorder, &m_player, &m_server}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(2000);
            }
        }
    }
    bool up() const { return m_up; }
    QString address() const { return QStringLiteral("unix:") + m_socket; }
    // What the speakers play, as PCM16 mono at 24 kHz.
    void record()
    {
        m_recorder.setProcessEnvironment(m_env);
        QObject::connect(&m_recorder, &QProcess::readyReadStandardOutput, [this] { recorded += m_recorder.readAllStandardOutput(); });
        m_recorder.start(QStringLiteral("pacat"), {QStringLiteral("--record"), QStringLiteral("-d"), QStringLiteral("speakers.monitor"),
                                                   QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
                                                   QStringLiteral("--rate=24000"), QStringLiteral("--channels=1"),
                                                   QStringLiteral("--latency-msec=20")});
    }
    // Someone speaking into the microphone: a tone played into the room.
    void speakIntoRoom(const QByteArray& pcm16)
    {
        m_player.setProcessEnvironment(m_env);
        m_player.start(QStringLiteral("pacat"), {QStringLiteral("--playback"), QStringLiteral("-d"), QStringLiteral("room"),
                                                 QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
                                                 QStringLiteral("--rate=24000"), QStringLiteral("--channels=1")});
        m_player.waitForStarted(3000);
        m_player.write(pcm16);
        m_player.closeWriteChannel();
    }
    QByteArray recorded;

private:
    QTemporaryDir m_dir;
    QString m_socket;
    QProcessEnvironment m_env = QProcessEnvironment::systemEnvironment();
    QProcess m_server, m_recorder, m_player;
    bool m_up = false;
};

} // namespace selvina::testing

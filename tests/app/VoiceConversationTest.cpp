// End to end with sound: selvina-voice (SELVINA_AUTOSTART=1) on a private PulseAudio server whose
// speakers and microphone are null sinks, against the loopback realtime server.
#include "AssistantProcess.h"

#include <QJsonDocument>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

using selvina::testing::AssistantProcess;
using selvina::testing::LoopbackRealtimeServer;

namespace {

bool wait(const std::function<bool()>& c, int ms = 15000)
{
    return LoopbackRealtimeServer::waitFor(c, std::chrono::milliseconds(ms));
}

// PCM16 mono at 24 kHz: `seconds` of a 440 Hz tone at half scale.
QByteArray tone(double seconds)
{
    const int n = int(24000 * seconds);
    QByteArray pcm(n * 2, Qt::Uninitialized);
    for (int i = 0; i < n; ++i)
        qToLittleEndian(qint16(16000 * std::sin(2 * M_PI * 440 * i / 24000.0)), pcm.data() + 2 * i);
    return pcm;
}

double rms(const QByteArray& pcm16)
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
        m_up = wait([&] { return QFile::exists(m_socket); }, 10000);
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

} // namespace

TEST(VoiceConversation, TheAssistantIsHeardAndHearsTheMicrophone)
{
    SoundServer sound;
    ASSERT_TRUE(sound.up());
    sound.record();

    LoopbackRealtimeServer* server = nullptr;
    QList<double> heard; // level of each microphone frame the service received
    AssistantProcess app(QStringLiteral(SELVINA_VOICE_BIN), [&](const QJsonObject& f) {
        const QString type = f["type"].toString();
        if (type == u"input_audio_buffer.append") {
            heard.append(rms(QByteArray::fromBase64(f["audio"].toString().toLatin1())));
        } else if (type == u"response.create") {
            // The greeting, spoken as 0.6 s of tone in 100 ms deltas.
            server->sendText(R"({"type":"response.created","response":{"id":"g"}})");
            const QByteArray voice = tone(0.6);
            for (qsizetype at = 0; at < voice.size(); at += 4800) {
                const QJsonObject delta{{"type", "response.output_audio.delta"},
                                        {"delta", QString::fromLatin1(voice.mid(at, 4800).toBase64())}};
                server->sendText(QJsonDocument(delta).toJson(QJsonDocument::Compact));
            }
            server->sendText(R"({"type":"response.done","response":{"status":"completed"}})");
        }
    });
    server = &app.server();
    ASSERT_TRUE(app.startBus());
    app.setVariable(QStringLiteral("SELVINA_TEXT"), QString());
    app.setVariable(QStringLiteral("SELVINA_AUTOSTART"), QStringLiteral("1"));
    app.setVariable(QStringLiteral("SELVINA_TRACE"), QStringLiteral("1"));
    app.setVariable(QStringLiteral("PULSE_SERVER"), sound.address());
    ASSERT_TRUE(app.startAssistant());

    // The greeting plays to its end, then the conversation listens.
    ASSERT_TRUE(wait([&] { return app.assistantStderr().contains("STAN: speaking → listening"); }))
        << app.assistantStderr().toStdString();
    const qsizetype silentFrames = heard.size();
    // 0.6 s of tone reached the speakers: count the 20 ms windows that are clearly loud.
    int loudWindows = 0;
    for (qsizetype at = 0; at + 960 <= sound.recorded.size(); at += 960)
        loudWindows += rms(sound.recorded.mid(at, 960)) > 0.2;
    std::printf("greeting heard: %d loud 20 ms windows of 30; %lld microphone frames sent before listening\n",
                loudWindows, static_cast<long long>(silentFrames));
    EXPECT_GE(loudWindows, 25) << sound.recorded.size() << " bytes recorded";
    EXPECT_LE(loudWindows, 32);

    // Speaking into the room now reaches the service as real sound.
    sound.speakIntoRoom(tone(1.0));
    ASSERT_TRUE(wait([&] {
        return std::any_of(heard.begin() + silentFrames, heard.end(), [](double level) { return level > 0.1; });
    }));
    EXPECT_EQ(app.stopAssistant(), 0) << app.assistantStderr().toStdString();
}

// End to end with sound: selvina-voice (SELVINA_AUTOSTART=1) on a private PulseAudio server whose
// speakers and microphone are null sinks, against the loopback realtime server.
#include "AssistantProcess.h"
#include "SoundServer.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

#include <cstdio>

using selvina::testing::AssistantProcess;
using selvina::testing::LoopbackRealtimeServer;
using selvina::testing::SoundServer;
using selvina::testing::rms;
using selvina::testing::tone;

namespace {

bool wait(const std::function<bool()>& c, int ms = 15000)
{
    return LoopbackRealtimeServer::waitFor(c, std::chrono::milliseconds(ms));
}

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

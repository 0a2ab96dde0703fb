// How the application opens and closes conversations: Escape, a session that is refused, and the
// text channel across an idle close — the real delegate, assembly and engine against the loopback
// server, silent audio, and a clock that moves only when the test says so.
#include "app/AppDelegate.h"

#include "ManualClock.h"
#include "TestSupport.h"
#include "core/SidecarLog.h"
#include "platform/fake/MemoryStores.h"
#include "platform/fake/NoAudioDevices.h"

#include <gtest/gtest.h>

using namespace selvina;
using namespace std::chrono_literals;
using namespace selvina::testing;

namespace {

// Delivers to its subscribers at once; keeps what was posted as "kind: text" lines.
struct MemoryBus final : platform::NotificationBus {
    bool post(const QString&, const QVariantMap& p) override { chatOut.append(p.value("rodzaj").toString() + ": " + p.value("tresc").toString()); return true; }
    int subscribe(const QString& name, Handler h) override { handlers.insert(++token, {name, std::move(h)}); return token; }
    void unsubscribe(int t) override { handlers.remove(t); }
    void deliver(const QString& name, const QVariantMap& payload)
    {
        for (const auto& [n, h] : handlers.values())
            if (n == name)
                h(payload);
    }
    QStringList chatOut;
    QMap<int, std::pair<QString, Handler>> handlers;
    int token = 0;
};

struct RecordingSpeech final : platform::SpeechSynthesizer {
    bool speak(const QString& text) override { said.append(text); return true; }
    QStringList said;
};

class Delegate : public ::testing::Test {
protected:
    void SetUp() override
    {
        qunsetenv("SELVINA_TEXT");
        // A service that configures every session and speaks every out-of-band sentence at once.
        server.setOnFrame([this](const QJsonObject& f) {
            if (f["type"] == "session.update" && f["session"].toObject().contains("instructions"))
                server.sendText(R"({"type":"session.updated"})");
            if (f["type"] == "response.create" && f["response"].toObject()["conversation"] == "none") {
                server.sendText(R"({"type":"response.created","response":{"id":"aside","conversation_id":null}})");
                server.sendText(R"({"type":"response.output_audio.delta","response_id":"aside","delta":"AQID"})");
                server.sendText(R"({"type":"response.done","response":{"id":"aside","status":"completed"}})");
            }
        });
        QProcessEnvironment env;
        env.insert("OPENAI_API_KEY", "sk-test");
        env.insert("SELVINA_OPENAI_BASE_URL", server.baseUrl().toString().replace("ws://", "http://"));
        delegate = std::make_unique<app::AppDelegate>(app::AppDelegate::Services{
            .composition = {.sources = {home.path(), &secrets, &preferences, env}, .systemLog = &systemLog, .clock = &clock},
            .bus = &bus, .speech = &speech, .cues = &cues});
        SidecarLog::shared().flush();
        logStart = readFile(SidecarLog::shared().filePath()).size();
        QObject::connect(delegate.get(), &app::AppDelegate::conversationClosed, [this] { ++closed; });
    }
    void TearDown() override
    {
        runTask(delegate->shutdown().then([] { return true; }));
        qunsetenv("SELVINA_TEXT");
    }
    void openListening()
    {
        delegate->beginSession();
        ASSERT_TRUE(reach(SessionState::listening, [&] { return asides() == 1; }));
    }
    int asides() const
    {
        int n = 0;
        for (const auto& f : server.framesOfType("response.create"))
            n += f["response"].toObject()["conversation"] == "none";
        return n;
    }
    bool reach(SessionState s, const std::function<bool()>& also = [] { return true; })
    {
        return waitFor([&] { return delegate->session().state() == s && also(); });
    }
    // Written, after its date and time, since the test began: one log serves the whole process.
    bool logged(const QString& line) const
    {
        SidecarLog::shared().flush();
        const QByteArray written = readFile(SidecarLog::shared().filePath()).mid(logStart);
        for (const QByteArray& l : written.split('\n'))
            if (QString::fromUtf8(l).section(QLatin1Char(' '), 2) == line)
                return true;
        return false;
    }

    QTemporaryDir home;
    LoopbackRealtimeServer server;
    ManualClock clock;
    platform::fake::MemorySecretStore secrets;
    platform::fake::MemoryPreferences preferences;
    platform::fake::MemorySystemLog systemLog;
    platform::fake::NoAudioDevices devices;
    MemoryBus bus;
    RecordingSpeech speech;
    voice::CuePlayer cues{devices, systemLog, home.filePath("no-sounds")}; // a cue shows in the log as missing
    std::unique_ptr<app::AppDelegate> delegate;
    int closed = 0;
    qsizetype logStart = 0;
};

const QString kEndCue = QStringLiteral("[sygnał] brak pliku koniec.wav w zasobach");

} // namespace

// Escape silences what can be silenced and keeps the conversation; in silence it closes it.
TEST_F(Delegate, EscapeInterruptsWhatIsAudibleAndClosesInSilence)
{
    openListening();
    server.sendText(R"({"type":"response.created","response":{"id":"r1","conversation_id":"conv"}})");
    server.sendText(R"({"type":"response.output_audio.delta","response_id":"r1","item_id":"i1","delta":"AQID"})");
    ASSERT_TRUE(reach(SessionState::speaking));

    runTask(delegate->escapePressed().then([] { return true; }));
    EXPECT_TRUE(logged("[esc] przerywalne: true (narzędzia: 0, mowa: true, czekam na model: false)"));
    EXPECT_TRUE(logged("[sygnał] brak pliku przerwane.wav w zasobach"));
    ASSERT_TRUE(reach(SessionState::listening));
    EXPECT_EQ(closed, 0);

    runTask(delegate->escapePressed().then([] { return true; }));
    EXPECT_TRUE(logged("[esc] przerywalne: false (narzędzia: 0, mowa: false, czekam na model: false)"));
    ASSERT_TRUE(waitFor([&] { return closed == 1; }));
    EXPECT_TRUE(logged(kEndCue));
    EXPECT_EQ(delegate->coordinator(), nullptr);
}

// A session the service refuses is said in Polish by the desktop's voice, and the conversation
// closes with the end cue after the sentence.
TEST_F(Delegate, RefusedSessionIsSaidThenEndsWithTheCue)
{
    openListening();
    server.closeClient(3000, QStringLiteral("invalid_request_error.invalid_api_key"));
    ASSERT_TRUE(waitFor([&] { return closed == 1; }));
    const QString sentence = "OpenAI odrzuciło klucz API. Sprawdź zmienną OPENAI_API_KEY albo plik konfiguracyjny.";
    EXPECT_EQ(speech.said, QStringList{sentence});
    EXPECT_TRUE(logged("[mowa] " + sentence));
    EXPECT_FALSE(logged(kEndCue)); // the sentence is still being said
    clock.advance(10s);
    EXPECT_TRUE(logged(kEndCue));
}

// With the text channel, the process stays usable after an idle close: a typed line opens the next
// conversation (without a greeting) and is answered; one typed while it has failed is told why.
TEST_F(Delegate, TypedLineAfterAnIdleCloseOpensTheNextConversation)
{
    qputenv("SELVINA_TEXT", "1");
    openListening();
    clock.advance(15s); // the farewell, heard at once
    ASSERT_TRUE(waitFor([&] { return closed == 1; }));
    EXPECT_EQ(asides(), 2);
    EXPECT_EQ(bus.chatOut.count("gotowe: Kanał tekstowy gotowy."), 1);

    bus.deliver("pl.korlund.selvinavoice.chat.in", {{"text", "Dzień dobry"}});
    ASSERT_TRUE(waitFor([&] { return server.handshakeCount() == 2 && !server.framesOfType("conversation.item.create").isEmpty(); }));
    const QJsonObject typed = server.framesOfType("conversation.item.create").last();
    EXPECT_EQ(typed["item"]["content"][0]["text"], "Dzień dobry");
    EXPECT_EQ(asides(), 2); // no second greeting
    EXPECT_TRUE(bus.chatOut.contains("user: Dzień dobry"));

    server.sendText(R"({"type":"response.done","response":{"status":"failed"}})");
    ASSERT_TRUE(reach(SessionState::failed));
    // The failed answer is said; the session goes on and takes the next line.
    bus.deliver("pl.korlund.selvinavoice.chat.in", {{"text", "Halo?"}});
    ASSERT_TRUE(waitFor([&] {
        const QJsonObject last = server.framesOfType("conversation.item.create").last();
        return last["item"]["content"][0]["text"] == "Halo?";
    }));
    EXPECT_TRUE(bus.chatOut.contains("user: Halo?"));
    EXPECT_EQ(speech.said, QStringList{"Model nie dokończył odpowiedzi: bez podanej przyczyny."});
}

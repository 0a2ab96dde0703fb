// The conversation against the loopback realtime server with the real engine, scripted audio and
// tools, and a clock that moves only when the test says so.
#include "conversation/Coordinator.h"

#include "EngineOptions.h"
#include "ManualClock.h"
#include "TestSupport.h"
#include "platform/fake/MemoryStores.h"
#include "voice/OpenAIRealtimeEngine.h"
#include "voice/audio/StreamReopen.h"

#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotimer.h>

#include <gtest/gtest.h>

using namespace selvina;
using namespace selvina::conversation;
using namespace std::chrono_literals;
using namespace selvina::testing;

namespace {

class ScriptedCapture final : public voice::AudioCapture {
    Q_OBJECT
public:
    void push(const QByteArray& frame) { m_frames.append(frame); Q_EMIT framesAvailable(); }
    std::optional<QByteArray> takeFrame() override { return m_frames.isEmpty() ? std::nullopt : std::optional(m_frames.takeFirst()); }
    std::optional<double> takeLevel() override { return std::nullopt; }
    QCoro::Task<Status<voice::MicrophoneCaptureError>> start() override { co_return Ok{}; }
    QCoro::Task<> stop() override { co_return; }

private:
    QList<QByteArray> m_frames;
};

// Drains at once unless held; a held drain ends on release(). Says the listener heard `heardMs`
// of the item last marked.
class ScriptedPlayback final : public voice::AudioPlayback {
    Q_OBJECT
public:
    std::optional<double> takeLevel() override { return std::exchange(m_level, std::nullopt); }
    void setLevel(double level) { m_level = level; Q_EMIT levelAvailable(); }
    QCoro::Task<> waitUntilDrained() override { if (hold) co_await qCoro(this, &ScriptedPlayback::released); }
    void release() { hold = false; Q_EMIT released(); }
    QCoro::Task<> enqueue(QByteArray) override { ++enqueued; co_return; }
    QCoro::Task<> flush() override { ++flushes; co_await QCoro::sleepFor(5ms); } // the sound server's round trip
    QCoro::Task<> startWorkSound(QByteArray) override { work.append("start"); co_return; }
    QCoro::Task<> stopWorkSound() override { work.append("stop"); co_return; }
    QCoro::Task<Status<voice::SpeakerPlaybackError>> start() override { co_return Ok{}; }
    QCoro::Task<> stop() override { co_return; }
    void markItemStart() override { marks.append(enqueued); }
    QCoro::Task<std::optional<qint64>> itemHeardMs() override { flushedBeforeAsked = flushes; co_return heardMs; }

    bool hold = false;
    int enqueued = 0, flushes = 0, flushedBeforeAsked = 0;
    QList<int> marks; // how many chunks had been enqueued at each mark
    std::optional<qint64> heardMs;
    QStringList work;
    std::optional<double> m_level;
Q_SIGNALS:
    void released();
};

// Answers at once, or, when it holds, once the test releases it.
class HeldTool final : public QObject, public tools::SelvinaTool {
    Q_OBJECT
public:
    explicit HeldTool(QString name) : m_name(std::move(name)) {}
    ToolDefinition definition() const override { return {m_name, "t", "{}", ActionClass::read}; }
    QCoro::Task<tools::ToolOutcome> execute(QString a) override { return execute(std::move(a), nullptr); }
    QCoro::Task<tools::ToolOutcome> execute(QString, std::shared_ptr<tools::CallCancellation> c) override
    {
        cancellation = std::move(c);
        if (holds)
            co_await qCoro(this, &HeldTool::released);
        co_return m_name + " gotowe\ndruga linia";
    }
    void release() { Q_EMIT released(); }
    bool holds = false;
    std::shared_ptr<tools::CallCancellation> cancellation;
    QString m_name;
Q_SIGNALS:
    void released();
};

struct AllowGate final : safety::SafetyGating {
    QCoro::Task<bool> authorize(ToolDefinition, QString) override { co_return true; }
    QCoro::Task<> record(ToolDefinition, QString, QString) override { co_return; }
};

const QByteArray kFrame(960, 'x');

class Conversation : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Every session is configured, the first and those after a reconnect.
        server.setOnFrame([this](const QJsonObject& f) {
            if (f["type"] == "session.update" && f["session"].toObject().contains("instructions") && autoConfigure)
                says(R"({"type":"session.updated"})");
        });
        slowA->holds = slowB->holds = true;
        registry->registerTools({fastTool, slowA, slowB});
    }
    // With `autoConfigure` off, the session is configured only when the test says so.
    void open(std::optional<bool> bargeIn = false)
    {
        auto o = engineOptions(server, clock);
        o.speech = voice::SpeechSettings();
        engine = std::make_shared<voice::OpenAIRealtimeEngine>(o);
        QObject::connect(engine.get(), &voice::VoiceEngine::voiceEvent, [this](const voice::VoiceEvent& e) { heard.append(e.kind); });
        coordinator = std::make_unique<Coordinator>(session, engine, capture, playback, registry,
                                                    std::make_shared<tools::ToolExecutor>(registry, std::make_shared<AllowGate>()),
                                                    AssistantAudio::played, systemLog,
                                                    Coordinator::Options{"Instrukcja", QByteArray(480, '\1'), &clock, bargeIn});
        coordinator->setObserver([this](ChatKind k, const QString& t) { reports.append(chatKindWireValue(k) + ": " + t); });
        coordinator->setOnFailure([this](const Coordinator::Failure& f) {
            failures.append(QString(f.alreadySpoken ? "again: " : "") + (f.endsConversation ? "ends: " : "") + f.sentence);
        });
        // As the application does: the conversation is closed, nothing more comes from it.
        coordinator->setOnIdleTimeout([this] { ++idleTimeouts; coordinator->setOnIdleTimeout(nullptr); });
        const auto started = runTask(coordinator->start());
        ASSERT_TRUE(started && started->ok());
        ASSERT_TRUE(!autoConfigure || waitFor([&] { return reports.contains("state: thinking"); }));
    }
    void openListening()
    {
        open();
        ASSERT_TRUE(answerAndListen());
    }
    void says(const QByteArray& frame) { server.sendText(frame); }
    void created(const char* id) { says(QByteArray(R"({"type":"response.created","response":{"id":")") + id + "\"}}"); }
    void chunk() { says(R"({"type":"response.output_audio.delta","delta":"AQID"})"); }
    void done(const char* status = "completed") { says(QByteArray(R"({"type":"response.done","response":{"status":")") + status + "\"}}"); }
    void userSpeech(const char* edge) { says(QByteArray(R"({"type":"input_audio_buffer.speech_)") + edge + R"(","item_id":"u1"})"); }
    void answer() { created("r"); chunk(); done(); }
    bool answerAndListen() { answer(); return reach(SessionState::listening); }
    // The start of an answer in the conversation, 200 ms of audio in item `item`, until it is heard.
    bool answerStarts(const QString& id, const QString& item)
    {
        says(QString(R"({"type":"response.created","response":{"id":"%1","conversation_id":"conv"}})").arg(id).toUtf8());
        says(QString(R"({"type":"response.output_audio.delta","response_id":"%1","item_id":"%2","delta":"%3"})")
                 .arg(id, item, QString::fromLatin1(QByteArray(9600, '\1').toBase64())).toUtf8());
        return reach(SessionState::speaking);
    }
    void toolCall(const char* id, const char* name)
    {
        says(QByteArray(R"({"type":"response.function_call_arguments.done","call_id":")") + id + R"(","name":")" + name
             + R"(","arguments":"{}"})");
    }
    QList<QJsonObject> sent(const char* type) const { return server.framesOfType(type); }
    // For checks that the time passing sends nothing.
    void advanceAndSettle(std::chrono::milliseconds d) { clock.advance(d); settle(); }
    bool reach(SessionState s) { return waitFor([&] { return session.state() == s; }); }
    bool running(std::size_t calls) { return waitFor([&] { return coordinator->runningToolCount() == calls; }); }
    bool slowCallsRun() { toolCall("a", "slow_a"); toolCall("b", "slow_b"); return running(2); }
    QStringList outputs() const
    {
        QStringList out;
        for (const auto& f : sent("conversation.item.create"))
            if (f["item"]["type"] == "function_call_output")
                out.append(f["item"]["call_id"].toString() + "=" + f["item"]["output"].toString());
        return out;
    }
    int asides(const QString& text) const
    {
        int n = 0;
        for (const auto& f : sent("response.create"))
            n += f["response"]["instructions"].toString().contains(text);
        return n;
    }
    // The audio frames the server received: "0" zero-filled, "x" as captured, else their size.
    QStringList sentFrames() const
    {
        QStringList out;
        for (const auto& f : sent("input_audio_buffer.append")) {
            const QByteArray pcm = QByteArray::fromBase64(f["audio"].toString().toLatin1());
            out.append(pcm.size() != kFrame.size() ? QString::number(pcm.size()) : pcm.count('\0') == pcm.size() ? "0" : "x");
        }
        return out;
    }
    bool turnDetectionOn() const
    {
        const QJsonObject update = sent("session.update").last();
        return update["session"]["audio"]["input"]["turn_detection"].isObject(); // null when off
    }

    LoopbackRealtimeServer server;
    bool autoConfigure = true;
    ManualClock clock;
    SessionModel session;
    platform::fake::MemorySystemLog systemLog;
    std::shared_ptr<ScriptedCapture> capture = std::make_shared<ScriptedCapture>();
    std::shared_ptr<ScriptedPlayback> playback = std::make_shared<ScriptedPlayback>();
    std::shared_ptr<tools::ToolRegistry> registry = std::make_shared<tools::ToolRegistry>();
    std::shared_ptr<HeldTool> fastTool = std::make_shared<HeldTool>("fast"), slowA = std::make_shared<HeldTool>("slow_a"),
                              slowB = std::make_shared<HeldTool>("slow_b");
    std::shared_ptr<voice::OpenAIRealtimeEngine> engine;
    std::unique_ptr<Coordinator> coordinator;
    QStringList reports;
    QStringList failures; // what the user was told, as the delegate hears of it
    QList<voice::VoiceEvent::Kind> heard; // what the engine reported
    int idleTimeouts = 0;
};

} // namespace

// The microphone is silenced until the first listening and while anything else goes on; a new
// speech that starts before the previous one's drain keeps the conversation speaking.
TEST_F(Conversation, MicrophoneIsSilencedUntilListeningAndWhileAnythingElseGoesOn)
{
    open();
    capture->push(kFrame); // before the first listening: greeting awaited
    ASSERT_TRUE(waitFor([&] { return sentFrames().size() == 1; }));
    playback->hold = true;
    answer();
    ASSERT_TRUE(reach(SessionState::speaking));
    created("r2");
    chunk();
    ASSERT_TRUE(waitFor([&] { return playback->enqueued == 2; }));
    playback->release(); // the first drain ends: it belongs to an older speech period
    settle();
    EXPECT_EQ(session.state(), SessionState::speaking); // the second answer is still playing
    done();
    ASSERT_TRUE(reach(SessionState::listening));
    capture->push(kFrame);
    playback->setLevel(0.3); // the tail of the speech is still loud
    capture->push(kFrame);
    playback->setLevel(0.0);
    toolCall("c1", "slow_a"); // a tool runs
    ASSERT_TRUE(reach(SessionState::thinking));
    capture->push(kFrame);
    slowA->release();
    ASSERT_TRUE(waitFor([&] { return outputs().size() == 1; }));
    capture->push(kFrame); // the model's answer to the result is awaited
    ASSERT_TRUE(waitFor([&] { return sentFrames().size() == 5; }));
    EXPECT_EQ(sentFrames(), (QStringList{"0", "x", "0", "0", "0"}));
    EXPECT_FALSE(reports.contains("state: failed"));
}

// With the switch on, the user's voice cuts the answer short; Escape does so always. Either way the
// answer is cancelled by its id, the speakers are flushed at once, and the answer is cut, in the
// model's memory, to what the speakers say was heard of it; speakers that cannot tell leave it whole.
TEST_F(Conversation, BargeInAndEscapeCutTheAnswerToWhatWasHeard)
{
    open(true);
    capture->push(kFrame);
    capture->push(kFrame);
    ASSERT_TRUE(waitFor([&] { return sentFrames().size() == 2; }));
    EXPECT_EQ(sentFrames(), (QStringList{"x", "x"}));
    answer(); // the greeting is no item of the conversation: not marked
    ASSERT_TRUE(reach(SessionState::listening));

    playback->hold = true;
    const auto interrupted = [&](const char* id, int truncations) {
        return waitFor([&] { return sent("conversation.item.truncate").size() == truncations; }) &&
               reach(SessionState::listening) && sent("response.cancel").last()["response_id"] == id;
    };
    ASSERT_TRUE(answerStarts("r1", "i1"));
    playback->heardMs = 50;
    userSpeech("started");
    ASSERT_TRUE(interrupted("r1", 1));
    EXPECT_EQ(playback->flushedBeforeAsked, 1) << "the flush does not wait for the figure";
    EXPECT_EQ(sent("conversation.item.truncate").last()["audio_end_ms"], 50); // the frame itself is the engine test's
    userSpeech("stopped");
    ASSERT_TRUE(reach(SessionState::thinking));

    ASSERT_TRUE(answerStarts("r2", "i2"));
    EXPECT_EQ(playback->marks, (QList<int>{1, 2})) << "each item marked just before its first chunk";
    playback->heardMs = 120;
    auto escape = coordinator->interruptSpeech();
    ASSERT_TRUE(interrupted("r2", 2));
    EXPECT_EQ(sent("conversation.item.truncate").last()["audio_end_ms"], 120);

    ASSERT_TRUE(answerStarts("r3", "i3"));
    playback->heardMs.reset();
    auto unknown = coordinator->interruptSpeech();
    settle();
    ASSERT_TRUE(interrupted("r3", 2));
    EXPECT_EQ(playback->flushes, 3);
}

// An idle conversation says goodbye after 15 s and closes once it is heard; the count starts only
// once the session is configured, and stops while the user talks, however long.
TEST_F(Conversation, IdleConversationSaysGoodbyeAndClosesOnceItIsHeard)
{
    autoConfigure = false;
    open();
    advanceAndSettle(60s); // a slow handshake: no farewell sent into nothing
    EXPECT_EQ(asides(Coordinator::kFarewell), 0);
    says(R"({"type":"session.updated"})");
    ASSERT_TRUE(waitFor([&] { return asides(Coordinator::kGreeting) == 1; }));
    ASSERT_TRUE(answerAndListen());

    userSpeech("started");
    ASSERT_TRUE(waitFor([&] { return heard.contains(voice::VoiceEvent::Kind::userSpeechStarted); }));
    advanceAndSettle(20s);
    EXPECT_EQ(asides(Coordinator::kFarewell), 0);
    EXPECT_EQ(session.state(), SessionState::listening);
    userSpeech("stopped");
    ASSERT_TRUE(reach(SessionState::thinking));
    ASSERT_TRUE(answerAndListen());

    clock.advance(14s);
    EXPECT_EQ(asides(Coordinator::kFarewell), 0);
    clock.advance(1s);
    ASSERT_TRUE(waitFor([&] { return asides(Coordinator::kFarewell) == 1; }));
    EXPECT_EQ(session.state(), SessionState::thinking);
    answer();
    ASSERT_TRUE(waitFor([&] { return idleTimeouts == 1; }));
    advanceAndSettle(30s); // neither the farewell limit nor the watchdog closes a second time
    EXPECT_EQ(idleTimeouts, 1);
}

// Neither the greeting nor the farewell is sent into a response still active; a farewell that
// never plays closes the conversation after 10 s, once.
TEST_F(Conversation, AsidesAreNotSentIntoAnActiveResponseAndAFarewellThatNeverPlaysClosesOnce)
{
    server.setOnFrame([this, first = true](const QJsonObject& f) mutable {
        if (f["type"] == "session.update" && std::exchange(first, false)) {
            created("r0");
            says(R"({"type":"session.updated"})");
        }
    });
    open();
    settle();
    EXPECT_EQ(asides(Coordinator::kGreeting), 0);
    done();
    ASSERT_TRUE(reach(SessionState::listening));
    // A response the server never finishes: the model is given up on after 12 s, then the
    // conversation falls idle while the engine still counts a response as active.
    created("stuck");
    ASSERT_TRUE(reach(SessionState::thinking));
    clock.advance(12s);
    ASSERT_TRUE(reach(SessionState::listening));
    advanceAndSettle(15s);
    EXPECT_EQ(asides(Coordinator::kFarewell), 0); // not sent into the active response
    clock.advance(9s);
    EXPECT_EQ(idleTimeouts, 0);
    clock.advance(1s);
    EXPECT_EQ(idleTimeouts, 1);
    clock.advance(60s);
    EXPECT_EQ(idleTimeouts, 1);
}

// A short call leaves no work sound and no corner; two long ones keep turn detection off and the
// work sound on until the last one answers.
TEST_F(Conversation, ToolCallsSignalWorkOnlyWhileTheyLast)
{
    openListening();
    bool wasWorking = false;
    QObject::connect(&session, &SessionModel::workingChanged, [&](bool w) { wasWorking |= w; });
    toolCall("f", "fast");
    ASSERT_TRUE(waitFor([&] { return outputs().size() == 1; }) && running(0));
    clock.advance(2s);
    EXPECT_TRUE(wasWorking);
    EXPECT_FALSE(session.working() || session.compact());
    EXPECT_FALSE(playback->work.contains("start"));
    playback->work.clear();
    ASSERT_TRUE(answerAndListen());

    ASSERT_TRUE(slowCallsRun());
    ASSERT_TRUE(waitFor([&] { return !turnDetectionOn(); })); // the switch-off reaches the server
    EXPECT_TRUE(session.working());
    clock.advance(350ms);
    EXPECT_EQ(playback->work, QStringList{"start"});
    clock.advance(450ms);
    EXPECT_TRUE(session.compact());
    slowA->release();
    ASSERT_TRUE(waitFor([&] { return outputs().size() == 2; }));
    settle();
    EXPECT_FALSE(turnDetectionOn());
    EXPECT_EQ(playback->work, QStringList{"start"});
    slowB->release();
    ASSERT_TRUE(running(0));
    EXPECT_TRUE(turnDetectionOn());
    EXPECT_EQ(playback->work, (QStringList{"start", "stop"}));
    EXPECT_FALSE(session.compact());
    EXPECT_EQ(session.state(), SessionState::thinking); // the model answers the results
    const QString answered = " gotowe\ndruga linia";
    EXPECT_EQ(outputs(), (QStringList{"f=fast" + answered, "a=slow_a" + answered, "b=slow_b" + answered}));
    EXPECT_TRUE(reports.contains("result: slow_a: slow_a" + answered));
    // Every result is followed by a response with the instruction to answer from it.
    EXPECT_EQ(asides(voice::OpenAIRealtimeEngine::kToolResultInstruction.left(40)), 3);
}

// Every call gets one result: two cut short by Escape (then the model is waited for), one of a tool
// nobody knows, and one whose tool never answers (the watchdog's, after 600 s).
TEST_F(Conversation, EveryCallIsAnsweredOnceAfterEscapeForAnUnknownToolOrByTheWatchdog)
{
    openListening();
    ASSERT_TRUE(slowCallsRun());
    auto first = coordinator->interruptSpeech();
    auto second = coordinator->interruptSpeech(); // a second Escape at once adds nothing
    ASSERT_TRUE(waitFor([&] { return outputs().size() == 2; }));
    settle();
    const QString t = Coordinator::kInterruptedByUserText;
    EXPECT_EQ(outputs(), (QStringList{"a=" + t, "b=" + t}));
    EXPECT_EQ(playback->flushes, 1);
    EXPECT_EQ(session.state(), SessionState::thinking);
    EXPECT_TRUE(turnDetectionOn());
    EXPECT_TRUE(slowA->cancellation->isCancelled() && slowB->cancellation->isCancelled()) << "told to stop their work";
    // The cancelled tools finish later; their answers are not sent a second time.
    slowA->release();
    slowB->release();
    settle();
    EXPECT_EQ(outputs().size(), 2);
    ASSERT_TRUE(answerAndListen());

    // Escape with nothing running sends no result.
    auto third = coordinator->interruptSpeech();
    settle();
    EXPECT_EQ(outputs().size(), 2);
    EXPECT_EQ(session.state(), SessionState::listening);

    toolCall("u", "no_such_tool");
    ASSERT_TRUE(waitFor([&] { return outputs().size() == 3; }));
    EXPECT_TRUE(outputs()[2].startsWith("u=Nie znam narzędzia no_such_tool")) << outputs()[2].toStdString();
    toolCall("h", "slow_a");
    ASSERT_TRUE(running(1));
    clock.advance(599s);
    EXPECT_EQ(outputs().size(), 3);
    clock.advance(1s);
    ASSERT_TRUE(waitFor([&] { return outputs().size() == 4; }));
    EXPECT_EQ(outputs()[3], "h=Zadanie nie zostało wykonane: warstwa namysłu nie odpowiedziała przez 600 sekund.");
    slowA->release(); // the tool's late answer is dropped
    settle();
    EXPECT_EQ(outputs().size(), 4);
}

// A failure is said once and lasts only until the session works again: a good answer, or a new
// session after a reconnect, which is not greeted again.
TEST_F(Conversation, FailuresAreSpokenOnceAndEndWhenTheSessionWorksAgain)
{
    openListening();
    done("failed");
    done("failed");
    ASSERT_TRUE(waitFor([&] { return failures.size() == 2; }));
    const QString failed = "Model nie dokończył odpowiedzi: bez podanej przyczyny.";
    EXPECT_EQ(failures, (QStringList{failed, "again: " + failed}));
    EXPECT_EQ(session.state(), SessionState::failed);
    EXPECT_TRUE(systemLog.lines.contains("[SelvinaVoice] Błąd warstwy głosowej: " + failed));
    clock.advance(60s); // while failed, it does not close by itself
    EXPECT_EQ(idleTimeouts, 0);
    ASSERT_TRUE(answerAndListen());

    coordinator->submitText("Która godzina?");
    created("r2");
    ASSERT_TRUE(reach(SessionState::thinking));
    server.dropClient();
    ASSERT_TRUE(reach(SessionState::failed));
    clock.advance(1s); // the back-off before the reconnect
    // The new session is configured, told what was said, and asked again for the lost answer.
    ASSERT_TRUE(reach(SessionState::thinking));
    EXPECT_EQ(failures.last(), "Połączenie z OpenAI zostało przerwane: Problem z siecią: serwer zerwał połączenie. "
                               "Próbuję połączyć się ponownie.");
    ASSERT_TRUE(answerAndListen());
    EXPECT_EQ(asides(Coordinator::kGreeting), 1);
    clock.advance(15s);
    ASSERT_TRUE(waitFor([&] { return asides(Coordinator::kFarewell) == 1; }));
    EXPECT_TRUE(runTask(coordinator->stop().then([] { return true; })).has_value());
}

// A failed answer is said, and the session it came on takes the next typed line and the next
// speech as usual; only a lost session (here: reconnecting) refuses a line.
TEST_F(Conversation, AFailedAnswerIsSaidAndTheNextLineOrSpeechGoesOnTheSameSession)
{
    openListening();
    const QString failed = "Model nie dokończył odpowiedzi: bez podanej przyczyny.";
    const auto typed = [&] {
        QStringList texts;
        for (const auto& f : sent("conversation.item.create"))
            if (f["item"]["role"] == "user")
                texts.append(f["item"]["content"][0]["text"].toString());
        return texts;
    };
    done("failed");
    ASSERT_TRUE(reach(SessionState::failed));
    coordinator->submitText("Która godzina?");
    ASSERT_TRUE(waitFor([&] { return typed() == QStringList{"Która godzina?"}; }));
    EXPECT_EQ(session.state(), SessionState::thinking);
    // The same failure again after a new question is said again: the user asked again.
    done("failed");
    ASSERT_TRUE(waitFor([&] { return failures.size() == 2; }));
    EXPECT_EQ(failures, (QStringList{failed, failed}));
    userSpeech("started");
    ASSERT_TRUE(reach(SessionState::listening));
    userSpeech("stopped");
    ASSERT_TRUE(reach(SessionState::thinking));
    EXPECT_FALSE(reports.join('\n').contains(Coordinator::kLineNotSent));

    server.dropClient();
    ASSERT_TRUE(reach(SessionState::failed));
    coordinator->submitText("Halo?");
    EXPECT_TRUE(reports.last().startsWith("error: " + Coordinator::kLineNotSent + "Połączenie z OpenAI zostało przerwane"))
        << reports.last().toStdString();
    clock.advance(1s); // the back-off before the reconnect
    ASSERT_TRUE(reach(SessionState::thinking));
    EXPECT_FALSE(typed().contains("Halo?"));
}

// The microphone and the speakers each report the restarted server they reopened on: the user
// hears of it once, and the conversation goes on; a server that stays away ends it, said once.
TEST_F(Conversation, ARestartedSoundServerIsSaidOnceAndOneThatStaysAwayEndsTheConversation)
{
    openListening();
    Q_EMIT capture->soundServerBack(2);
    Q_EMIT playback->soundServerBack(2);
    settle();
    EXPECT_EQ(failures, QStringList{Coordinator::kSoundServerBack});
    ASSERT_TRUE(answerAndListen());
    Q_EMIT playback->soundServerBack(3);
    Q_EMIT playback->soundServerGone(voice::soundServerGoneSentence());
    Q_EMIT capture->soundServerGone(voice::soundServerGoneSentence());
    settle();
    EXPECT_EQ(failures, (QStringList{Coordinator::kSoundServerBack, Coordinator::kSoundServerBack,
                                     "ends: " + voice::soundServerGoneSentence()}));
    EXPECT_EQ(session.state(), SessionState::failed);
}

#include "CoordinatorTest.moc"

// End to end: selvina-voice in text mode and selvina-chat on a private D-Bus session, against the
// loopback realtime server.
#include "AssistantProcess.h"
#include "TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace selvina::testing;

namespace {

class Script {
public:
    explicit Script(LoopbackRealtimeServer*& server) : m_server(server) {}
    void operator()(const QJsonObject& f)
    {
        const QString type = f["type"].toString();
        if (type == u"conversation.item.create") {
            m_lastItem = f["item"].toObject();
            return;
        }
        if (type != u"response.create")
            return;
        if (f["response"].toObject()["conversation"].toString() == u"none") {
            answer(QStringLiteral("Słucham, w czym mogę pomóc?"));
            return;
        }
        if (m_lastItem["type"].toString() == u"function_call_output") {
            answer(m_lastItem["call_id"].toString() == u"c2" ? QStringLiteral("Masz trzy pliki.") : QStringLiteral("Jest południe."));
            return;
        }
        const QString text = m_lastItem["content"].toArray()[0].toObject()["text"].toString();
        if (text == u"Która godzina?")
            return m_server->callTool(QStringLiteral("c1"), QStringLiteral("system_info"), QStringLiteral(R"({"query":"datetime"})"));
        if (text == u"Ile mam dokumentów?")
            return m_server->callTool(QStringLiteral("c2"), QStringLiteral("delegate_task"),
                                      QStringLiteral(R"({"task":"Policz pliki w ~/Dokumenty"})"));
        answer(QStringLiteral("Dzień dobry, słucham."));
    }

private:
    void say(const QByteArray& frame) { m_server->sendText(frame); }
    void answer(const QString& transcript)
    {
        say(R"({"type":"response.created","response":{"id":"r"}})");
        const QJsonObject done{{"type", "response.output_audio_transcript.done"}, {"transcript", transcript}};
        say(QJsonDocument(done).toJson(QJsonDocument::Compact));
        say(R"({"type":"response.done","response":{"status":"completed"}})");
    }
    LoopbackRealtimeServer*& m_server;
    QJsonObject m_lastItem;
};

class Chat {
public:
    explicit Chat(const QProcessEnvironment& env)
    {
        m_process.setProcessEnvironment(env);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
            while (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine().trimmed();
                lines.append(QJsonDocument::fromJson(line).object());
                raw.append(QString::fromUtf8(line));
            }
        });
        m_process.start(QStringLiteral(SELVINA_CHAT_BIN), {});
    }
    ~Chat() { stopProcess(m_process); }
    void type(const QByteArray& line) { m_process.write(line + '\n'); }
    void endInput() { m_process.closeWriteChannel(); }
    bool finished() const { return m_process.state() == QProcess::NotRunning; }
    int exitCode() const { return m_process.exitCode(); }
    QStringList of(const QString& rodzaj) const
    {
        QStringList out;
        for (const auto& l : lines)
            if (l["rodzaj"] == rodzaj)
                out.append(l["tresc"].toString());
        return out;
    }
    QList<QJsonObject> lines;
    QStringList raw;

private:
    QProcess m_process;
};

bool wait(const std::function<bool()>& c, int s = 10) { return waitFor(c, std::chrono::seconds(s)); }

} // namespace

TEST(TextChannel, TypedQuestionsAndAToolCallTravelThroughTheRealAssistantAndBadNotificationsAreHarmless)
{
    LoopbackRealtimeServer* server = nullptr;
    Script script(server);
    AssistantProcess app(QStringLiteral(SELVINA_VOICE_BIN), [&script](const QJsonObject& f) { script(f); });
    server = &app.server();
    // The real sidecar runs, with a stand-in for Claude Code first on the search path.
    app.setVariable(QStringLiteral("PATH"), QStringLiteral(SELVINA_FAKE_AGENTS ":") + qEnvironmentVariable("PATH"));
    ASSERT_TRUE(app.startBus());
    {
        // Nobody listens: the client gives up after its wait and says nothing false.
        Chat lonely(app.environment());
        lonely.type("Halo?");
        lonely.endInput();
        ASSERT_TRUE(wait([&] { return lonely.finished(); }));
        EXPECT_TRUE(lonely.lines.isEmpty());
    }

    Chat chat(app.environment());
    // The client must be listening before the assistant announces itself.
    auto bus = QDBusConnection::connectToBus(app.busAddress(), QStringLiteral("e2e"));
    ASSERT_TRUE(wait([&] { return bus.interface()->registeredServiceNames().value().filter(":").size() >= 2; }));
    settle(std::chrono::milliseconds(300));

    ASSERT_TRUE(app.startAssistant());
    ASSERT_TRUE(wait([&] { return chat.of("gotowe").size() == 1; })) << app.assistantStderr().toStdString();
    EXPECT_EQ(chat.raw.first(), QString::fromUtf8(R"({"rodzaj":"gotowe","tresc":"Kanał tekstowy gotowy."})"));
    // The script answers only an out-of-band request; the greeting's sentence is CoordinatorTest's.
    ASSERT_TRUE(wait([&] { return chat.of("assistant").count("Słucham, w czym mogę pomóc?") == 1; }));

    // Notifications that carry no typed text are dropped; the typed question after them is answered.
    const auto post = [&](const QVariant& payload) {
        QDBusMessage m = QDBusMessage::createSignal("/pl/korlund/selvinavoice", "pl.korlund.selvinavoice.Notifications", "Posted");
        m << QStringLiteral("pl.korlund.selvinavoice.chat.in") << payload;
        bus.send(m);
    };
    post(QVariant::fromValue(QVariantMap{{"inny", "x"}})); // no "text"
    post(QVariant::fromValue(QVariantMap{{"text", ""}}));  // empty
    post(QVariant::fromValue(QVariantMap{{"text", 42}}));  // not a string
    post(QStringLiteral("zamiast słownika"));              // not a dictionary at all
    settle(std::chrono::milliseconds(500));
    EXPECT_TRUE(server->framesOfType("conversation.item.create").isEmpty());

    chat.type("Dzień dobry");
    ASSERT_TRUE(wait([&] { return chat.of("assistant").count("Dzień dobry, słucham.") == 1; }));

    chat.type("Która godzina?");
    ASSERT_TRUE(wait([&] { return chat.of("assistant").count("Jest południe.") == 1; }));
    EXPECT_EQ(chat.of("tool"), QStringList{R"(system_info {"query":"datetime"})"});
    ASSERT_EQ(chat.of("result").size(), 1);
    // The item the assistant sent back for a tool call.
    const auto output = [&](const char* callId) { return server->toolOutput(QString::fromLatin1(callId)).value_or(QStringLiteral("(none)")); };
    EXPECT_EQ("system_info: " + output("c1"), chat.of("result")[0]);

    // A task for the agent: the real runtime, the real sidecar, the stand-in agent, and its final
    // text back to the service as the call's output.
    chat.type("Ile mam dokumentów?");
    ASSERT_TRUE(wait([&] { return chat.of("assistant").count("Masz trzy pliki.") == 1; }, 20)) << chat.raw.join('\n').toStdString();
    EXPECT_EQ(output("c2"), "W Dokumentach są [[CYTAT]]3 pliki[[/CYTAT]].");
    EXPECT_TRUE(chat.of("tool").contains("agent → Uruchamiam polecenie: Liczę pliki w Dokumentach")) << chat.raw.join('\n').toStdString();

    EXPECT_EQ(chat.of("user"), (QStringList{"Dzień dobry", "Która godzina?", "Ile mam dokumentów?"}));
    EXPECT_TRUE(wait([&] { return chat.of("state").last() == "listening"; }));
    EXPECT_EQ(chat.of("error").size(), 0) << chat.raw.join('\n').toStdString();

    // Input ends after the last answer: the client leaves on its own.
    chat.endInput();
    ASSERT_TRUE(wait([&] { return chat.finished(); }));
    EXPECT_EQ(chat.exitCode(), 0);
    EXPECT_EQ(app.stopAssistant(), 0) << app.assistantStderr().toStdString();
}

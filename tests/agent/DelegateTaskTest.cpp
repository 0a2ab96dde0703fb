#include "SidecarFixture.h"

#include "agent/AgentBridge.h"
#include "tools/DelegateTaskTool.h"

using namespace selvina;
using namespace selvina::testing;
using namespace std::chrono_literals;

namespace {

const QString kCancelled = QStringLiteral("ok:Zadanie zostało przerwane przez użytkownika, zanim się skończyło.");

class DelegateTask : public SidecarFixture {
protected:
    void SetUp() override
    {
        SidecarFixture::SetUp();
        m_runtime.reset();
        m_bridge = std::make_unique<agent::ClaudeAgentBridge>(m_clock, agent::SidecarRuntime::Options{{m_sidecar}});
        m_tool = std::make_unique<tools::DelegateTaskTool>(
            m_bridge.get(), [this](const QString& t) { m_notes.append("p:" + t); },
            [this](const QString& t) { m_notes.append("a:" + t); });
    }
    void TearDown() override { m_tool.reset(); m_bridge.reset(); }

    struct Call {
        std::optional<tools::ToolOutcome> outcome;
        QCoro::Task<> task;
        // "ok:" and the answer, or "error:" and the sentence, once the call has ended.
        QString settled() const
        {
            if (!waitUntil([&] { return outcome.has_value(); }))
                return QStringLiteral("(still running)");
            return outcome->ok() ? "ok:" + outcome->value() : "error:" + outcome->error().description();
        }
    };
    std::unique_ptr<Call> call(const QString& arguments,
                               std::shared_ptr<tools::CallCancellation> cancel = std::make_shared<tools::CallCancellation>())
    {
        auto c = std::make_unique<Call>();
        c->task = m_tool->execute(arguments, cancel).then([raw = c.get()](tools::ToolOutcome o) { raw->outcome = std::move(o); });
        return c;
    }
    // The id of the next task the sidecar is handed, its latest line then.
    QString runId()
    {
        EXPECT_TRUE(waitReceived(QStringLiteral("run"), ++m_runs));
        return received().last().value("id").toString();
    }
    int m_runs = 0;

    std::unique_ptr<agent::ClaudeAgentBridge> m_bridge;
    std::unique_ptr<tools::DelegateTaskTool> m_tool;
    QStringList m_notes;
};

} // namespace

TEST_F(DelegateTask, PassesNotesOnGrantsStepsAndReturnsTheAnswer)
{
    for (const char* bad : {"{\"task\":\"  \\n \"}", "{}", "nie json", "{\"task\":3}"})
        EXPECT_EQ(call(QString::fromUtf8(bad))->settled(), QStringLiteral("error:Nieprawidłowe argumenty: brak pola „task”")) << bad;
    auto c = call(QStringLiteral(R"({"task":" Sprawdź pocztę "})"));
    const QString id = runId();
    EXPECT_EQ(received().last().value("task").toString(), QStringLiteral(" Sprawdź pocztę ")) << "passed as received";
    const QByteArray q = id.toUtf8();
    say(R"({"type":"progress","id":")" + q + R"(","text":"łączę"})");
    say(R"({"type":"activity","id":")" + q + R"(","text":"czytam skrzynkę"})");
    say(R"({"type":"confirm_required","id":")" + q + R"(","intent":"usuń spam"})");
    ASSERT_TRUE(waitReceived(QStringLiteral("confirm")));
    EXPECT_EQ(received().last(), (QJsonObject{{"type", "confirm"}, {"id", id}, {"approved", true}}));
    say(R"({"type":"finished","id":")" + q + R"(","text":"Masz [[CYTAT]]2[[/CYTAT]] wiadomości."})");
    EXPECT_EQ(c->settled(), QStringLiteral("ok:Masz [[CYTAT]]2[[/CYTAT]] wiadomości."));
    EXPECT_EQ(m_notes, (QStringList{"p:łączę", "a:czytam skrzynkę"}));

    auto failing = call(QStringLiteral(R"({"task":"coś"})"));
    const QByteArray f = runId().toUtf8();
    say(R"({"type":"failed","id":")" + f + R"(","error":"Brak dostępu."})");
    EXPECT_EQ(failing->settled(), QStringLiteral("error:Nie udało się wykonać: Brak dostępu."));
}

TEST_F(DelegateTask, CancellingTheCallCancelsTheTaskOnceOrNeverHandsItOverAndAGoneSidecarIsNotConfirmed)
{
    auto cancel = std::make_shared<tools::CallCancellation>();
    auto c = call(QStringLiteral(R"({"task":"długie"})"), cancel);
    const QString id = runId();
    cancel->cancel();
    EXPECT_EQ(c->settled(), kCancelled);
    ASSERT_TRUE(waitReceived(QStringLiteral("cancel")));
    EXPECT_EQ(received().last(), (QJsonObject{{"type", "cancel"}, {"id", id}}));

    // Cancelled in the loop turn before the runtime is handed the task: the sidecar never hears of
    // it, neither a run nor a cancel.
    auto early = std::make_shared<tools::CallCancellation>();
    auto withdrawn = call(QStringLiteral(R"({"task":"odwołane"})"), early);
    early->cancel();
    EXPECT_EQ(withdrawn->settled(), kCancelled);
    auto next = call(QStringLiteral(R"({"task":"następne"})"));
    const QString nextId = runId();
    QStringList sent;
    for (const auto& message : received())
        sent.append(message.value("type").toString() + ':' + message.value("task").toString());
    EXPECT_EQ(sent.join(' ').toStdString(), "run:długie cancel: run:następne");
    EXPECT_EQ(logCount(QStringLiteral(" odwołane, zanim poszło do sidecara")), 1);

    // The sidecar goes while the task runs: a confirmation afterwards is not even written.
    m_clock.advance(2s);
    tell({{"exit", 0}});
    EXPECT_EQ(next->settled(), QStringLiteral("error:Nie udało się wykonać: Proces pomocniczy agenta zakończył się nieoczekiwanie."));
    m_bridge->approve(nextId);
    EXPECT_EQ(logCount(QStringLiteral("[most] brak wejścia")), 0) << "not even tried";
}

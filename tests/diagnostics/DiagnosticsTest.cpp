// The start-up report: the real program with SELVINA_DIAGNOSTICS=1 against the loopback realtime
// server, and the connection check's 15 s limit on a clock the test moves.
#include "AssistantProcess.h"
#include "EngineOptions.h"
#include "ManualClock.h"
#include "TestSupport.h"
#include "diagnostics/Diagnostics.h"
#include "voice/OpenAIRealtimeEngine.h"

#include <gtest/gtest.h>

using namespace selvina;
using namespace std::chrono_literals;
using namespace selvina::testing;
using Handshake = LoopbackRealtimeServer::Handshake;

TEST(Diagnostics, AServiceThatNeverConfirmsRunsOutAfterFifteenSeconds)
{
    // It takes the connection, then answers neither the session's set-up nor the handshake itself.
    for (const Handshake handshake : {Handshake::accept, Handshake::hang}) {
        LoopbackRealtimeServer server;
        server.setHandshake(handshake);
        ManualClock clock;
        voice::OpenAIRealtimeEngine engine(engineOptions(server, clock));
        std::optional<Status<diagnostics::DiagnosticsError>> outcome;
        auto waiting = diagnostics::Diagnostics::connect(engine, {}, "instrukcja", clock).then([&](auto r) { outcome = r; });
        ASSERT_TRUE(waitFor([&] {
            return handshake == Handshake::hang ? server.connectionCount() > 0 : !server.framesOfType("session.update").isEmpty();
        }));
        clock.advance(14999ms);
        settle(50ms);
        EXPECT_FALSE(outcome);
        clock.advance(1ms);
        ASSERT_TRUE(waitFor([&] { return outcome.has_value(); }));
        ASSERT_FALSE(outcome->ok());
        EXPECT_EQ(outcome->error(), diagnostics::DiagnosticsError::timedOut());
        EXPECT_EQ(outcome->error().description(), "przekroczono limit 15 sekund na zestawienie sesji");
    }
}

TEST(Diagnostics, ReportOfTheRealProgram)
{
    struct Row {
        const char* name;
        bool key;
        Handshake handshake;
        QString last; // the report's last line
    } table[] = {
        {"confirmed", true, Handshake::accept, "OK   Połączenie z OpenAI Realtime nawiązane, sesja skonfigurowana."},
        {"refused key", true, Handshake::refuse, "BŁĄD OpenAI Realtime: " + voice::RealtimeTransportError::unauthorized().description()},
        {"no key", false, Handshake::accept, "     W sesji dochodzą: describe_visual, delegate_task."},
    };
    for (const Row& row : table) {
        AssistantProcess app(QStringLiteral(SELVINA_VOICE_BIN), nullptr);
        ASSERT_TRUE(app.startBus());
        app.server().setHandshake(row.handshake, 401);
        QProcessEnvironment env = app.environment();
        env.insert("SELVINA_DIAGNOSTICS", "1");
        env.remove("SELVINA_TEXT");
        if (!row.key)
            env.remove("OPENAI_API_KEY");
        QProcess report;
        report.setProcessEnvironment(env);
        report.start(QStringLiteral(SELVINA_VOICE_BIN), {});
        ASSERT_TRUE(waitFor([&] { return report.state() == QProcess::NotRunning; }, 30s)) << row.name;
        const QStringList lines = QString::fromUtf8(report.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        ASSERT_GT(lines.size(), 16) << row.name;
        EXPECT_TRUE(lines[0].startsWith("UWAGA ")) << row.name; // a build-tree program
        EXPECT_EQ(lines[1], "— Uprawnienia —");
        EXPECT_TRUE(lines[15].startsWith("OK   Build: wersja ")) << lines[15].toStdString();
        EXPECT_EQ(lines.last(), row.last) << row.name;
        if (!row.key) {
            EXPECT_TRUE(lines.contains("BŁĄD Brak klucza OpenAI — rozmowa nie ruszy."));
            EXPECT_EQ(app.server().handshakeCount() + app.server().connectionCount(), 0);
        }
    }
}

TEST(Diagnostics, TheLaunchSwitchesTheAccessibilityBusOnAndLogsTheReport)
{
    // The bus's accessibility launcher keeps its switch in memory, so it starts switched off.
    qputenv("GSETTINGS_BACKEND", "memory");
    AssistantProcess app(QStringLiteral(SELVINA_VOICE_BIN), nullptr);
    ASSERT_TRUE(app.startBus());
    app.setVariable("SELVINA_TEXT", QString());
    ASSERT_TRUE(app.startAssistant());
    QStringList report;
    const auto logged = [&] {
        report.clear();
        const QByteArray log = readFile(app.home() + "/state/selvina-voice/sidecar.log");
        for (const QString& line : QString::fromUtf8(log).split('\n'))
            if (const qsizetype at = line.indexOf("[uprawnienia] "); at >= 0)
                report.append(line.mid(at + 14));
        return report.size() == 14;
    };
    EXPECT_TRUE(waitFor(logged, 20s)) << report.join('\n').toStdString();
    EXPECT_EQ(report.value(0), "włączono magistralę dostępności — aplikacje uruchomione wcześniej trzeba uruchomić ponownie");
    EXPECT_EQ(report.value(3), "OK   Dostępność");
    EXPECT_TRUE(report.value(13).contains(" Sieć lokalna")) << report.value(13).toStdString();
    EXPECT_EQ(app.stopAssistant(), 0) << app.said();
    qunsetenv("GSETTINGS_BACKEND");
}

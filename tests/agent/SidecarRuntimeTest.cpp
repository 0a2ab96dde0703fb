#include "ManualClock.h"
#include "TestSupport.h"
#include "agent/AgentBridge.h"
#include "agent/SidecarRuntime.h"
#include "core/SidecarLog.h"
#include "tools/DelegateTaskTool.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMap>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

using namespace selvina;
using namespace selvina::testing;
using namespace std::chrono_literals;

namespace {

// A runtime on a manual clock over the puppet sidecar (tests/support/puppet_sidecar.cjs), which
// reports every line it is sent and writes what the test tells it to.
// Thread: the test's main thread.
class Runtime : public ::testing::Test {
protected:
    void SetUp() override
    {
        qunsetenv("PUPPET_MODE"); qunsetenv("SELVINA_NODE_BINARY");
        m_sidecar = m_dir.filePath(QStringLiteral("Sidecar"));
        writeFile(m_sidecar + "/dist/index.js", "require('" SELVINA_PUPPET_SIDECAR "');\n");
        const QString socketPath = m_dir.filePath(QStringLiteral("puppet.sock"));
        ASSERT_TRUE(m_server.listen(socketPath));
        qputenv("PUPPET_SOCKET", QFile::encodeName(socketPath));
        QObject::connect(&m_server, &QLocalServer::newConnection, [this] {
            while (QLocalSocket* s = m_server.nextPendingConnection()) {
                m_puppet = s;
                QObject::connect(s, &QLocalSocket::readyRead, [this, s] {
                    while (s->canReadLine()) {
                        QJsonObject report = QJsonDocument::fromJson(s->readLine()).object();
                        if (report.contains("hello"))
                            m_puppets.insert(report.value("hello").toInteger(), s);
                        report.insert("from", m_puppets.key(s)); // the puppet's pid
                        m_reports.append(report);
                    }
                });
            }
        });
        SidecarLog::shared().flush();
        m_logStart = QFileInfo(SidecarLog::shared().filePath()).size();
        // The key the user saved in the settings window, which the assistant's own environment lacks.
        const auto credentials = [](QProcessEnvironment& e) { e.insert(QStringLiteral("ANTHROPIC_API_KEY"), QStringLiteral("sk-ant-zapisany")); };
        m_runtime = std::make_unique<agent::SidecarRuntime>(m_clock, agent::SidecarRuntime::Options{{m_sidecar}, credentials});
    }

    struct Task {
        QString id;
        std::unique_ptr<agent::AgentEventStream> stream = std::make_unique<agent::AgentEventStream>();
        std::vector<agent::AgentEvent> events = {};
        // Everything delivered so far; true once the stream has ended.
        bool drain()
        {
            while (auto e = stream->takeReady())
                events.push_back(*e);
            return stream->hasEnded();
        }
        // The events so far as "kind:text" ("confirm:intent:id" for a confirmation).
        QStringList summary()
        {
            drain();
            QStringList out;
            for (const auto& e : events)
                out.append(QStringList{"progress", "activity", "confirm", "finished", "failed"}[int(e.kind)] + ':' + e.text +
                           (e.id.isEmpty() ? QString() : ':' + e.id));
            return out;
        }
        QStringList failures() { return summary().filter(QRegularExpression("^failed:")).replaceInStrings("failed:", ""); }
    };

    Task start(const QString& id, const QString& text = QStringLiteral("zadanie"))
    {
        Task task{id};
        m_runtime->start(id, text, task.stream->sink());
        return task;
    }

    // A task on a fresh process, once the process has started and its puppet said hello.
    Task startLive(const QString& id)
    {
        Task task = start(id);
        EXPECT_TRUE(waitFor([&] { return m_runtime->processId() > 0 && reported("hello") == m_runtime->processId(); }, 10s));
        return task;
    }
    // Returns once the runtime has routed every line the puppet wrote before: a line for an
    // unknown id is logged, in order.
    void sync()
    {
        const QString id = QStringLiteral("sync-%1").arg(++m_syncs);
        say(QStringLiteral(R"({"type":"sync","id":"%1"})").arg(id).toUtf8());
        ASSERT_TRUE(waitFor([&] { return logCount(QStringLiteral("PORZUCONO sync id=") + id + QLatin1Char(' ')) == 1; }));
    }
    // To the puppet that connected last, or to the one of that pid.
    void tell(const QJsonObject& command, qint64 pid = 0)
    {
        QLocalSocket* puppet = pid == 0 ? m_puppet : m_puppets.value(pid);
        ASSERT_NE(puppet, nullptr);
        puppet->write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
        puppet->flush();
    }
    void say(const QByteArray& line, qint64 pid = 0) { tell({{"out", QString::fromUtf8(line + '\n')}}, pid); }

    // Lines the runtime wrote to the sidecar (to the one of that pid), as JSON objects.
    QList<QJsonObject> received(qint64 pid = 0) const
    {
        QList<QJsonObject> out;
        for (const auto& r : m_reports)
            if (r.contains("got") && (pid == 0 || r.value("from").toInteger() == pid))
                out.append(QJsonDocument::fromJson(r.value("got").toString().toUtf8()).object());
        return out;
    }
    // "type:id" of each line the sidecar of that pid was sent.
    QStringList sentTo(qint64 pid) const
    {
        QStringList out;
        for (const auto& o : received(pid))
            out.append(o.value("type").toString() + u':' + o.value("id").toString());
        return out;
    }
    qsizetype receivedCount(const QString& type) const
    {
        const auto all = received();
        return std::count_if(all.begin(), all.end(), [&](const QJsonObject& o) { return o.value("type").toString() == type; });
    }
    bool waitReceived(const QString& type, int count = 1) { return waitFor([&] { return receivedCount(type) >= count; }); }
    // The latest report of the key.
    std::optional<qint64> reported(const char* key) const
    {
        for (auto r = m_reports.rbegin(); r != m_reports.rend(); ++r)
            if (r->contains(QLatin1String(key)))
                return r->value(QLatin1String(key)).toInteger();
        return std::nullopt;
    }

    // How many lines written to the log since the test began hold the fragment.
    qsizetype logCount(const QString& fragment) const
    {
        SidecarLog::shared().flush();
        const QList<QByteArray> lines = readFile(SidecarLog::shared().filePath()).mid(m_logStart).split('\n');
        return std::count_if(lines.begin(), lines.end(), [&](const QByteArray& l) { return QString::fromUtf8(l).contains(fragment); });
    }
    // No such process, or only a zombie waiting to be reaped.
    static bool gone(qint64 pid)
    {
        const QByteArray s = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
        return s.isEmpty() || s.mid(s.lastIndexOf(')') + 2, 1) == "Z";
    }

    QTemporaryDir m_dir;
    QString m_sidecar;
    QLocalServer m_server;
    QLocalSocket* m_puppet = nullptr;
    QMap<qint64, QLocalSocket*> m_puppets;
    QList<QJsonObject> m_reports;
    qint64 m_logStart = 0;
    ManualClock m_clock;
    std::unique_ptr<agent::SidecarRuntime> m_runtime;
    int m_syncs = 0;
};

const QString kDied = QStringLiteral("Proces pomocniczy agenta zakończył się nieoczekiwanie.");

const QString kCancelled = QStringLiteral("ok:Zadanie zostało przerwane przez użytkownika, zanim się skończyło.");

class DelegateTask : public Runtime {
protected:
    void SetUp() override
    {
        Runtime::SetUp();
        m_runtime.reset();
        m_bridge = std::make_unique<agent::ClaudeAgentBridge>(m_clock, agent::SidecarRuntime::Options{{m_sidecar}});
        m_tool = std::make_unique<tools::DelegateTaskTool>(
            m_bridge.get(), [this](const QString& t) { m_notes.append("p:" + t); },
            [this](const QString& t) { m_notes.append("a:" + t); });
    }

    struct Call {
        std::optional<tools::ToolOutcome> outcome;
        QCoro::Task<> task;
        // "ok:" and the answer, or "error:" and the sentence, once the call has ended.
        QString settled() const
        {
            if (!waitFor([&] { return outcome.has_value(); }))
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

TEST_F(Runtime, LaunchFailuresReachTheTaskOnceWithTheirText)
{
    const QString folder = m_dir.filePath(QStringLiteral("programy"));
    const QString launch = QStringLiteral("Nie udało się uruchomić agenta: ");
    const QString text = writeFile(folder + "/tekst", "zwykły tekst\n");
    const QString garbage = writeExecutable(folder + "/śmieci", QByteArray("\x7f\x01\x02\x03 nie ELF", 12));
    const QString script = writeExecutable(folder + "/skrypt", "#!/nie/ma/interpretera\n");
    const char* node = "SELVINA_NODE_BINARY";
    struct Case {
        const char* name;
        const char* variable; // SELVINA_NODE_BINARY or PUPPET_MODE; none: the built sidecar is removed
        QByteArray value;
        QString expected;
    };
    const std::vector<Case> cases = {
        {"no such node", node, "/nie/ma/node",
         launch + "nie ma programu /nie/ma/node (Node.js instaluje polecenie sudo apt install nodejs)"},
        {"a folder", node, QFile::encodeName(folder), launch + folder + " jest katalogiem, a nie programem"},
        {"not executable", node, QFile::encodeName(text),
         launch + "brak uprawnień do uruchomienia " + text +
             " (plik nie jest wykonywalny albo leży na partycji zamontowanej z opcją noexec)"},
        {"not a program", node, QFile::encodeName(garbage),
         launch + "plik " + garbage + " nie jest programem, który ten system potrafi uruchomić"},
        {"no interpreter", node, QFile::encodeName(script),
         launch + "program " + script + " wskazuje interpreter, którego nie ma w systemie"},
        {"exits at once", "PUPPET_MODE", "exit-now",
         QStringLiteral("Nie udało się uruchomić agenta. Sprawdź, czy zainstalowano Node.js oraz czy katalog Sidecar "
                        "został zbudowany poleceniem npm install i npm run build.")},
        {"one line, then exits", "PUPPET_MODE", "one-line", kDied},
        {"no entry point", nullptr, {},
         QStringLiteral("Nie znaleziono procesu pomocniczego agenta. Sprawdź, czy katalog Sidecar został zbudowany "
                        "poleceniem npm install i npm run build.")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.variable)
            qputenv(c.variable, c.value);
        else
            QDir(m_sidecar).removeRecursively();
        Task task = start(QStringLiteral("T"));
        ASSERT_TRUE(waitFor([&] { return task.drain(); }, 10s));
        EXPECT_EQ(task.summary(), QStringList{"failed:" + c.expected});
        if (c.variable)
            qunsetenv(c.variable);
    }
    EXPECT_EQ(logCount(QStringLiteral("[most] uruchomiłem sidecara, pid ")), 2);
    EXPECT_EQ(logCount(QStringLiteral("[most] nie uruchomiłem sidecara: exec")), 5); // the system's own words
}

// Standard output is routed line by line; standard error goes to the log, a flood of it only in part
// and without holding up standard output.
TEST_F(Runtime, RoutesLinesToTheirTasksDropsWhatBelongsToNoneAndLogsStandardErrorInPart)
{
    Task a = startLive(QStringLiteral("A"));
    // The task's line break and quotes travel inside one line.
    Task b = start(QStringLiteral("B"), QStringLiteral("druga\nlinia \"cytat\""));
    ASSERT_TRUE(waitReceived(QStringLiteral("run"), 2));
    EXPECT_EQ(received()[1], (QJsonObject{{"type", "run"}, {"id", "B"}, {"task", "druga\nlinia \"cytat\""}}));
    EXPECT_EQ(m_reports[0].value("env").toObject().value("MCP_TOOL_TIMEOUT").toString(), QStringLiteral("20000"));
    EXPECT_EQ(m_reports[0].value("env").toObject().value("ANTHROPIC_API_KEY").toString(), QStringLiteral("sk-ant-zapisany"));
    EXPECT_EQ(QDir(m_reports[0].value("cwd").toString()), QDir(m_sidecar));

    tell({{"out", R"({"type":"progress","id":"A"})" "\n" R"({"type":"activity","id":"B","text":"czytam"})" "\r\n\n"}});
    tell({{"out", QString::fromUtf8(R"({"type":"confirm_required","id":"A","intent":"rm"})" "\n"
                                    "nie json\n[1,2]\n\"type\"\n{\"id\":\"A\"}\n{\"type\":7,\"id\":\"A\"}\n"
                                    R"({"type":"progress","id":5})" "\n" R"({"type":"progress","id":{"a":1}})" "\n"
                                    R"({"type":"progress","id":"A","text":3})" "\n"
                                    R"({"type":"heartbeat"})" "\n"
                                    R"({"type":"nowy","id":"A","text":null})" "\n")}});
    tell({{"err", "ostrzeżenie\n\n  \n"}});
    tell({{"floodErr", 20000}});
    // A null field counts as absent; fields the runtime does not know are ignored.
    const QString failedLine = QStringLiteral(R"({"type":"failed","id":"B","error":null,"extra":[1]})");
    say(failedLine.toUtf8());
    say(R"({"type":"finished","id":"A","text":"gotowe"})");
    say(R"({"type":"finished","id":"A","text":"drugi raz"})");
    ASSERT_TRUE(waitFor([&] { return a.drain() && b.drain(); }, 10s));
    ASSERT_TRUE(waitFor([&] { return logCount(QStringLiteral("[most] PORZUCONO finished id=A (oczekujących: )")) == 1; }));

    EXPECT_EQ(a.summary(), (QStringList{"progress:", "confirm:rm:A", "finished:gotowe"}));
    EXPECT_EQ(b.summary(), (QStringList{"activity:czytam", "failed:Nieznany błąd agenta."}));

    EXPECT_EQ(logCount(QStringLiteral("[most] linii nie da się zdekodować: ")), 8);
    EXPECT_EQ(logCount(QStringLiteral("[most] linii nie da się zdekodować: nie json")), 1);
    EXPECT_EQ(logCount(QStringLiteral("[most] PORZUCONO heartbeat id=— (oczekujących: A,B)")), 1);
    EXPECT_EQ(logCount(QStringLiteral("[most] finished id=A odbiorca=jest")), 1);
    EXPECT_EQ(logCount(QStringLiteral("[most] surowa linia (%1 B): ").arg(failedLine.size()) + failedLine), 1);
    EXPECT_EQ(logCount(QStringLiteral("ostrzeżenie")), 1);

    tell({{"exit", 0}});
    ASSERT_TRUE(waitFor([&] { return !m_runtime->isProcessRunning(); }));
    EXPECT_EQ(logCount(QStringLiteral("szum ")), agent::SidecarRuntime::kStderrLinesPerWindow - 1); // after "ostrzeżenie"
    EXPECT_TRUE(waitFor([&] { return logCount(QStringLiteral("[most] pominięto ")) == 1; }));
}

TEST_F(Runtime, SilentTaskIsExtendedFiveTimesThenFailsTheProcessIsReplacedAndHeartbeatGapsAreNoted)
{
    Task silent = startLive(QStringLiteral("S"));
    Task beating = start(QStringLiteral("H"));
    const qint64 firstPid = m_runtime->processId();
    ASSERT_TRUE(waitReceived(QStringLiteral("run"), 2));

    // H beats every 10 s, S says nothing; its sixth silent window ends at 180 s.
    for (int beat = 1; beat <= 17; ++beat) {
        m_clock.advance(10s);
        say(R"({"type":"heartbeat","id":"H"})");
        sync();
        EXPECT_TRUE(silent.failures().isEmpty()) << beat;
    }
    m_clock.advance(10s);
    EXPECT_EQ(logCount(QStringLiteral("[most] cisza 30 s dla id=S, ale proces %1 żyje — przedłużam (5/5)").arg(firstPid)), 1);
    EXPECT_EQ(logCount(QStringLiteral("id=H, ale proces")), 0);
    EXPECT_EQ(logCount(QStringLiteral("[most] puls")), 0);
    EXPECT_EQ(silent.failures(), QStringList{QStringLiteral("Warstwa namysłu przestała odpowiadać, zadanie nie zostało wykonane.")});
    EXPECT_EQ(beating.failures(), QStringList{QStringLiteral("Warstwa namysłu została zrestartowana. Powtórz polecenie.")});
    EXPECT_EQ(logCount(QStringLiteral("[most] cisza 180 s mimo żywego procesu dla id=S — przerywam zadanie")), 1);
    EXPECT_EQ(logCount(QStringLiteral("[most] wymieniam sidecara (cisza 180 s mimo żywego procesu), pid %1").arg(firstPid)), 1);
    EXPECT_TRUE(waitFor([&] { return gone(firstPid); }));

    Task next = startLive(QStringLiteral("N"));
    EXPECT_NE(m_runtime->processId(), firstPid);
    EXPECT_TRUE(next.failures().isEmpty());
    // A gap over 15 s between two heartbeats is noted.
    say(R"({"type":"heartbeat","id":"N"})");
    sync();
    m_clock.advance(20s);
    say(R"({"type":"heartbeat","id":"N"})");
    EXPECT_TRUE(waitFor([&] { return logCount(QStringLiteral("[most] puls id=N po 20.0 s")) == 1; }));
}

// A change of settings or plug-ins during a task: the task stays with its process, which still
// gets its answers and cancels and goes after its last line; the next task runs in a new process.
TEST_F(Runtime, ChangeDuringATaskSendsTheNextTaskToANewProcessWhileTheOldOneFinishesItsOwn)
{
    int idle = 0;
    QObject::connect(m_runtime.get(), &agent::SidecarRuntime::idle, [&] { ++idle; });
    Task first = startLive(QStringLiteral("P"));
    Task second = start(QStringLiteral("P2"));
    ASSERT_TRUE(waitReceived(QStringLiteral("run"), 2));
    const qint64 oldPid = m_runtime->processId();
    tell({{"ignoreTerm", true}}); // so that its end comes late, after the new process runs
    m_runtime->renewForNextTask();

    Task next = startLive(QStringLiteral("Q"));
    const qint64 newPid = m_runtime->processId();
    ASSERT_NE(newPid, oldPid);
    EXPECT_EQ(m_runtime->drainingCount(), 1u);
    say(R"({"type":"confirm_required","id":"P","intent":"rm"})", oldPid);
    ASSERT_TRUE(waitFor([&] { return first.summary().size() == 1; }));
    m_runtime->confirm(QStringLiteral("P"));
    second.stream->stop();
    ASSERT_TRUE(waitFor([&] { return received(oldPid).size() == 4; }));
    // Only the process that runs a task speaks for it.
    say(R"({"type":"finished","id":"P","text":"obcy"})", newPid);
    sync();
    EXPECT_FALSE(first.drain());

    say(R"({"type":"finished","id":"P","text":"ok"})", oldPid);
    ASSERT_TRUE(waitFor([&] { return first.drain(); }));
    EXPECT_EQ(first.summary(), (QStringList{"confirm:rm:P", "finished:ok"}));
    EXPECT_EQ(m_runtime->drainingCount(), 0u);
    ASSERT_TRUE(waitFor([&] { return gone(oldPid); })); // killed 400 ms after it ignored SIGTERM
    ASSERT_TRUE(waitFor([&] { return logCount(QStringLiteral("[most] zakończyłem 0 procesów potomnych")) == 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(sentTo(oldPid), (QStringList{"run:P", "run:P2", "confirm:P", "cancel:P2"}));
    EXPECT_EQ(sentTo(newPid), QStringList{"run:Q"});
    EXPECT_EQ(m_runtime->processId(), newPid);
    EXPECT_EQ(idle, 0);
    say(R"({"type":"finished","id":"Q","text":"nowy"})");
    ASSERT_TRUE(waitFor([&] { return next.drain(); }));
    EXPECT_EQ(next.summary(), QStringList{"finished:nowy"});
    EXPECT_EQ(idle, 1);

    // Idle, the process is replaced at once; shut down, a process still finishing its task is
    // told and ended with the new one.
    m_runtime->renewForNextTask();
    EXPECT_EQ(m_runtime->processId(), -1);
    EXPECT_TRUE(waitFor([&] { return gone(newPid); }));
    Task third = startLive(QStringLiteral("R"));
    const qint64 thirdPid = m_runtime->processId();
    m_runtime->renewForNextTask();
    Task fourth = startLive(QStringLiteral("S"));
    const qint64 fourthPid = m_runtime->processId();
    bool stopped = false;
    auto stopping = m_runtime->shutdown().then([&] { stopped = true; });
    ASSERT_TRUE(waitFor([&] { return sentTo(thirdPid).contains("shutdown:") && sentTo(fourthPid).contains("shutdown:"); }));
    m_clock.advance(500ms);
    ASSERT_TRUE(waitFor([&] { return stopped; }));
    for (Task* task : {&third, &fourth})
        EXPECT_EQ(task->failures(), QStringList{QStringLiteral("Sesja agenta została zamknięta.")});
    EXPECT_TRUE(waitFor([&] { return gone(thirdPid) && gone(fourthPid); }));
}

TEST_F(Runtime, ShutdownEndsAProcessThatIgnoresSigtermWithItsChildren)
{
    bool finished = false;
    auto idle = m_runtime->shutdown().then([&] { finished = true; });
    EXPECT_TRUE(waitFor([&] { return finished; }, 100ms));
    EXPECT_EQ(logCount(QStringLiteral("[most]")), 0) << "nothing to stop, nothing sent";

    Task task = startLive(QStringLiteral("Z"));
    const qint64 pid = m_runtime->processId();
    tell({{"ignoreTerm", true}, {"child", true}});
    ASSERT_TRUE(waitFor([&] { return reported("childPid").has_value(); }));
    const qint64 child = *reported("childPid");

    finished = false;
    auto stopping = m_runtime->shutdown().then([&] { finished = true; });
    ASSERT_TRUE(waitReceived(QStringLiteral("shutdown")));
    EXPECT_FALSE(finished);
    m_clock.advance(500ms);
    ASSERT_TRUE(waitFor([&] { return finished; }));
    EXPECT_EQ(task.failures(), QStringList{QStringLiteral("Sesja agenta została zamknięta.")});
    EXPECT_TRUE(waitFor([&] { return gone(pid) && gone(child); }));
    EXPECT_EQ(logCount(QStringLiteral("[most] zakończyłem ")), 1); // the shell, and its sleep unless it exec'd
    EXPECT_EQ(logCount(QStringLiteral("[most] zakończyłem 0 ")), 0);
}

TEST_F(Runtime, DeathFailsEachTaskOnceAndAgentTreesEndWithTheSidecarOrTheRuntime)
{
    int recorded = 0;
    QObject::connect(m_runtime.get(), &agent::SidecarRuntime::descendantsRecorded, [&](int n) { recorded = n; });
    std::vector<qint64> agents;
    const auto startAgent = [&] {
        const auto before = reported("agentPid");
        tell({{"agent", true}});
        EXPECT_TRUE(waitFor([&] { return reported("agentPid") != before; }));
        agents.push_back(*reported("agentPid"));
        return std::pair{*reported("agentPid"), *reported("agentChildPid")};
    };

    // Seen with its agent on a task's line, the sidecar dies: each of its two tasks fails exactly
    // once, and the agent, left to another parent and ignoring SIGTERM, is killed all the same.
    Task task = startLive(QStringLiteral("O"));
    Task other = start(QStringLiteral("B"));
    ASSERT_TRUE(waitReceived(QStringLiteral("run"), 2));
    const auto [agent, child] = startAgent();
    say(R"({"type":"progress","id":"O"})");
    ASSERT_TRUE(waitFor([&] { return recorded == 2; }));
    m_clock.advance(2s);
    tell({{"exit", 1}});
    ASSERT_TRUE(waitFor([&] { return task.drain() && other.drain(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(task.failures(), QStringList{kDied});
    EXPECT_EQ(other.failures(), QStringList{kDied});
    EXPECT_FALSE(m_runtime->isProcessRunning());
    EXPECT_TRUE(waitFor([&] { return gone(agent) && gone(child); }));

    // Destroyed while the sidecar runs an agent it was never seen with: listed then, and ended.
    Task next = startLive(QStringLiteral("P"));
    const qint64 node = m_runtime->processId();
    const auto [agent2, child2] = startAgent();
    m_runtime.reset();
    EXPECT_TRUE(waitFor([&] { return gone(node) && gone(agent2) && gone(child2); }));
    for (qint64 pid : agents)
        if (!gone(pid))
            ::kill(pid_t(-pid), SIGKILL);
}

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
    // Tasks that ended send no cancel when their streams go.
    QCoreApplication::processEvents();
    m_bridge->approve(QStringLiteral("after"));
    ASSERT_TRUE(waitReceived(QStringLiteral("confirm"), 2));
    EXPECT_EQ(receivedCount(QStringLiteral("cancel")), 0);
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
    say(R"({"type":"finished","id":")" + id.toUtf8() + R"(","text":"za późno"})");
    EXPECT_TRUE(waitFor([&] { return logCount("[most] PORZUCONO finished id=" + id) == 1; })) << "dropped";

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

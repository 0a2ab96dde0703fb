#include "SidecarFixture.h"

using namespace selvina;
using namespace selvina::testing;
using namespace std::chrono_literals;

namespace {

const QString kDied = QStringLiteral("Proces pomocniczy agenta zakończył się nieoczekiwanie.");

class Runtime : public SidecarFixture {
protected:
    // A task on a fresh process, with its puppet connected.
    Task startLive(const QString& id)
    {
        Task task = start(id);
        EXPECT_TRUE(awaitPuppet());
        return task;
    }
    // Returns once the runtime has routed every line the puppet wrote before: a line for an
    // unknown id is logged, in order.
    void sync()
    {
        const QString id = QStringLiteral("sync-%1").arg(++m_syncs);
        say(QStringLiteral(R"({"type":"sync","id":"%1"})").arg(id).toUtf8());
        ASSERT_TRUE(waitUntil([&] { return logCount(QStringLiteral("PORZUCONO sync id=") + id + QLatin1Char(' ')) == 1; }));
    }
    int m_syncs = 0;
};

} // namespace

TEST_F(Runtime, LaunchFailuresReachTheTaskOnceWithTheirText)
{
    const QString folder = m_dir.filePath(QStringLiteral("programy"));
    const auto program = [&](const char* name, const QByteArray& content, QFile::Permissions mode = QFile::ExeOwner) {
        const QString path = writeFile(folder + '/' + QLatin1String(name), content);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | mode);
        return path;
    };
    const QString launch = QStringLiteral("Nie udało się uruchomić agenta: ");
    const QString text = program("tekst", "zwykły tekst\n", {});
    const QString garbage = program("śmieci", QByteArray("\x7f\x01\x02\x03 nie ELF", 12));
    const QString script = program("skrypt", "#!/nie/ma/interpretera\n");
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
        ASSERT_TRUE(waitUntil([&] { return task.drain(); }, 10000));
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
    EXPECT_EQ(QDir(m_reports[0].value("cwd").toString()), QDir(m_sidecar));

    tell({{"out", R"({"type":"progress","id":"A"})" "\n" R"({"type":"activity","id":"B","te)"}});
    tell({{"out", R"(xt":"czytam"})" "\r\n\n"}});
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
    ASSERT_TRUE(waitUntil([&] { return a.drain() && b.drain(); }, 10000));
    ASSERT_TRUE(waitUntil([&] { return logCount(QStringLiteral("[most] PORZUCONO finished id=A (oczekujących: )")) == 1; }));

    EXPECT_EQ(a.summary(), (QStringList{"progress:", "confirm:rm:A", "finished:gotowe"}));
    EXPECT_EQ(b.summary(), (QStringList{"activity:czytam", "failed:Nieznany błąd agenta."}));

    EXPECT_EQ(logCount(QStringLiteral("[most] linii nie da się zdekodować: ")), 8);
    EXPECT_EQ(logCount(QStringLiteral("[most] linii nie da się zdekodować: nie json")), 1);
    EXPECT_EQ(logCount(QStringLiteral("[most] PORZUCONO heartbeat id=— (oczekujących: A,B)")), 1);
    EXPECT_EQ(logCount(QStringLiteral("[most] finished id=A odbiorca=jest")), 1);
    EXPECT_EQ(logCount(QStringLiteral("[most] surowa linia (%1 B): ").arg(failedLine.size()) + failedLine), 1);
    EXPECT_EQ(logCount(QStringLiteral("ostrzeżenie")), 1);

    m_runtime->confirm(QStringLiteral("A"));
    ASSERT_TRUE(waitReceived(QStringLiteral("confirm")));
    EXPECT_EQ(received().last(), (QJsonObject{{"type", "confirm"}, {"id", "A"}, {"approved", true}}));

    tell({{"exit", 0}});
    ASSERT_TRUE(waitUntil([&] { return !m_runtime->isProcessRunning(); }));
    EXPECT_EQ(logCount(QStringLiteral("szum ")), agent::SidecarRuntime::kStderrLinesPerWindow - 1); // after "ostrzeżenie"
    EXPECT_TRUE(waitUntil([&] { return logCount(QStringLiteral("[most] pominięto ")) == 1; }));
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
    EXPECT_TRUE(waitUntil([&] { return gone(firstPid); }));

    Task next = startLive(QStringLiteral("N"));
    EXPECT_NE(m_runtime->processId(), firstPid);
    EXPECT_TRUE(next.failures().isEmpty());
    // A gap over 15 s between two heartbeats is noted.
    say(R"({"type":"heartbeat","id":"N"})");
    sync();
    m_clock.advance(20s);
    say(R"({"type":"heartbeat","id":"N"})");
    EXPECT_TRUE(waitUntil([&] { return logCount(QStringLiteral("[most] puls id=N po 20.0 s")) == 1; }));
}

TEST_F(Runtime, PluginChangeWaitsForTheTaskAndAnOldProcessNeverTouchesANewOne)
{
    Task first = startLive(QStringLiteral("P"));
    const qint64 oldPid = m_runtime->processId();
    tell({{"ignoreTerm", true}}); // so that its end comes late, after the new process runs
    m_runtime->restartForPluginChange();
    EXPECT_EQ(logCount(QStringLiteral("[most] zmiana wtyczek w trakcie zadania — wymienię po nim")), 1);
    EXPECT_EQ(m_runtime->processId(), oldPid);

    say(R"({"type":"finished","id":"P","text":"ok"})");
    ASSERT_TRUE(waitUntil([&] { return first.drain(); }));
    EXPECT_EQ(m_runtime->processId(), -1) << "replaced right after the task, before any new one";
    EXPECT_EQ(logCount(QStringLiteral("[most] zmiana wtyczek — wymieniam sidecara, pid %1").arg(oldPid)), 1);

    Task second = startLive(QStringLiteral("Q"));
    const qint64 newPid = m_runtime->processId();
    EXPECT_NE(newPid, oldPid);
    // The old process ignores SIGTERM; it ends when the runtime kills it 400 ms later.
    ASSERT_TRUE(waitUntil([&] { return gone(oldPid); }));
    ASSERT_TRUE(waitUntil([&] { return logCount(QStringLiteral("[most] zakończyłem 0 procesów potomnych")) == 1; }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(second.failures().isEmpty());
    EXPECT_TRUE(m_runtime->isProcessRunning());
    EXPECT_EQ(m_runtime->processId(), newPid);
    say(R"({"type":"finished","id":"Q","text":"nowy"})");
    ASSERT_TRUE(waitUntil([&] { return second.drain(); }));
    EXPECT_EQ(second.summary(), QStringList{"finished:nowy"});
}

TEST_F(Runtime, AConsumerThatStopsListeningCausesOneCancel)
{
    Task task = startLive(QStringLiteral("C"));
    ASSERT_TRUE(waitReceived(QStringLiteral("run")));
    task.stream.reset();
    ASSERT_TRUE(waitReceived(QStringLiteral("cancel")));
    EXPECT_EQ(received().last(), (QJsonObject{{"type", "cancel"}, {"id", "C"}}));
    say(R"({"type":"finished","id":"C","text":"za późno"})");
    EXPECT_TRUE(waitUntil([&] { return logCount(QStringLiteral("[most] PORZUCONO finished id=C")) == 1; }));

    // A task that ended normally sends no cancel when its stream goes.
    Task done = start(QStringLiteral("D"));
    say(R"({"type":"finished","id":"D","text":"ok"})");
    ASSERT_TRUE(waitUntil([&] { return done.drain(); }));
    done.stream.reset();
    QCoreApplication::processEvents();
    m_runtime->confirm(QStringLiteral("after"));
    ASSERT_TRUE(waitReceived(QStringLiteral("confirm")));
    EXPECT_EQ(receivedCount(QStringLiteral("cancel")), 1);
}

TEST_F(Runtime, ShutdownEndsAProcessThatIgnoresSigtermWithItsChildren)
{
    bool finished = false;
    auto idle = m_runtime->shutdown().then([&] { finished = true; });
    EXPECT_TRUE(waitUntil([&] { return finished; }, 100));
    EXPECT_EQ(logCount(QStringLiteral("[most]")), 0) << "nothing to stop, nothing sent";

    Task task = startLive(QStringLiteral("Z"));
    const qint64 pid = m_runtime->processId();
    tell({{"ignoreTerm", true}, {"child", true}});
    ASSERT_TRUE(waitUntil([&] { return reported("childPid").has_value(); }));
    const qint64 child = *reported("childPid");

    finished = false;
    auto stopping = m_runtime->shutdown().then([&] { finished = true; });
    ASSERT_TRUE(waitReceived(QStringLiteral("shutdown")));
    EXPECT_FALSE(finished);
    m_clock.advance(500ms);
    ASSERT_TRUE(waitUntil([&] { return finished; }));
    EXPECT_EQ(task.failures(), QStringList{QStringLiteral("Sesja agenta została zamknięta.")});
    EXPECT_TRUE(waitUntil([&] { return gone(pid) && gone(child); }));
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
        EXPECT_TRUE(waitUntil([&] { return reported("agentPid") != before; }));
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
    ASSERT_TRUE(waitUntil([&] { return recorded == 2; }));
    m_clock.advance(2s);
    tell({{"exit", 1}});
    ASSERT_TRUE(waitUntil([&] { return task.drain() && other.drain(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(task.failures(), QStringList{kDied});
    EXPECT_EQ(other.failures(), QStringList{kDied});
    EXPECT_FALSE(m_runtime->isProcessRunning());
    EXPECT_TRUE(waitUntil([&] { return gone(agent) && gone(child); }));

    // Destroyed while the sidecar runs an agent it was never seen with: listed then, and ended.
    Task next = startLive(QStringLiteral("P"));
    const qint64 node = m_runtime->processId();
    const auto [agent2, child2] = startAgent();
    m_runtime.reset();
    EXPECT_TRUE(waitUntil([&] { return gone(node) && gone(agent2) && gone(child2); }));
    for (qint64 pid : agents)
        if (!gone(pid))
            ::kill(pid_t(-pid), SIGKILL);
}

#include "agent/EngineDetector.h"
#include "agent/ProcessTree.h"
#include "agent/SidecarProtocol.h"

#include "TestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

using namespace selvina;
using namespace selvina::agent;

TEST(LineBuffer, JoinsSplitsAndDropsLikeTheProtocolSays)
{
    LineBuffer buffer;
    EXPECT_EQ(buffer.consume("{\"a\":1}\n{\"b\""), QStringList{"{\"a\":1}"});
    EXPECT_EQ(buffer.pendingSize(), 4);
    EXPECT_EQ(buffer.consume(":2}\r\n\n"), QStringList{"{\"b\":2}\r"}) << "a carriage return stays";
    EXPECT_EQ(buffer.consume("\xff\xfe\n\xc5\x82\xc3\xb3" "d\xc5\xba\n"), QStringList{QStringLiteral("łódź")});
    EXPECT_EQ(buffer.consume("bez końca"), QStringList{});
    EXPECT_EQ(buffer.pendingSize(), QByteArray("bez końca").size());

    // A line over the limit is dropped whole, however it arrives; the next one passes.
    LineBuffer small(8);
    EXPECT_EQ(small.consume("123456789"), QStringList{});
    EXPECT_EQ(small.pendingSize(), 0);
    EXPECT_EQ(small.consume("abc\nok\n"), QStringList{"ok"});
    EXPECT_EQ(small.consume("0123456789\nok2\n"), QStringList{"ok2"});
    EXPECT_EQ(small.oversizedLines(), 2);
}

// How lines are written and read is checked end to end by the runtime's routing test.
TEST(OutgoingMessages, ALoneSurrogateCannotTravelAndTaskIdsAreCanonical)
{
    EXPECT_FALSE(encodeLine(message::run(QStringLiteral("ID"), QString(QChar(0xD800)))));
    const QString id = makeTaskId();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")).match(id).hasMatch()) << id.toStdString();
    EXPECT_NE(id, makeTaskId());
}

TEST(ProcessTree, ListsDescendantsDeepestFirstAndSurvivesLoops)
{
    const std::vector<ProcessEntry> table = {{1, 0}, {10, 1}, {11, 10}, {12, 10}, {13, 11}, {20, 1}, {30, 31}, {31, 30}};
    EXPECT_EQ(ProcessTree::descendants(10, table), (std::vector<pid_t>{13, 11, 12}));
    EXPECT_EQ(ProcessTree::descendants(99, table), std::vector<pid_t>{});
    EXPECT_FALSE(ProcessTree::descendants(30, table).empty()); // ends despite the loop
    const auto live = ProcessTree::snapshot();
    EXPECT_TRUE(std::any_of(live.begin(), live.end(), [](const ProcessEntry& e) { return e.pid == ::getpid() && e.parent == ::getppid(); }));

    // A recorded process is signalled only while the same one runs under its pid; our own group,
    // which the child shares, is never signalled (this test would not live to see it).
    QProcess sleeper;
    sleeper.start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
    ASSERT_TRUE(sleeper.waitForStarted());
    const auto entry = ProcessTree::read(pid_t(sleeper.processId()));
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->parent, ::getpid());
    ProcessEntry reused = *entry;
    reused.startTime += 1;
    ProcessTree::signalTree(reused, SIGKILL);
    EXPECT_FALSE(sleeper.waitForFinished(100));
    ProcessTree::signalTree(*entry, SIGKILL);
    EXPECT_TRUE(sleeper.waitForFinished(5000));
    EXPECT_FALSE(ProcessTree::isStill(*entry));
}

TEST(EngineDetector, LoginsPathsAndWhatToDo)
{
    QTemporaryDir home;
    QTemporaryDir bin;
    const auto path = [](const QString& folders) {
        QProcessEnvironment e;
        e.insert("PATH", folders);
        return e;
    };
    // A key in the environment, even an empty one, and its absence: LinuxAudit.AgentLayerAndItsLogin.
    selvina::testing::writeFile(home.filePath(".claude/.credentials.json"), "{\"inne\":1}");
    EXPECT_FALSE(EngineDetector(QProcessEnvironment(), home.path()).claudeLoggedIn());
    selvina::testing::writeFile(home.filePath(".claude/.credentials.json"), "{\"claudeAiOauth\":{}}");
    EXPECT_TRUE(EngineDetector(QProcessEnvironment(), home.path()).claudeLoggedIn());

    const QString codex = selvina::testing::writeExecutable(bin.filePath("codex"), "#!/bin/sh\n");
    const EngineDetector found(path("::" + bin.path() + ":"), home.path());
    EXPECT_EQ(found.locate("codex"), codex);
    auto state = found.checkCodex();
    EXPECT_FALSE(state.available);
    EXPECT_EQ(state.missing, "Codex jest zainstalowany (" + codex + "), ale niezalogowany. Wykonaj w terminalu polecenie codex login.");
    selvina::testing::writeFile(home.filePath(".codex/auth.json"), "{}");
    EXPECT_TRUE(found.checkCodex().available);

    const EngineDetector nothing(path(":/nie/ma"), home.path());
    EXPECT_EQ(nothing.locate("selvina-brak"), std::nullopt);
    EXPECT_EQ(nothing.locate("sh"), "/usr/bin/sh") << "the fixed folders follow PATH";
    EXPECT_TRUE(nothing.checkClaude().missing->contains("npm install -g @anthropic-ai/claude-code"));
}

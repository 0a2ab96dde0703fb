// The registry and executor with a recording gate, and system_info against this machine's commands.
#include "TestSupport.h"

#include "tools/SystemInfoTool.h"
#include "tools/ToolRegistry.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

using namespace selvina;
using namespace selvina::tools;

namespace {

enum class Answer { answer, fail, throwException };

struct ScriptedTool final : SelvinaTool {
    ScriptedTool(QString n, Answer a, QString t = {}) : name(std::move(n)), answer(a), text(std::move(t)) {}
    ToolDefinition definition() const override { return {name, text, QStringLiteral("{}"), ActionClass::reversibleWrite}; }
    QCoro::Task<ToolOutcome> execute(QString args) override
    {
        ++calls;
        if (answer == Answer::throwException)
            throw std::runtime_error("zepsute");
        if (answer == Answer::fail)
            co_return ToolError::invalidArguments(QStringLiteral("pole „x” jest wymagane"));
        co_return text + args;
    }
    const QString name;
    const Answer answer;
    const QString text;
    int calls = 0;
};

struct RecordingGate final : safety::SafetyGating {
    QCoro::Task<bool> authorize(ToolDefinition tool, QString) override { asked.append(tool.name); co_return allow; }
    QCoro::Task<> record(ToolDefinition tool, QString args, QString outcome) override
    {
        recorded.append(tool.name + '|' + args + '|' + outcome);
        co_return;
    }
    bool allow = true;
    QStringList asked, recorded;
};

std::optional<QString> run(ToolExecutor& executor, const char* name, const QString& args = QStringLiteral("{}"))
{
    return selvina::testing::runTask(executor.execute(QString::fromUtf8(name), args));
}

TEST(ToolPath, RegistryKeepsTheLaterToolAndSortsByName)
{
    ToolRegistry registry;
    const auto tool = [](const char* name, QString text = {}) { return std::make_shared<ScriptedTool>(name, Answer::answer, text); };
    registry.registerTools({tool("take_screenshot", "1"), tool("control_ui", "first"), tool("analyze_visual_precisely"),
                            tool("control_ui", "second")});
    QStringList names;
    for (const ToolDefinition& d : registry.definitions())
        names.append(d.name);
    EXPECT_EQ(names, QStringList({"analyze_visual_precisely", "control_ui", "take_screenshot"}));
    EXPECT_EQ(registry.tool("control_ui")->definition().description, "second");
    EXPECT_EQ(registry.tool("Control_UI"), nullptr);
}

TEST(ToolPath, ExecutorAlwaysAnswersWithTextAndTellsTheGate)
{
    auto registry = std::make_shared<ToolRegistry>();
    auto ok = std::make_shared<ScriptedTool>("ok", Answer::answer, "wynik ");
    registry->registerTools({ok, std::make_shared<ScriptedTool>("bad", Answer::fail),
                             std::make_shared<ScriptedTool>("throws", Answer::throwException)});
    auto gate = std::make_shared<RecordingGate>();
    ToolExecutor executor(registry, gate);

    EXPECT_EQ(run(executor, "describe_visual"), "Nie znam narzędzia describe_visual.");
    EXPECT_TRUE(gate->asked.isEmpty() && gate->recorded.isEmpty());

    const QString huge = "{\"t\":\"" + QString(1 << 20, QLatin1Char('"')) + "\n\"}";
    EXPECT_EQ(run(executor, "ok", huge), "wynik " + huge);
    EXPECT_EQ(run(executor, "bad"), "BŁĄD: Nieprawidłowe argumenty: pole „x” jest wymagane");
    EXPECT_EQ(run(executor, "throws"), "BŁĄD: Nie udało się wykonać: zepsute");
    gate->allow = false;
    EXPECT_EQ(run(executor, "ok", "nie json"), "Nie wykonano — brak potwierdzenia.");
    EXPECT_EQ(ok->calls, 1);
    EXPECT_EQ(gate->asked, QStringList({"ok", "bad", "throws", "ok"}));
    EXPECT_EQ(gate->recorded, QStringList({"ok|" + huge + "|wynik " + huge,
                                           "bad|{}|BŁĄD: Nieprawidłowe argumenty: pole „x” jest wymagane",
                                           "throws|{}|BŁĄD: Nie udało się wykonać: zepsute",
                                           "ok|nie json|Nie wykonano — brak potwierdzenia."}));
}

std::optional<ToolOutcome> ask(SystemInfoTool& tool, const QString& args)
{
    return selvina::testing::runTask(tool.execute(args), std::chrono::seconds(15));
}

TEST(SystemInfo, EveryQueryAnswersOnThisMachineAndBadArgumentsListTheSevenValues)
{
    SystemInfoTool tool;
    for (SystemInfoTool::Query q : SystemInfoTool::kQueries) {
        const QString raw = SystemInfoTool::rawValue(q);
        SCOPED_TRACE(raw.toStdString());
        const auto outcome = ask(tool, "{\"query\":\"" + raw + "\",\"extra\":1}");
        ASSERT_TRUE(outcome.has_value());
        // These come with every Debian system; they must really answer.
        EXPECT_TRUE(outcome->ok() || !QStringList({"storage", "memory", "uptime", "datetime"}).contains(raw));
        if (outcome->ok()) {
            EXPECT_FALSE(outcome->value().isEmpty());
            EXPECT_EQ(outcome->value(), outcome->value().trimmed());
        } else {
            const QString text = outcome->error().description();
            EXPECT_TRUE(text == "Nie udało się wykonać: polecenie nie zwróciło odpowiedzi" ||
                        text.startsWith("Nie udało się wykonać: nie udało się uruchomić " +
                                        SystemInfoTool::command(q).executable + ": "))
                << text.toStdString();
        }
    }

    const QString expected = QStringLiteral("Nieprawidłowe argumenty: pole „query” musi być jednym z: battery, storage, "
                                            "network, memory, uptime, volume, datetime");
    for (const char* args : {"", "nie json", "[]", "{}", R"({"query":5})", R"({"query":"Battery"})",
                             R"({"query":["battery"]})", R"({"query":null})", "\"battery\""})
        EXPECT_EQ(ask(tool, QString::fromUtf8(args))->error().description(), expected) << args;
}

TEST(SystemInfo, MissingHungSilentAndGarbledCommandsFailWithText)
{
    using Q = SystemInfoTool::Query;
    // The query, the command it runs, its time limit (ms) and the error after "Nie udało się wykonać: ".
    const std::tuple<Q, SystemInfoTool::Command, int, const char*> cases[] = {
        {Q::volume, {"/nonexistent/pactl", {}}, 10'000,
         "nie udało się uruchomić /nonexistent/pactl: nie ma takiego programu (pakiet nie jest zainstalowany)"},
        {Q::uptime, {"/bin/sleep", {"30"}}, 200, "polecenie /bin/sleep nie odpowiedziało w ciągu 0.2 s"},
        {Q::memory, {"/bin/sh", {"-c", "echo oops >&2; printf '  \\n\\t'"}}, 10'000,
         "polecenie nie zwróciło odpowiedzi"},
        // Output that is not UTF-8 counts as none.
        {Q::memory, {"/bin/sh", {"-c", "printf 'Mem \\377\\376'"}}, 10'000, "polecenie nie zwróciło odpowiedzi"},
    };
    for (const auto& [query, command, timeoutMs, expected] : cases) {
        SystemInfoTool tool({std::chrono::milliseconds(timeoutMs), std::pair{query, command}});
        EXPECT_EQ(ask(tool, QStringLiteral(R"({"query":"%1"})").arg(SystemInfoTool::rawValue(query)))->error().description(),
                  QStringLiteral("Nie udało się wykonać: ") + QString::fromUtf8(expected));
    }
}

TEST(SystemInfo, DateFollowsThePolishLocale)
{
    // A private Polish locale, so the test needs no change to the machine's locale list.
    QTemporaryDir locales;
    const int built = QProcess::execute("/usr/bin/localedef",
                                        {"-i", "pl_PL", "-f", "UTF-8", locales.filePath("pl_PL.UTF-8")});
    if (built != 0 && built != 1) // 1: warnings only
        GTEST_SKIP() << "localedef could not build pl_PL";
    qputenv("LOCPATH", QFile::encodeName(locales.path()));
    qputenv("LC_ALL", "pl_PL.UTF-8");
    SystemInfoTool tool;
    const auto outcome = ask(tool, R"({"query":"datetime"})");
    qunsetenv("LC_ALL");
    qunsetenv("LOCPATH");
    ASSERT_TRUE(outcome && outcome->ok());
    static const QRegularExpression shape(
        QStringLiteral("^(poniedziałek|wtorek|środa|czwartek|piątek|sobota|niedziela), \\d{1,2} \\w+ \\d{4}, godzina "
                       "\\d{1,2}:\\d{2}$"),
        QRegularExpression::UseUnicodePropertiesOption);
    EXPECT_TRUE(shape.match(outcome->value()).hasMatch()) << outcome->value().toStdString();
}

} // namespace

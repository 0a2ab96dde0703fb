// The allowlist file and the text rules of the gate: expressions, speech formatting, the audit
// file's failure path.
#include "TestSupport.h"

#include "safety/AuditLog.h"
#include "safety/HostAllowlist.h"
#include "safety/RiskAssessment.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace selvina;
using namespace selvina::safety;

namespace {

class AllowlistTest : public ::testing::Test {
protected:
    HostAllowlist load(const QByteArray& text) { return HostAllowlist(selvina::testing::writeFile(path(), text)); }
    QString path() const { return m_dir.filePath(QStringLiteral("allowlist.json")); }
    QTemporaryDir m_dir;
};

TEST_F(AllowlistTest, StatusMessagesNameTheFileAndShowTheExample)
{
    EXPECT_EQ(HostAllowlist(path()).statusMessage(),
              "Brak pliku allowlisty (" + path() +
                  "). Wszystkie hosty SSH są zablokowane, dopóki plik nie zostanie utworzony. Aby dodać host, utwórz "
                  "plik o tej treści:\n" + AllowlistDocument::exampleText());
    // The example itself must load, so a user who copies it gets a working file.
    EXPECT_EQ(load(AllowlistDocument::exampleText().toUtf8()).statusMessage(),
              "Allowlista wczytana: 1 hostów, 1 wzorców wymagających potwierdzenia, 1 wzorców zablokowanych na stałe.");
    EXPECT_FALSE(AllowlistDocument::exampleText().endsWith('\n'));

    const std::pair<const char*, const char*> broken[] = { // the file's text, what the message says is wrong
        {R"({"hosts": [], "alwaysConfirm": []})", "brak wymaganego klucza „alwaysBlock”"},
        {R"({"hosts": {}, "alwaysConfirm": [], "alwaysBlock": []})", "klucz „hosts” nie jest tablicą"},
        {R"({"hosts":[{"note":"x"}],"alwaysConfirm":[],"alwaysBlock":[]})", "element 1 tablicy „hosts” nie ma tekstowego pola „host”"},
        {R"({"hosts":[{"host":"a","note":5}],"alwaysConfirm":[],"alwaysBlock":[]})", "element 1 tablicy „hosts”: pole „note” nie jest tekstem"},
        {R"({"hosts":[],"alwaysConfirm":[],"alwaysBlock":[{"pattern":1}]})", "element 1 tablicy „alwaysBlock” nie ma tekstowego pola „pattern”"},
        {R"([1])", "dokument nie jest obiektem JSON"},
        {"{\"hosts\": [", "to nie jest poprawny JSON"},
    };
    for (const auto& [text, detail] : broken) {
        SCOPED_TRACE(text);
        const HostAllowlist list = load(text);
        EXPECT_TRUE(list.statusMessage().startsWith("Plik allowlisty (" + path() +
                                                    ") jest uszkodzony lub ma zły format (" + QString::fromUtf8(detail)));
        EXPECT_TRUE(list.statusMessage().endsWith("Oczekiwany format:\n" + AllowlistDocument::exampleText()));
        EXPECT_TRUE(list.document().hosts.isEmpty());
        EXPECT_FALSE(list.evaluate(QStringLiteral("a")).allowed);
    }
}

TEST_F(AllowlistTest, HostsAndPatterns)
{
    const HostAllowlist list = load(R"({"hosts": [{"host": "Srv.Local"}, {"host": " spaced"}],
        "alwaysConfirm": [{"pattern": "systemctl restart"}, {"pattern": "Both"}],
        "alwaysBlock": [{"pattern": "Rm -Rf /"}, {"pattern": "both"}], "extra": 1})");
    EXPECT_TRUE(list.evaluate(QStringLiteral("  srv.LOCAL \n")).allowed);
    EXPECT_FALSE(list.evaluate(QStringLiteral("spaced")).allowed);
    EXPECT_FALSE(list.evaluate(QStringLiteral(" spaced")).allowed); // the asked host is trimmed, entries are not
    EXPECT_TRUE(list.evaluate(QStringLiteral(" \t")).reason.startsWith(
        "Nie udało się jednoznacznie ustalić hosta docelowego z polecenia — połączenie zablokowane. Allowlista"));
    EXPECT_TRUE(list.evaluate(QStringLiteral(" Other ")).reason.startsWith("Host „ Other ” nie jest na allowliście. "));

    auto verdict = list.commandVerdict(QStringLiteral("echo; RM -RF /home"));
    EXPECT_EQ(verdict.kind, HostAllowlist::VerdictKind::block);
    EXPECT_EQ(verdict.pattern, "Rm -Rf /");
    EXPECT_EQ(list.commandVerdict(QStringLiteral("BOTH")).kind, HostAllowlist::VerdictKind::block);
    verdict = list.commandVerdict(QStringLiteral("Systemctl Restart x"));
    EXPECT_EQ(verdict.kind, HostAllowlist::VerdictKind::confirm);
    EXPECT_EQ(verdict.pattern, "systemctl restart");
    EXPECT_EQ(list.commandVerdict(QStringLiteral("ls")).kind, HostAllowlist::VerdictKind::none);

    const HostAllowlist empty = load(R"({"hosts": [], "alwaysConfirm": [], "alwaysBlock": [{"pattern": ""}]})");
    EXPECT_EQ(empty.commandVerdict(QStringLiteral("anything")).kind, HostAllowlist::VerdictKind::block);
}

TEST(RiskRules, ExpressionsOnTheirExamples)
{
    const auto has = [](const char* text, const char* name) {
        return detectRiskPatterns(QString::fromUtf8(text)).contains(QString::fromUtf8(name));
    };
    const char* redirect = "przekierowanie nadpisujące (>)";
    for (const char* text : {"echo a > b", "a>b", "> start"})
        EXPECT_TRUE(has(text, redirect)) << text;
    for (const char* text : {"echo a >> b", "a -> b => c >= d", "a >>> b"})
        EXPECT_FALSE(has(text, redirect)) << text;

    // -f alone counts also as the last word of a JSON string value, or before an escape in it.
    for (const char* text : {"git push -f", "-f\tgit push", "GIT PUSH --FORCE-IF-INCLUDES", R"({"c":"git push origin -f"})",
                             R"({"c":"git push -f\nls"})"})
        EXPECT_TRUE(matchesGitPushForce(QString::fromUtf8(text))) << text;
    for (const char* text : {R"({"c":"git push origin hot-f"})", "git push origin hot-f", "git pull -f", "git push -fx"})
        EXPECT_FALSE(matchesGitPushForce(QString::fromUtf8(text))) << text;

    EXPECT_EQ(detectRiskPatterns(QStringLiteral("sudo rm x; reboot; shutdown; dd; mkfs.btrfs > y")),
              QStringList({"rm", "reboot", "shutdown", "dd", "mkfs", "sudo", redirect}));
    EXPECT_TRUE(detectRiskPatterns(QStringLiteral("format, sudoers, rmdir, add, mkfsx")).isEmpty());
    EXPECT_TRUE(has("żółw rm", "rm")); // word boundaries are Unicode-aware
    EXPECT_FALSE(has("żrm", "rm"));
}

TEST(RiskRules, ArgumentsAreDecodedLenientlyInOrderAndIntoNestedJson)
{
    const DecodedArguments d = decodeArguments(
        QStringLiteral(R"({"a\/b":"\ud83d\ude00 \x \u12","n":"{\"k\":\"\\u0041\"}","n2":"{\"k\":\"\\u0041\"}", "end":"open)"));
    EXPECT_EQ(d.plain, QStringLiteral(R"({"a/b":"😀 \\x \\u12","n":"{\"k\":\"\\u0041\"}","n2":"{\"k\":\"\\u0041\"}", "end":"open)"));
    EXPECT_EQ(d.values, QStringList({"a/b", R"(😀 \x \u12)", "n", R"({"k":"\u0041"})", R"({"k":"A"})", "k", "A", "n2",
                                     "end", "open"}));

    // A blocked fragment as deep as the decoding goes is still found.
    const HostAllowlist blocking(AllowlistDocument{{}, {}, {QStringLiteral("rm -rf /")}}, {});
    const ToolDefinition tool{QStringLiteral("control_ui"), {}, {}, ActionClass::reversibleWrite};
    QString text = QStringLiteral(R"({"c":"rm -rf \/"})");
    for (int level = 1; level < kNestedStringDepth; ++level) {
        const QByteArray quoted = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
        text = QStringLiteral(R"({"k":)") + QString::fromUtf8(quoted.mid(1, quoted.size() - 2)) + QLatin1Char('}');
    }
    EXPECT_TRUE(assess(tool, text, blocking, NativeConfirmation::on).blockedPattern);
}

TEST(RiskRules, SpeechFormattingCutsLongValuesAtEveryLevel)
{
    const QString notice = QStringLiteral("… (skrócono do potwierdzenia głosowego, pełna treść w dzienniku audytu)");
    const QString longText(400, QLatin1Char('a'));
    EXPECT_EQ(formatArgumentsForSpeech(R"({"b":")" + longText + R"(","a":[true,1e3,{"z":null}]})"),
              "a: tak; 1000; z: brak, b: " + longText.left(300) + notice);
    EXPECT_EQ(stringify(JSONValue(QString(300, 'x'))), QString(300, 'x'));
    // 301 emoji are 602 UTF-16 units: the cut counts characters and never splits a pair.
    const QString emoji = QStringLiteral("😀").repeated(301);
    EXPECT_EQ(stringify(JSONValue(emoji)), emoji.left(600) + notice);
    // The joined array is cut again as a whole.
    JSONValue::Array many(100, JSONValue(QStringLiteral("abcd")));
    EXPECT_EQ(stringify(JSONValue(many)).size(), 300 + notice.size());

    for (const char* unchanged : {"{}", "[1]", "\"x\"", "nie JSON \n \"", ""})
        EXPECT_EQ(canonicalIntent(QString::fromUtf8(unchanged), std::nullopt, std::nullopt),
                  "Zamierzam wykonać: " + QString::fromUtf8(unchanged));
}

TEST(AuditLogFailure, UnwritableFolderLosesOnlyThatEntry)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("logs"));
    AuditLog log(folder + QStringLiteral("/audit.log"));
    auto appendThenTrue = [](AuditLog& l, QString outcome) -> QCoro::Task<bool> {
        AuditEntry entry{QDateTime::currentDateTimeUtc(), "t", "{}", "irreversible", {}, {}, outcome};
        co_await l.append(std::move(entry)); // a braced temporary inside co_await is destroyed twice by GCC 12
        co_return true;
    };
    // A read-only folder stops everyone but root; a file where the folder should be stops root too.
    const bool root = ::geteuid() == 0;
    if (root)
        selvina::testing::writeFile(folder, "not a folder");
    else
        QDir().mkpath(folder), ::chmod(QFile::encodeName(folder).constData(), 0500);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(selvina::testing::runTask(appendThenTrue(log, "lost")).has_value());
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("SelvinaVoice AuditLog: nie udało się zapisać wpisu — ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);

    if (root)
        QFile::remove(folder);
    else
        ::chmod(QFile::encodeName(folder).constData(), 0700);
    EXPECT_TRUE(selvina::testing::runTask(appendThenTrue(log, "kept")).has_value());
    const QByteArray content = selvina::testing::readFile(log.filePath());
    EXPECT_TRUE(content.contains("\"outcome\":\"kept\"") && !content.contains("lost"));
    EXPECT_EQ(QDir(folder).entryList(QDir::Hidden | QDir::Files).size(), 1); // no temporary left behind
}

TEST(AuditLogConcurrency, ParallelAppendsNeverInterleave)
{
    QTemporaryDir dir;
    AuditLog log(dir.filePath(QStringLiteral("audit.log")));
    const QString big(64 * 1024, QLatin1Char('x')); // larger than a pipe buffer or a single write chunk
    int done = 0;
    std::vector<QCoro::Task<>> tasks;
    for (int i = 0; i < 40; ++i)
        tasks.push_back(log.append({QDateTime::currentDateTimeUtc(), "t", big, "reversibleWrite", {}, {}, QString::number(i)}));
    std::vector<QCoro::Task<>> continuations;
    for (auto& t : tasks)
        continuations.push_back(t.then([&done] { ++done; }));
    selvina::testing::waitFor([&] { return done == 40; }, std::chrono::seconds(10));
    // Entries still queued when the log goes away are written, not dropped.
    auto last = std::make_unique<AuditLog>(log.filePath());
    for (int i = 40; i < 45; ++i)
        tasks.push_back(last->append({QDateTime::currentDateTimeUtc(), "t", {}, "irreversible", {}, {}, QString::number(i)}));
    last.reset();
    QList<QByteArray> lines = selvina::testing::readFile(log.filePath()).split('\n');
    lines.removeLast();
    ASSERT_EQ(lines.size(), 45);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QJsonObject e = QJsonDocument::fromJson(lines[i]).object();
        EXPECT_EQ(e.value("outcome").toString(), QString::number(i)); // queued order is kept
        EXPECT_EQ(e.value("argumentsJSON").toString().size(), i < 40 ? big.size() : 0);
    }
}

} // namespace

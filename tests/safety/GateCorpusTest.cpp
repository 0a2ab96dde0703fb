// The safety gate over a corpus of argument texts, with the real audit log and allowlist file.
#include "TestSupport.h"

#include "platform/fake/MemoryStores.h"
#include "safety/VoiceSafetyGate.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace selvina;
using namespace selvina::safety;

namespace {

const ToolDefinition kScreen{QStringLiteral("read_screen"), {}, {}, ActionClass::read};
const ToolDefinition kUI{QStringLiteral("control_ui"), {}, {}, ActionClass::reversibleWrite};
const ToolDefinition kSSH{QStringLiteral("ssh_exec"), {}, {}, ActionClass::reversibleWrite};
const ToolDefinition kDelegate{QStringLiteral("delegate_task"), {}, {}, ActionClass::reversibleWrite};

enum Expect { noAudit, write, refused, allowIntent, allowCommand, allowOnHost }; // from allowIntent on: allowed, intended

// Every spelling of a row is classified, decided and audited alike (each entry with its own
// arguments text): an escaped character, a line break or a tab inside a JSON string, or a
// command inside a string that is itself JSON, counts exactly as the plain text would.
struct Row {
    const ToolDefinition* tool;
    Expect expect;
    const char* intent; // for allowIntent; the host for allowOnHost (which, like allowCommand, reads the command)
    std::vector<const char*> spellings;
};

// Allowlist: hosts 10.0.0.5 and Build.Example.org; confirm "systemctl restart";
// block "rm -rf /" and "mkfs.ext4 /dev/sda".
const Row kCorpus[] = {
    // Allowed, each with the intent naming its command: "Wykonam polecenie: " and the object's one value.
    {&kScreen, allowCommand, nullptr,
     {R"({"command":"rm -rf ~/tmp"})", R"({"command":"rm -rf ~\/tmp"})", R"({"\u0063ommand":"rm -rf ~/tmp"})",
      R"({"command":"\u0072m -rf ~/tmp"})", R"({"cmd":"sudo apt install x"})", R"({"cmd":"\u0073udo apt install x"})",
      R"({"cmd":"SUDO reboot"})", R"({"script":"shutdown -h now"})", R"({"script":"shut\u0064own -h now"})",
      R"({"command":"Reboot-helper"})", R"({"bash":"x > 1"})"}},
    // In the JSON text no word boundary stands between an escape's letter and the word.
    {&kUI, allowCommand, nullptr,
     {R"({"shell":"dd if=/dev/zero of=/dev/sdb"})", R"({"shell":"\u0064d if=\/dev\/zero of=\/dev\/sdb"})",
      R"({"command":"mkfs.vfat /dev/sdc1"})", R"({"command":"MkFs /dev/sdd"})", R"({"command":"cd /tmp\nrm -rf x"})",
      R"({"command":"cd /tmp\u000Arm -rf x"})", R"({"command":"make\r\nsudo make install"})",
      R"({"command":"true\tsudo ls"})", R"({"command":"true\u0009sudo ls"})", R"({"command":"git push --force origin main"})",
      R"({"command":"git push \u002d-force origin main"})", R"({"command":"git push --force-with-lease"})",
      R"({"command":"git push -f origin main"})", R"({"command":"git push \u002df origin main"})",
      R"({"command":"git\u0020push -f origin main"})", R"({"command":"git\npush -f origin"})",
      R"({"command":"git  push -f x"})", R"({"command":"git\tpush -f origin"})", R"({"command":"git push\t-f origin"})",
      R"({"command":"git push origin -f"})", R"({"command":"git push origin\t-f"})", R"({"sh":"git push -f\nls"})",
      R"({"command":"echo hi > out.txt"})", R"({"command":"echo hi \u003E out.txt"})",
      R"({"command":"systemctl restart nginx"})", R"({"command":"systemctl\u0020restart nginx"})",
      R"({"command":"ls \"/tmp\" > list"})", R"({"command":"printf 'a\\nb' > f"})",
      R"({"cmd":"cat \"a.txt\" | sudo tee b"})"}},
    {&kUI, allowIntent, "Zamierzam wykonać: text: 5 > 3 w zdaniu", {R"({"text":"5 > 3 w zdaniu"})"}},
    {&kScreen, allowIntent, "Zamierzam wykonać: text: dd.mm.yyyy", {R"({"text":"dd.mm.yyyy"})"}},
    {&kScreen, allowIntent, "Zamierzam wykonać: rm this", {R"(rm this)"}},
    {&kScreen, allowIntent, "Zamierzam wykonać: nested: x: tak, value: a>b", {R"({"value":"a>b","nested":{"x":true}})"}},
    {&kScreen, allowIntent, "Zamierzam wykonać: flag: nie, list: 1; 2.5; brak; x, text: x > y",
     {R"({"list":[1,2.5,null,"x"],"flag":false,"text":"x > y"})"}},
    // JSON inside a string is read as JSON too (its own escapes resolved).
    {&kUI, allowIntent, R"(Zamierzam wykonać: args: {"command":"\u0073udo ls"})", {R"({"args":"{\"command\":\"\\u0073udo ls\"}"})"}},
    // SSH: only irreversible calls are checked against the hosts, and every host named must be listed.
    // The intent: "Wykonam na serwerze ", the host as written, " polecenie: " and the command.
    {&kUI, allowOnHost, "10.0.0.5",
     {R"({"command":"ssh 10.0.0.5 sudo reboot"})", R"({"command":"ssh 10.0.0.\u0035 sudo reboot"})",
      R"({"command":"ssh\t10.0.0.5 sudo reboot"})", R"({"command":"ssh root@10.0.0.5 rm -r /var/tmp/x"})",
      R"({"server":"10.0.0.5","cmd":"sudo ls"})"}},
    {&kUI, allowOnHost, "build.example.org", {R"({"command":"ssh -p 2222 admin@build.example.org sudo systemctl stop x"})"}},
    {&kUI, allowOnHost, "Build.Example.org", {R"({"command":"sftp user@Build.Example.org && rm old"})"}},
    {&kSSH, allowOnHost, "10.0.0.5",
     {R"({"host":"10.0.0.5","command":"sudo reboot"})", R"({"\u0068ost":"10.0.0.5","command":"sudo reboot"})",
      R"({"host":"10.0.0.\u0035","command":"sudo reboot"})"}},
    {&kSSH, allowOnHost, " 10.0.0.5 ", {R"({"host":" 10.0.0.5 ","command":"reboot"})"}},
    {&kSSH, allowOnHost, "BUILD.EXAMPLE.ORG", {R"({"hostname":"BUILD.EXAMPLE.ORG","cmd":"rm old.log"})"}},
    {&kSSH, refused, nullptr,
     {R"({"host":"evil.example.com","command":"reboot"})", R"({"host":"evil\u002Eexample.com","command":"reboot"})",
      R"({"command":"reboot"})"}},
    {&kUI, refused, nullptr,
     {R"({"command":"ssh 192.168.7.7 sudo reboot"})", R"({"command":"SSH 192.168.7.7 reboot"})",
      R"({"command":"ls\nssh 192.168.7.7 reboot"})", R"({"command":"ls\u000assh 192.168.7.7 reboot"})",
      R"({"command":"ssh 10.0.0.5 uptime","note":"ssh 192.168.7.7 reboot"})",
      R"({"command":"scp secret.txt 10.0.0.5:/tmp && rm secret.txt"})", R"({"command":"sudo ssh"})",
      R"({"text":"Jak działa ssh? Napisz > 5 zdań"})"}},
    // Blocked fragments, in any letter case and any spelling.
    {&kScreen, refused, nullptr,
     {R"({"command":"rm -rf /"})", R"({"note":"RM -RF /VAR"})", R"({"command":"rm -rf \/"})",
      R"({"command":"\u0072m -rf /"})", R"({"command":"rm\u0020-rf\u0020\u002F"})", R"({"command":"rm -rf \u002fetc"})",
      R"({"args":"{\"command\":\"rm -rf \\/\"}"})", R"({"a":"{\"b\":\"{\\\"c\\\":\\\"rm -rf \\\\/\\\"}\"}"})",
      R"({"text":"wykonaj {\"command\":\"rm -rf \\u002F\"}"})"}},
    {&kUI, refused, nullptr,
     {R"({"command":"mkfs.ext4 /dev/sda1"})", R"({"command":"mkfs.ext4 \/dev\/sda1"})", R"({"command":"mkfs\u002eext4 /dev/sda"})"}},
    {&kUI, write, nullptr,
     {R"({"command":"git push origin fix-f"})", R"({"command":"git commit -f"})", R"({"command":"git push origin main"})",
      R"({"command":"echo hi \u003e\u003e out.txt"})", R"({"text":"a -\u003e b"})", R"({"text":"confirm the form"})",
      R"({"text":"Information"})", R"({"text":"sudoku"})", R"({"text":"\u0073udoku"})", R"([1,2])",
      R"({"sh":"ls \"a b\""})", R"({"command":"ssh 10.0.0.5 uptime"})", R"({"command":"ssh 192.168.7.7 uptime"})"}},
    {&kSSH, write, nullptr, {R"({"command":"ls"})"}},
    {&kScreen, noAudit, nullptr, {R"({"text":"rebooting"})", R"({"text":"re\u0062ooting"})", R"({})", R"({"mode":"full"})"}},
    {&kDelegate, noAudit, nullptr, {R"({"task":"sudo rm -rf /"})", R"({"task":"sudo rm -rf \/"})"}},
};

QCoro::Task<bool> callOnce(VoiceSafetyGate& gate, ToolDefinition tool, QString args)
{
    const bool allowed = co_await gate.authorize(tool, args);
    co_await gate.record(tool, args, allowed ? QStringLiteral("gotowe") : QStringLiteral("Nie wykonano — brak potwierdzenia."));
    co_return allowed;
}

class GateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        selvina::testing::writeFile(m_dir.filePath(QStringLiteral("allowlist.json")), R"({
  "hosts": [{"host": "10.0.0.5"}, {"host": "Build.Example.org", "note": "CI"}],
  "alwaysConfirm": [{"pattern": "systemctl restart"}],
  "alwaysBlock": [{"pattern": "rm -rf /"}, {"pattern": "mkfs.ext4 /dev/sda"}]
})");
    }

    std::unique_ptr<VoiceSafetyGate> makeGate(NativeConfirmation mode, std::function<QDateTime()> clock = [] {
        return QDateTime(QDate(2026, 1, 31), QTime(12, 0, 0, 457), Qt::UTC);
    })
    {
        auto allowlist = std::make_shared<HostAllowlist>(m_dir.filePath(QStringLiteral("allowlist.json")));
        return std::make_unique<VoiceSafetyGate>(std::make_shared<SilentConfirmation>(), allowlist,
                                                 std::make_shared<AuditLog>(auditPath()), m_systemLog,
                                                 VoiceSafetyGate::Options{.mode = mode, .clock = std::move(clock)});
    }

    bool call(VoiceSafetyGate& gate, const ToolDefinition& tool, const QString& args)
    {
        return selvina::testing::runTask(callOnce(gate, tool, args)).value_or(false);
    }

    QString auditPath() const { return m_dir.filePath(QStringLiteral("logs/audit.log")); }
    QList<QByteArray> auditLines() const
    {
        QList<QByteArray> lines = selvina::testing::readFile(auditPath()).split('\n');
        lines.removeLast(); // after the final line feed
        return lines;
    }

    QTemporaryDir m_dir;
    platform::fake::MemorySystemLog m_systemLog;
};

TEST_F(GateTest, CorpusGetsItsClassDecisionAndAuditEntry)
{
    auto gate = makeGate(NativeConfirmation::on);
    std::size_t spellings = 0;
    for (const Row& row : kCorpus)
        for (const char* spelling : row.spellings) {
            SCOPED_TRACE(spelling);
            ++spellings;
            const qsizetype before = auditLines().size(), logged = m_systemLog.lines.size();
            const QString args = QString::fromUtf8(spelling);
            const bool intended = row.expect >= allowIntent;
            // The command: the value of the alphabetically first key.
            const QString command = QJsonDocument::fromJson(spelling).object().toVariantMap().values().value(0).toString();
            const QString intent = row.expect == allowCommand  ? "Wykonam polecenie: " + command
                                   : row.expect == allowOnHost ? "Wykonam na serwerze " + QString::fromUtf8(row.intent) + " polecenie: " + command
                                                               : QString::fromUtf8(row.intent);
            EXPECT_EQ(call(*gate, *row.tool, args), row.expect != refused);

            const QList<QByteArray> lines = auditLines();
            if (row.expect == noAudit || lines.size() != before + 1) {
                EXPECT_EQ(lines.size(), before + (row.expect != noAudit)) << "audit entries";
                continue;
            }
            QJsonObject entry = QJsonDocument::fromJson(lines.last()).object();
            entry.remove("outcome");
            QJsonObject expected{{"tool", row.tool->name}, {"argumentsJSON", args}, {"timestamp", "2026-01-31T12:00:00Z"},
                                 {"actionClass", row.expect == write ? "reversibleWrite" : "irreversible"}};
            if (intended)
                expected["confirmationText"] = intent;
            if (intended || row.expect == refused)
                expected["confirmationGranted"] = intended;
            EXPECT_EQ(entry, expected);
            EXPECT_EQ(m_systemLog.lines.mid(logged),
                      intended ? QStringList{"[SelvinaVoice] Zamiar bez pytania (zgoda po stronie rozmowy): " + intent} : QStringList{});
        }
    EXPECT_GE(spellings, 100u);
    EXPECT_EQ(gate->pendingCount(), 0);
}

TEST_F(GateTest, AuditLinesAreExact)
{
    auto gate = makeGate(NativeConfirmation::on);
    call(*gate, kScreen, QStringLiteral(R"({"command":"sudo ls"})"));
    call(*gate, kUI, QStringLiteral(R"({"command":"rm -rf /"})"));
    call(*gate, kUI, QStringLiteral("{\"text\":\"pisz \\\"tak\\\"\\n\"}"));
    const QList<QByteArray> lines = auditLines();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], R"({"actionClass":"irreversible","argumentsJSON":"{\"command\":\"sudo ls\"}",)"
                        R"("confirmationGranted":true,"confirmationText":"Wykonam polecenie: sudo ls",)"
                        R"("outcome":"gotowe","timestamp":"2026-01-31T12:00:00Z","tool":"read_screen"})");
    EXPECT_EQ(lines[1], R"({"actionClass":"irreversible","argumentsJSON":"{\"command\":\"rm -rf /\"}",)"
                        R"("confirmationGranted":false,"outcome":"Nie wykonano — brak potwierdzenia.",)"
                        R"("timestamp":"2026-01-31T12:00:00Z","tool":"control_ui"})");
    EXPECT_EQ(lines[2], R"({"actionClass":"reversibleWrite","argumentsJSON":"{\"text\":\"pisz \\\"tak\\\"\\n\"}",)"
                        R"("outcome":"gotowe","timestamp":"2026-01-31T12:00:00Z","tool":"control_ui"})");
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(auditPath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u); // it holds what the user asked for
}

TEST_F(GateTest, SwitchedOffNothingIsRefusedOrAudited)
{
    auto gate = makeGate(NativeConfirmation::off);
    EXPECT_TRUE(call(*gate, kUI, QStringLiteral(R"({"command":"rm -rf /"})")));
    EXPECT_TRUE(call(*gate, kUI, QStringLiteral(R"({"command":"ssh 1.2.3.4 sudo reboot"})")));
    EXPECT_TRUE(auditLines().isEmpty());
    EXPECT_TRUE(m_systemLog.lines.isEmpty());
}

TEST_F(GateTest, IdenticalCallsInFlightAreRecordedOldestFirst)
{
    int tick = 0;
    auto gate = makeGate(NativeConfirmation::on, [&tick] { return QDateTime(QDate(2026, 1, 31), QTime(12, 0, ++tick), Qt::UTC); });
    const QString args = QStringLiteral(R"({"command":"sudo ls"})");
    ASSERT_TRUE(selvina::testing::runTask(gate->authorize(kUI, args)).value_or(false));
    ASSERT_TRUE(selvina::testing::runTask(gate->authorize(kUI, args)).value_or(false));
    selvina::testing::runTask(gate->record(kUI, args, QStringLiteral("pierwszy")).then([] { return true; }));
    selvina::testing::runTask(gate->record(kUI, args, QStringLiteral("drugi")).then([] { return true; }));
    const QList<QByteArray> lines = auditLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].contains(R"("outcome":"pierwszy","timestamp":"2026-01-31T12:00:01Z")"));
    EXPECT_TRUE(lines[1].contains(R"("outcome":"drugi","timestamp":"2026-01-31T12:00:02Z")"));
    EXPECT_EQ(gate->pendingCount(), 0);
}

} // namespace

// The safety gate over a corpus of argument texts, with the real audit log and allowlist file.
#include "TestSupport.h"

#include "platform/fake/MemoryStores.h"
#include "safety/VoiceSafetyGate.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace selvina;
using namespace selvina::safety;

namespace {

const ToolDefinition kScreen{QStringLiteral("read_screen"), {}, {}, ActionClass::read};
const ToolDefinition kUI{QStringLiteral("control_ui"), {}, {}, ActionClass::reversibleWrite};
const ToolDefinition kSSH{QStringLiteral("ssh_exec"), {}, {}, ActionClass::reversibleWrite};
const ToolDefinition kDelegate{QStringLiteral("delegate_task"), {}, {}, ActionClass::reversibleWrite};

enum Expect { noAudit, write, allowIntent, refused };

struct Case {
    const ToolDefinition* tool;
    const char* args;
    Expect expect;
    const char* intent = nullptr; // for allowIntent
};

// Allowlist: hosts 10.0.0.5 and Build.Example.org; confirm "systemctl restart";
// block "rm -rf /" and "mkfs.ext4 /dev/sda".
const Case kCorpus[] = {
    {&kScreen, R"({"command":"rm -rf ~/tmp"})", allowIntent, "Wykonam polecenie: rm -rf ~/tmp"},
    {&kScreen, R"({"command":"RM -RF /home/x"})", refused},
    {&kScreen, R"({"cmd":"sudo apt install x"})", allowIntent, "Wykonam polecenie: sudo apt install x"},
    {&kScreen, R"({"cmd":"SUDO reboot"})", allowIntent, "Wykonam polecenie: SUDO reboot"},
    {&kScreen, R"({"script":"shutdown -h now"})", allowIntent, "Wykonam polecenie: shutdown -h now"},
    {&kUI, R"({"shell":"dd if=/dev/zero of=/dev/sdb"})", allowIntent, "Wykonam polecenie: dd if=/dev/zero of=/dev/sdb"},
    {&kUI, R"({"command":"mkfs.ext4 /dev/sda1"})", refused},
    {&kUI, R"({"command":"echo MKFS.EXT4 /DEV/SDA2"})", refused},
    {&kUI, R"({"command":"mkfs.vfat /dev/sdc1"})", allowIntent, "Wykonam polecenie: mkfs.vfat /dev/sdc1"},
    {&kUI, R"({"command":"MkFs /dev/sdd"})", allowIntent, "Wykonam polecenie: MkFs /dev/sdd"},
    {&kUI, R"({"command":"git push --force origin main"})", allowIntent, "Wykonam polecenie: git push --force origin main"},
    {&kUI, R"({"command":"git push --force-with-lease"})", allowIntent, "Wykonam polecenie: git push --force-with-lease"},
    {&kUI, R"({"command":"git push -f origin main"})", allowIntent, "Wykonam polecenie: git push -f origin main"},
    {&kUI, R"({"command":"git\npush -f origin"})", allowIntent, "Wykonam polecenie: git\npush -f origin"},
    {&kUI, R"({"command":"git  push -f x"})", allowIntent, "Wykonam polecenie: git  push -f x"},
    {&kUI, R"({"command":"git push origin fix-f"})", write},
    {&kUI, R"({"command":"git push origin -f"})", write},
    {&kUI, R"({"command":"git commit -f"})", write},
    {&kUI, R"({"command":"git push origin main"})", write},
    {&kUI, R"({"command":"echo hi > out.txt"})", allowIntent, "Wykonam polecenie: echo hi > out.txt"},
    {&kUI, R"({"command":"echo hi >> out.txt"})", write},
    {&kUI, R"({"text":"a -> b"})", write},
    {&kUI, R"({"text":"x => y"})", write},
    {&kUI, R"({"text":"x >= 3"})", write},
    {&kUI, R"({"text":"5 > 3 w zdaniu"})", allowIntent, "Zamierzam wykonać: text: 5 > 3 w zdaniu"},
    {&kUI, R"({"command":"systemctl restart nginx"})", allowIntent, "Wykonam polecenie: systemctl restart nginx"},
    {&kScreen, R"({"command":"SYSTEMCTL RESTART nginx"})", allowIntent, "Wykonam polecenie: SYSTEMCTL RESTART nginx"},
    {&kScreen, R"({"command":"rm -rf /"})", refused},
    {&kScreen, R"({"note":"RM -RF /VAR"})", refused},
    {&kUI, R"({"text":"confirm the form"})", write},
    {&kUI, R"({"text":"Information"})", write},
    {&kUI, R"({"text":"sudoku"})", write},
    {&kScreen, R"({"text":"rebooting"})", noAudit},
    {&kScreen, R"({"text":"dd.mm.yyyy"})", allowIntent, "Zamierzam wykonać: text: dd.mm.yyyy"},
    {&kScreen, R"({"command":"Reboot-helper"})", allowIntent, "Wykonam polecenie: Reboot-helper"},
    {&kScreen, R"({})", noAudit},
    {&kScreen, R"({"mode":"full"})", noAudit},
    {&kScreen, R"(rm this)", allowIntent, "Zamierzam wykonać: rm this"},
    {&kUI, R"([1,2])", write},
    {&kUI, R"({"command":"ls \"/tmp\" > list"})", allowIntent, "Wykonam polecenie: ls \"/tmp\" > list"},
    {&kUI, R"({"command":"printf 'a\\nb' > f"})", allowIntent, "Wykonam polecenie: printf 'a\\nb' > f"},
    {&kUI, R"({"cmd":"cat \"a.txt\" | sudo tee b"})", allowIntent, "Wykonam polecenie: cat \"a.txt\" | sudo tee b"},
    {&kUI, R"({"applescript":"do shell script \"ls\""})", write},
    {&kScreen, R"({"jxa":"x > 1"})", allowIntent, "Wykonam polecenie: x > 1"},
    {&kScreen, R"({"value":"a>b","nested":{"x":true}})", allowIntent, "Zamierzam wykonać: nested: x: tak, value: a>b"},
    {&kScreen, R"({"list":[1,2.5,null,"x"],"flag":false,"text":"x > y"})", allowIntent,
     "Zamierzam wykonać: flag: nie, list: 1; 2.5; brak; x, text: x > y"},
    // SSH: only irreversible calls are checked against the hosts.
    {&kUI, R"({"command":"ssh 10.0.0.5 uptime"})", write},
    {&kUI, R"({"command":"ssh 192.168.7.7 uptime"})", write},
    {&kUI, R"({"command":"ssh 10.0.0.5 sudo reboot"})", allowIntent,
     "Wykonam na serwerze 10.0.0.5 polecenie: ssh 10.0.0.5 sudo reboot"},
    {&kUI, R"({"command":"ssh root@10.0.0.5 rm -r /var/tmp/x"})", allowIntent,
     "Wykonam na serwerze 10.0.0.5 polecenie: ssh root@10.0.0.5 rm -r /var/tmp/x"},
    {&kUI, R"({"command":"ssh -p 2222 admin@build.example.org sudo systemctl stop x"})", allowIntent,
     "Wykonam na serwerze build.example.org polecenie: ssh -p 2222 admin@build.example.org sudo systemctl stop x"},
    {&kUI, R"({"command":"ssh 192.168.7.7 sudo reboot"})", refused},
    {&kUI, R"({"command":"SSH 192.168.7.7 reboot"})", refused},
    {&kSSH, R"({"host":"10.0.0.5","command":"sudo reboot"})", allowIntent,
     "Wykonam na serwerze 10.0.0.5 polecenie: sudo reboot"},
    {&kSSH, R"({"host":" 10.0.0.5 ","command":"reboot"})", allowIntent,
     "Wykonam na serwerze  10.0.0.5  polecenie: reboot"},
    {&kSSH, R"({"hostname":"BUILD.EXAMPLE.ORG","cmd":"rm old.log"})", allowIntent,
     "Wykonam na serwerze BUILD.EXAMPLE.ORG polecenie: rm old.log"},
    {&kSSH, R"({"host":"evil.example.com","command":"reboot"})", refused},
    {&kSSH, R"({"command":"reboot"})", refused},
    {&kSSH, R"({"command":"ls"})", write},
    {&kUI, R"({"command":"scp secret.txt 10.0.0.5:/tmp && rm secret.txt"})", refused},
    {&kUI, R"({"command":"sftp user@Build.Example.org && rm old"})", allowIntent,
     "Wykonam na serwerze Build.Example.org polecenie: sftp user@Build.Example.org && rm old"},
    {&kUI, R"({"server":"10.0.0.5","cmd":"sudo ls"})", allowIntent, "Wykonam na serwerze 10.0.0.5 polecenie: sudo ls"},
    {&kUI, R"({"command":"sudo ssh"})", refused},
    {&kUI, R"({"text":"Jak działa ssh? Napisz > 5 zdań"})", refused},
    {&kDelegate, R"({"task":"sudo rm -rf /"})", noAudit},
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

    std::unique_ptr<VoiceSafetyGate> makeGate(NativeConfirmation mode)
    {
        auto allowlist = std::make_shared<HostAllowlist>(m_dir.filePath(QStringLiteral("allowlist.json")));
        VoiceSafetyGate::Options options;
        options.mode = mode;
        options.clock = [] { return QDateTime(QDate(2026, 1, 31), QTime(12, 0, 0, 457), Qt::UTC); };
        return std::make_unique<VoiceSafetyGate>(std::make_shared<SilentConfirmation>(), allowlist,
                                                 std::make_shared<AuditLog>(auditPath()), m_systemLog,
                                                 std::move(options));
    }

    bool call(VoiceSafetyGate& gate, const ToolDefinition& tool, const QString& args)
    {
        return selvina::testing::runTask(callOnce(gate, tool, args)).value_or(false);
    }

    QString auditPath() const { return m_dir.filePath(QStringLiteral("logs/audit.log")); }
    QList<QByteArray> auditLines() const
    {
        QFile f(auditPath());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QList<QByteArray> lines = f.readAll().split('\n');
        lines.removeLast(); // after the final line feed
        return lines;
    }

    QTemporaryDir m_dir;
    platform::fake::MemorySystemLog m_systemLog;
};

TEST_F(GateTest, CorpusGetsItsClassDecisionAndAuditEntry)
{
    auto gate = makeGate(NativeConfirmation::on);
    for (const Case& c : kCorpus) {
        SCOPED_TRACE(c.args);
        const qsizetype before = auditLines().size();
        const qsizetype logged = m_systemLog.lines.size();
        const QString args = QString::fromUtf8(c.args);
        EXPECT_EQ(call(*gate, *c.tool, args), c.expect != refused);

        const QList<QByteArray> lines = auditLines();
        if (c.expect == noAudit) {
            EXPECT_EQ(lines.size(), before);
            continue;
        }
        ASSERT_EQ(lines.size(), before + 1);
        const QJsonObject e = QJsonDocument::fromJson(lines.last()).object();
        EXPECT_EQ(e.value("tool").toString(), c.tool->name);
        EXPECT_EQ(e.value("argumentsJSON").toString(), args);
        EXPECT_EQ(e.value("timestamp").toString(), "2026-01-31T12:00:00Z");
        EXPECT_EQ(e.value("actionClass").toString(), c.expect == write ? "reversibleWrite" : "irreversible");
        EXPECT_EQ(e.value("confirmationText").toString(), c.intent ? QString::fromUtf8(c.intent) : QString());
        EXPECT_EQ(e.contains("confirmationText"), c.expect == allowIntent);
        EXPECT_EQ(e.contains("confirmationGranted"), c.expect == allowIntent || c.expect == refused);
        EXPECT_EQ(e.value("confirmationGranted").toBool(), c.expect == allowIntent);
        if (c.expect == allowIntent)
            EXPECT_EQ(m_systemLog.lines.value(logged),
                      "[SelvinaVoice] Zamiar bez pytania (zgoda po stronie rozmowy): " + QString::fromUtf8(c.intent));
        else
            EXPECT_EQ(m_systemLog.lines.size(), logged);
    }
    EXPECT_GE(std::size(kCorpus), 60u);
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
    auto allowlist = std::make_shared<HostAllowlist>(m_dir.filePath(QStringLiteral("allowlist.json")));
    VoiceSafetyGate gate(std::make_shared<SilentConfirmation>(), allowlist, std::make_shared<AuditLog>(auditPath()),
                         m_systemLog,
                         {NativeConfirmation::on, 20, [&tick] {
                              return QDateTime(QDate(2026, 1, 31), QTime(12, 0, ++tick), Qt::UTC);
                          }});
    const QString args = QStringLiteral(R"({"command":"sudo ls"})");
    ASSERT_TRUE(selvina::testing::runTask(gate.authorize(kUI, args)).value_or(false));
    ASSERT_TRUE(selvina::testing::runTask(gate.authorize(kUI, args)).value_or(false));
    auto recordThenTrue = [](VoiceSafetyGate& g, QString a, QString outcome) -> QCoro::Task<bool> {
        co_await g.record(kUI, a, outcome);
        co_return true;
    };
    selvina::testing::runTask(recordThenTrue(gate, args, QStringLiteral("pierwszy")));
    selvina::testing::runTask(recordThenTrue(gate, args, QStringLiteral("drugi")));
    const QList<QByteArray> lines = auditLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].contains(R"("outcome":"pierwszy","timestamp":"2026-01-31T12:00:01Z")"));
    EXPECT_TRUE(lines[1].contains(R"("outcome":"drugi","timestamp":"2026-01-31T12:00:02Z")"));
    EXPECT_EQ(gate.pendingCount(), 0);
}

} // namespace

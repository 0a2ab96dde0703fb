// The assistant's own files on a disk that is full to the last byte or read-only: a small tmpfs
// mounted for the test (root only). A write fails aloud once, the file on disk stays the old one
// whole, and the assistant goes on; once the disk takes writes again, so do the files.
#include "TestSupport.h"
#include "core/WriteFailure.h"
#include "overlay/RunLog.h"
#include "platform/linux/settings/IniPreferences.h"
#include "safety/AuditLog.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace selvina;
using namespace selvina::testing;

namespace {

bool run(const QString& program, const QStringList& arguments)
{
    return QProcess::execute(program, arguments) == 0;
}

class FullDisk : public ::testing::Test {
public:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "mounting a tmpfs needs root";
        // Room for the files and a few pages more; the filler takes the rest.
        if (!run(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=96k,mode=0755", "tmpfs", mountPoint.path()}))
            GTEST_SKIP() << "tmpfs cannot be mounted here";
        mounted = true;
    }
    void TearDown() override
    {
        if (mounted)
            run(QStringLiteral("umount"), {"-l", mountPoint.path()});
    }
    QString path(const char* name) const { return mountPoint.filePath(QString::fromLatin1(name)); }
    // Pages first, then single bytes: not one byte is left.
    void fill()
    {
        QFile filler(path("filler"));
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered));
        const QByteArray page(4096, 'f');
        while (filler.write(page) == page.size()) {
        }
        while (filler.write("f", 1) == 1) {
        }
    }
    void emptyOut() { QFile::remove(path("filler")); }
    void remount(const char* mode) { ASSERT_TRUE(run(QStringLiteral("mount"), {"-o", QStringLiteral("remount,") + mode, mountPoint.path()})); }

    QTemporaryDir mountPoint;
    bool mounted = false;
    QStringList said;
};

// Whole lines that end just short of a page: a new line starts in the page's slack, so on a full
// disk its write is cut short after its first bytes.
QByteArray linesOf(qsizetype size, char fill)
{
    QByteArray out;
    while (out.size() + 100 <= size)
        out += QByteArray(99, fill) + '\n';
    return out + QByteArray(size - out.size() - 1, fill) + '\n';
}

} // namespace

TEST_F(FullDisk, WritesFailAloudOnceLeaveTheOldFilesWholeAndResumeWhenThereIsRoom)
{
    struct Case {
        const char* name;
        std::function<void(FullDisk&)> breakDisk, mendDisk;
        QString problem;
    } cases[] = {
        {"full", [](FullDisk& t) { t.fill(); }, [](FullDisk& t) { t.emptyOut(); }, "na dysku nie ma miejsca"},
        {"read-only", [](FullDisk& t) { t.remount("ro"); }, [](FullDisk& t) { t.remount("rw"); }, "dysk jest tylko do odczytu"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        said.clear();
        WriteFailureNotice notice;
        notice.setSay([this](const QString& sentence) { said.append(sentence); });
        for (const char* name : {"preferences.ini", "debug.log", "audit.log"})
            QFile::remove(path(name));
        platform::IniPreferences preferences(path("preferences.ini"), &notice);
        preferences.setValue(QStringLiteral("glos"), QStringLiteral("stary"));
        const QByteArray oldPreferences = readFile(path("preferences.ini"));
        const QByteArray oldRunLog = linesOf(4000, 'r');
        const QByteArray oldAudit = linesOf(4000, 'a');
        writeFile(path("debug.log"), oldRunLog);
        writeFile(path("audit.log"), oldAudit);
        overlay::DebugFileLog runLog(path("debug.log"), nullptr, &notice);
        safety::AuditLog audit(path("audit.log"), &notice);
        // Longer than a page: a line never fits in what is left of the file's last one.
        const auto line = [](const QString& word) { return word.repeated(4096 / word.size() + 1); };
        const auto writeEverything = [&](const QString& word) {
            preferences.setValue(QStringLiteral("glos"), word);
            runLog.append({QUuid::createUuid(), QDateTime::currentDateTime(), ChatKind::assistant, line(word)});
            runLog.written().waitForFinished();
            ASSERT_TRUE(runTask(audit.append({QDateTime::currentDateTimeUtc(), line(word), "{}", "write", {}, {}, "ok"})
                                    .then([] { return true; })));
        };

        c.breakDisk(*this);
        writeEverything(QStringLiteral("nowy"));
        writeEverything(QStringLiteral("nowszy"));
        settle();
        EXPECT_EQ(said, (QStringList{WriteFailureNotice::sentence("ustawień", c.problem),
                                     WriteFailureNotice::sentence("dziennika rozmowy", c.problem),
                                     WriteFailureNotice::sentence("dziennika bezpieczeństwa", c.problem)}));
        EXPECT_EQ(readFile(path("preferences.ini")), oldPreferences);
        EXPECT_EQ(readFile(path("debug.log")), oldRunLog);
        EXPECT_EQ(readFile(path("audit.log")), oldAudit);
        EXPECT_EQ(preferences.value(QStringLiteral("glos")).toString(), QStringLiteral("nowszy")); // for this run

        said.clear();
        c.mendDisk(*this);
        writeEverything(QStringLiteral("najnowszy"));
        EXPECT_TRUE(platform::IniPreferences(path("preferences.ini")).value(QStringLiteral("glos")) == QStringLiteral("najnowszy"));
        EXPECT_TRUE(readFile(path("debug.log")).startsWith(oldRunLog));
        EXPECT_TRUE(readFile(path("debug.log")).endsWith(line(QStringLiteral("najnowszy")).toUtf8() + '\n'));
        EXPECT_TRUE(readFile(path("audit.log")).startsWith(oldAudit));
        EXPECT_EQ(readFile(path("audit.log")).count('\n'), oldAudit.count('\n') + 1);
        // Broken again: said again, once.
        c.breakDisk(*this);
        writeEverything(QStringLiteral("jeszcze"));
        writeEverything(QStringLiteral("i jeszcze"));
        settle();
        EXPECT_EQ(said.size(), 3) << said.join(u'\n').toStdString();
        c.mendDisk(*this);
    }
}

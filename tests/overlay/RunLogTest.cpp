// The run log on real files in a temporary folder, with the real run-preview switch.
#include "overlay/DebugPanelView.h"
#include "overlay/RunLog.h"
#include "platform/fake/MemoryStores.h"
#include "settings/LaunchPreferences.h"

#include "TestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <tuple>

using namespace selvina;
using namespace selvina::overlay;
using selvina::settings::DeveloperPreferences;

namespace {

class RunLog : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    // A folder that does not exist yet, two levels deep.
    QString path() const { return m_dir.filePath(QStringLiteral("state/selvina-voice/debug.log")); }
    QStringList lines(DebugFileLog& file) const
    {
        file.written().waitForFinished();
        QStringList out = QString::fromUtf8(selvina::testing::readFile(path())).split(QLatin1Char('\n'));
        EXPECT_EQ(out.takeLast(), QString()); // every line ends with a line break
        return out;
    }
    static QString field(const QString& line, int n) { return line.section(QLatin1Char('\t'), n, n); }

    QTemporaryDir m_dir;
    platform::fake::MemoryPreferences m_store;
};

} // namespace

TEST_F(RunLog, TheSwitchKeepsEntriesOutOfTheFileAndTurningItOnWritesOneMarkerFirst)
{
    DebugFileLog file(path(), &DeveloperPreferences::runLogEnabled);
    DeveloperPreferences prefs(m_store, [&file](const QString& m) { file.appendMarker(m); });
    DebugLog log(&file);
    log.append(ChatKind::user, QStringLiteral("przed"));
    prefs.setShowDebugPanel(true);
    prefs.setShowDebugPanel(true);
    log.append(ChatKind::toolCall, QStringLiteral("po"));

    EXPECT_EQ(log.entries().size(), 2u); // the panel shows both
    const QStringList written = lines(file);
    ASSERT_EQ(written.size(), 2) << written.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(written[0].section('\t', 1), QStringLiteral("—\t=== zapis przebiegu włączony ==="));
    EXPECT_EQ(written[1].section('\t', 1), QStringLiteral("tool\tpo"));
    EXPECT_TRUE(QDateTime::fromString(field(written[1], 0), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).isValid());
    prefs.setShowDebugPanel(false);
}

TEST_F(RunLog, LineBreaksOfBothKindsBecomeOneLineAndAHugeBodyReachesTheFileWhole)
{
    DebugFileLog file(path(), [] { return true; });
    DebugLog log(&file);
    log.append(ChatKind::toolResult, QStringLiteral("a\r\nb\nc\rd"));
    const QString huge = QString(QStringLiteral("x\n")).repeated(1 << 20);
    log.append(ChatKind::assistant, huge);

    const QStringList written = lines(file);
    ASSERT_EQ(written.size(), 2);
    EXPECT_EQ(field(written[0], 2), QStringLiteral("a⏎b⏎c\rd"));
    EXPECT_EQ(field(written[1], 2).size(), huge.size());
    // The panel gets one short line of it.
    const DebugPanelRow row = debugPanelRow(log.entries(), 1);
    EXPECT_LE(row.body.size(), kPanelBodyLimit + 1);
    EXPECT_FALSE(row.body.contains(QLatin1Char('\n')));
}

TEST_F(RunLog, AFolderThatCannotBeMadeLosesTheLinesSilently)
{
    selvina::testing::writeFile(m_dir.filePath(QStringLiteral("state")), {}); // a file where the folder should be
    DebugFileLog file(path(), [] { return true; });
    DebugLog log(&file);
    log.append(ChatKind::error, QStringLiteral("gdzieś"));
    file.appendMarker(QStringLiteral("=== znacznik ==="));
    EXPECT_TRUE(lines(file).isEmpty()); // and written() came back: nothing hangs
    EXPECT_EQ(log.entries().size(), 1u);
}

TEST(RunLogMemory, The301stEntryEvictsExactlyTheFirst)
{
    DebugLog log(nullptr);
    for (int i = 0; i <= 300; ++i)
        log.append(ChatKind::state, QString::number(i));
    ASSERT_EQ(log.entries().size(), DebugLog::kLimit);
    EXPECT_EQ(log.entries().front().body, QStringLiteral("1"));
    EXPECT_EQ(log.entries().back().body, QStringLiteral("300"));
}

TEST(DebugPanel, RowsCountFromTheFirstEntryAndGapsOfFiveSecondsTurnRed)
{
    const QDateTime t0 = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000);
    // An entry's time (ms); its row's times since the first and the previous, red or not.
    const std::tuple<qint64, const char*, const char*, bool> rows[] = {
        {0, "0.0", "+0.0", false}, {4900, "4.9", "+4.9", false}, {9900, "9.9", "+5.0", true}, {9960, "10.0", "+0.1", false},
    };
    std::deque<DebugEntry> entries;
    for (const auto& [atMs, sinceFirst, sincePrevious, longGap] : rows)
        entries.push_back({QUuid::createUuid(), t0.addMSecs(atMs), ChatKind::user, QStringLiteral("x")});
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& [atMs, sinceFirst, sincePrevious, longGap] = rows[i];
        const DebugPanelRow row = debugPanelRow(entries, i);
        EXPECT_EQ(row.sinceFirst, QString::fromUtf8(sinceFirst)) << atMs;
        EXPECT_EQ(row.sincePrevious, QString::fromUtf8(sincePrevious)) << atMs;
        EXPECT_EQ(row.longGap, longGap) << atMs;
    }
    EXPECT_EQ(DebugPanelView::placement(QRect(0, 27, 1920, 1053)), QRect(1920 - 40 - 560, 327, 560, 1080 - 24 - 327));
    EXPECT_EQ(DebugPanelView::placement(QRect(0, 0, 1024, 480)).height(), 200); // never shorter
}

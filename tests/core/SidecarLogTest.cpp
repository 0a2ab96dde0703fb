#include "TestSupport.h"
#include "core/Paths.h"
#include "core/SidecarLog.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace selvina;

TEST(SidecarLog, StampsTrimsAndKeepsLinesWholeUnderConcurrency)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("nested/folder/sidecar.log"));
    const auto readLines = [&] {
        return QString::fromUtf8(selvina::testing::readFile(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    };
    {
        SidecarLog log(path);
        log.append(QStringLiteral("  \n "));
        log.append(QStringLiteral("  [most] pierwsza linia\n"));
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t)
            writers.emplace_back([&log, t] {
                for (int i = 0; i < 200; ++i)
                    log.append(QStringLiteral("[w%1] wpis %2 ").arg(t).arg(i) + QString(100, QLatin1Char('x')));
            });
        for (auto& w : writers)
            w.join();
        log.flush();
        EXPECT_EQ(readLines().size(), 801);
        log.append(QStringLiteral("ostatnia"));
    } // the destructor writes what is queued
    const QStringList lines = readLines();
    ASSERT_EQ(lines.size(), 802);
    const QRegularExpression stamp(QStringLiteral(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )"));
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral(" [most] pierwsza linia"))) << lines[0].toStdString();
    for (const QString& line : lines) {
        EXPECT_TRUE(stamp.match(line).hasMatch()) << line.toStdString();
        EXPECT_TRUE(!line.contains(QStringLiteral("[w")) || line.endsWith(QString(100, QLatin1Char('x')))) << line.toStdString();
    }
}

TEST(SidecarLog, UnwritableFolderIsIgnored)
{
    SidecarLog log(QStringLiteral("/proc/selvina-nonexistent/sidecar.log"));
    log.append(QStringLiteral("nie zapisze się"));
    log.flush(); // must return, not throw or hang
}

TEST(Paths, LogFolderFollowsXdgStateHomeOnlyWhenAbsolute)
{
    for (const auto& [state, folder] : {std::pair{"", "/home/a/.local/state"}, {"/var/st", "/var/st"}, {"rel", "/home/a/.local/state"}})
        EXPECT_EQ(paths::logDirectoryFor("/home/a", state), QString(folder) + "/selvina-voice") << state;
    EXPECT_EQ(paths::configDirectoryFor(QStringLiteral("/home/a")), QStringLiteral("/home/a/.config/selvina-voice"));
}

// config.json as the settings write it: other keys kept, owner-only, a broken file moved aside.
#include "TestSupport.h"

#include "settings/ConfigFile.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace selvina::testing;
using selvina::settings::writeConfigKey;

TEST(ConfigFile, KeysOfOthersStayABrokenFileIsMovedAsideAndOnlyTheOwnerReadsIt)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("folder/config.json"));

    // No file, no folder yet: both made, the file owner-only.
    auto written = writeConfigKey(path, QStringLiteral("openai_api_key"), QStringLiteral("sk-1"));
    ASSERT_TRUE(written.written) << written.sentence.toStdString();
    const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
    EXPECT_EQ(QFile::permissions(path) & others, 0);
    EXPECT_TRUE(QFile::permissions(path) & QFileDevice::ReadOwner);

    // Another part's key stays; an undefined value removes only its own key.
    writeFile(path, R"({"reasoning_engine": "codex", "openai_api_key": "sk-1"})");
    ASSERT_TRUE(writeConfigKey(path, QStringLiteral("openai_api_key"), QJsonValue(QJsonValue::Undefined)).written);
    EXPECT_EQ(QJsonDocument::fromJson(readFile(path)).object(), (QJsonObject{{"reasoning_engine", "codex"}}));

    // A file the user broke by hand is never overwritten: it goes aside, and the user hears where.
    writeFile(path, "{\"reasoning_engine\": \"codex\",");
    written = writeConfigKey(path, QStringLiteral("openai_api_key"), QStringLiteral("sk-2"));
    ASSERT_TRUE(written.written);
    EXPECT_EQ(readFile(path + QStringLiteral(".uszkodzony")), QByteArray("{\"reasoning_engine\": \"codex\","));
    EXPECT_EQ(QJsonDocument::fromJson(readFile(path)).object(), (QJsonObject{{"openai_api_key", "sk-2"}}));
    EXPECT_TRUE(written.sentence.contains(QStringLiteral("był uszkodzony: odłożyłam go jako "))) << written.sentence.toStdString();

    // The folder is a file: nothing written, and the sentence says so.
    const QString blocked = dir.filePath(QStringLiteral("plik/config.json"));
    writeFile(dir.filePath(QStringLiteral("plik")), "x");
    written = writeConfigKey(blocked, QStringLiteral("openai_api_key"), QStringLiteral("sk-3"));
    EXPECT_FALSE(written.written);
    EXPECT_TRUE(written.sentence.startsWith(QStringLiteral("Nie udało się zapisać pliku "))) << written.sentence.toStdString();
}

#include "platform/linux/settings/IniPreferences.h"

#include "TestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace selvina::platform;

TEST(IniPreferences, PersistsDottedKeysAndReadsGarbageAsUnset)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sub/preferences.ini"));
    {
        IniPreferences p(path);
        p.setValue(QStringLiteral("speech.model"), QStringLiteral("gpt-realtime-2"));
        p.setValue(QStringLiteral("speech.speed"), 1.25);
        p.setValue(QStringLiteral("speech.voice"), QStringLiteral("cedar"));
        p.remove(QStringLiteral("speech.voice"));
    }
    IniPreferences again(path);
    EXPECT_EQ(again.value(QStringLiteral("speech.model")).toString(), QStringLiteral("gpt-realtime-2"));
    EXPECT_DOUBLE_EQ(again.value(QStringLiteral("speech.speed")).toDouble(), 1.25);
    EXPECT_FALSE(again.value(QStringLiteral("speech.voice")).isValid());
    EXPECT_TRUE(selvina::testing::readFile(path).contains("speech.model=gpt-realtime-2"));

    selvina::testing::writeFile(path, QByteArray("\x00\xff[[[=\n==\nspeech.voice\n", 22));
    EXPECT_FALSE(IniPreferences(path).value(QStringLiteral("speech.model")).isValid());
}

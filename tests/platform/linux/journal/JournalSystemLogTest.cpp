// The system log falls back to standard error where no journal runs (containers, CI, ssh logins).
#include "platform/linux/journal/JournalSystemLog.h"

#include <QFileInfo>

#include <gtest/gtest.h>

TEST(SystemLog, WithoutJournalTheLineGoesToStandardError)
{
    if (QFileInfo::exists(QStringLiteral("/run/systemd/journal/socket")))
        GTEST_SKIP() << "a journal runs here; the line went to it";
    ::testing::internal::CaptureStderr();
    selvina::platform::JournalSystemLog().write(QStringLiteral("[SelvinaVoice] próba — zażółć"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[SelvinaVoice] próba — zażółć\n");
}

#include "TestSupport.h"

#include <QCoreApplication>
#include <QFile>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // Every test process gets a home of its own, so nothing touches the developer's files.
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qunsetenv("XDG_STATE_HOME");
    qunsetenv("OPENAI_API_KEY");
    qunsetenv("SELVINA_OPENAI_BASE_URL");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// main() of the test executables: a Qt application over a home folder of its own, so nothing
// touches the developer's files; the widget tests' application is an offscreen QApplication.
#include "TestSupport.h"

#include <QCoreApplication>
#include <QFile>

#include <gtest/gtest.h>

#ifdef SELVINA_WIDGET_TESTS
#include <QApplication>
using Application = QApplication;
#else
using Application = QCoreApplication;
#endif

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qunsetenv("XDG_STATE_HOME");
    qunsetenv("OPENAI_API_KEY");
    qunsetenv("SELVINA_OPENAI_BASE_URL");
#ifdef SELVINA_WIDGET_TESTS
    qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    Application app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

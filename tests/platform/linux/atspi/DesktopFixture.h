// A desktop for the accessibility tests: Xvfb, a private D-Bus session with the AT-SPI bus and one
// test application at a time. Set up before libatspi is first used.
// Thread: the test's main thread.
#pragma once

#include "AccessibilityBus.h"
#include "Processes.h"
#include "TestSupport.h"
#include "XDisplay.h"

#include <QProcess>
#include <QTemporaryDir>

namespace selvina::testing {

class Desktop {
public:
    Desktop()
    {
        const QString display = QString::fromStdString(m_x.number());
        // The bus hands its environment to the accessibility registry it starts, which synthesises
        // key presses on that display.
        qputenv("DISPLAY", (QStringLiteral(":") + display).toUtf8());
        const QString address = startSessionBus(m_bus);
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
        qputenv("XDG_RUNTIME_DIR", m_runtime.path().toUtf8());
        qputenv("NO_AT_BRIDGE", "0");
        qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
        qputenv("GTK_A11Y", "atspi");
        m_ok = !display.isEmpty() && !address.isEmpty() && !startAccessibilityBus().isEmpty();
        QObject::connect(&m_app, &QProcess::readyReadStandardOutput, [this] { m_out += m_app.readAllStandardOutput(); });
    }
    ~Desktop()
    {
        stopApp();
        stopProcess(m_bus);
    }
    bool ok() const { return m_ok; }

    // Starts the application and waits for its "ready".
    bool startApp(const QString& program, const QStringList& arguments = {})
    {
        stopApp();
        m_out.clear();
        m_app.setProcessChannelMode(QProcess::SeparateChannels);
        m_app.start(program, arguments);
        return m_app.waitForStarted(5000) && waitForOutput("ready", 15000);
    }
    void stopApp() { stopProcess(m_app); }
    // Lines the application printed about its own state.
    QStringList said() const { return QString::fromUtf8(m_out).split('\n', Qt::SkipEmptyParts); }
    bool waitForOutput(const QString& line, int ms = 5000)
    {
        return waitFor([&] { return said().contains(line); }, std::chrono::milliseconds(ms));
    }
    QByteArray appErrors() { return m_app.readAllStandardError(); }

private:
    QTemporaryDir m_runtime;
    XServer m_x{"1280x1024x24"};
    QProcess m_bus, m_app;
    QByteArray m_out;
    bool m_ok = false;
};

} // namespace selvina::testing

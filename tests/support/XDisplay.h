// A virtual X display with a window manager (Xvfb + openbox), made the process's DISPLAY; keys
// are pressed through XTEST with xdotool.
// Thread: the test's main thread.
#pragma once

#include "Processes.h"

namespace selvina::testing {

class XDisplay {
public:
    XDisplay()
    {
        const QString number = startXvfb(m_x);
        if (number.isEmpty())
            return;
        qputenv("DISPLAY", (QStringLiteral(":") + number).toUtf8());
        // The window manager is up once it has announced itself on the root window.
        for (int attempt = 0; attempt < 3 && !m_ok; ++attempt) {
            m_wm.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
            m_ok = LoopbackRealtimeServer::waitFor(
                [&] {
                    if (m_wm.state() == QProcess::NotRunning)
                        return true;
                    QProcess xprop;
                    xprop.start(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")});
                    xprop.waitForFinished(3000);
                    return xprop.readAllStandardOutput().contains("window id");
                },
                std::chrono::milliseconds(30000)) && m_wm.state() != QProcess::NotRunning;
        }
    }
    ~XDisplay()
    {
        stopProcess(m_wm);
        stopProcess(m_x);
    }
    bool ok() const { return m_ok; }

    // Starts Xvfb with a `screen` ("WxHxDepth") and `options` in `x` and answers its display number
    // (empty when none started). Servers started at the same moment by other test processes may
    // pick the same number; the loser exits at once, and a new one picks the next free number.
    // -noreset: by default the server resets when its last client leaves, and a client connecting
    // during the reset is turned away ("Failed to open the display"); the window manager, started
    // while a probe of the root window comes and goes, was turned away so about once in 40 starts.
    static QString startXvfb(QProcess& x, const QString& screen = QStringLiteral("1280x1024x24"),
                             const QStringList& options = {})
    {
        QString number;
        for (int attempt = 0; attempt < 5 && number.isEmpty(); ++attempt) {
            stopProcess(x);
            x.start(QStringLiteral("Xvfb"), QStringList{QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                                         QStringLiteral("0"), screen, QStringLiteral("-nolisten"),
                                                         QStringLiteral("tcp"), QStringLiteral("-noreset")} + options);
            number = firstLine(x);
        }
        return number;
    }

    // xdotool key …; true when it ran.
    static bool key(const QString& keys)
    {
        return QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), keys}) == 0;
    }

private:
    QProcess m_x, m_wm;
    bool m_ok = false;
};

} // namespace selvina::testing

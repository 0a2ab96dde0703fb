// A virtual X display with a window manager (Xvfb + openbox), made the process's DISPLAY; keys
// are pressed through XTEST with xdotool.
// Thread: the test's main thread.
#pragma once

#include "LoopbackRealtimeServer.h"

#include <QProcess>

namespace selvina::testing {

class XDisplay {
public:
    XDisplay()
    {
        m_x.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                            QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                                            QStringLiteral("tcp")});
        LoopbackRealtimeServer::waitFor([&] { return m_x.canReadLine(); }, std::chrono::milliseconds(10000));
        const QString number = QString::fromUtf8(m_x.readLine()).trimmed();
        if (number.isEmpty())
            return;
        m_name = QStringLiteral(":") + number;
        qputenv("DISPLAY", m_name.toUtf8());
        m_wm.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
        // The window manager is up once it has announced itself on the root window.
        m_ok = LoopbackRealtimeServer::waitFor(
            [] {
                QProcess xprop;
                xprop.start(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")});
                xprop.waitForFinished(3000);
                return xprop.readAllStandardOutput().contains("window id");
            },
            std::chrono::milliseconds(30000));
    }
    ~XDisplay()
    {
        for (QProcess* p : {&m_wm, &m_x}) {
            p->kill();
            p->waitForFinished(3000);
        }
    }
    bool ok() const { return m_ok; }
    const QString& name() const { return m_name; }

    // xdotool key …; true when it ran.
    static bool key(const QString& keys)
    {
        return QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), keys}) == 0;
    }

private:
    QProcess m_x, m_wm;
    QString m_name;
    bool m_ok = false;
};

} // namespace selvina::testing

// A virtual X display with a window manager (Xvfb + openbox), made the process's DISPLAY; keys
// are pressed through XTEST with xdotool. Bare servers for cases that need no window manager.
// Thread: the test's main thread.
#pragma once

#include "BareXDisplay.h"
#include "Processes.h"

namespace selvina::testing {

class XDisplay : public BareXDisplay {
public:
    XDisplay() : BareXDisplay("1280x1024x24") {}

    // Starts Xvfb with a `screen` ("WxHxDepth") and `options` in `x` and answers its display number
    // (empty when none started). Servers started at the same moment by other test processes may
    // pick the same number; the loser exits at once, and a new one picks the next free number.
    // -noreset as for the display with its window manager.
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
};

} // namespace selvina::testing

// A virtual X display with a window manager (Xvfb + openbox), made the process's DISPLAY; keys
// are pressed through XTEST with xdotool.
// Thread: the test's main thread.
#pragma once

#include "BareXDisplay.h"
#include "Processes.h"

namespace selvina::testing {

class XDisplay : public BareXDisplay {
public:
    XDisplay() : BareXDisplay("1280x1024x24") {}

    // xdotool key …; true when it ran.
    static bool key(const QString& keys)
    {
        return QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), keys}) == 0;
    }
    // Holds the keys down for `seconds` with the server's auto-repeat on, as a hand resting on them.
    static bool hold(const QString& keys, double seconds)
    {
        return QProcess::execute(QStringLiteral("xset"), {QStringLiteral("r"), QStringLiteral("on")}) == 0
               && QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("keydown"), keys, QStringLiteral("sleep"),
                                                               QString::number(seconds), QStringLiteral("keyup"), keys})
                      == 0;
    }
};

} // namespace selvina::testing

// XcbScreenCapture: the displays (RandR), the windows (EWMH) and still images of an X11 desktop,
// Xwayland's included.
// Thread: the capture worker only; it opens its own xcb connection there on first use and opens
// it again after the server went away or stopped answering.
#pragma once

#include "capture/ScreenCaptureProvider.h"

#include <QByteArray>

#include <chrono>
#include <memory>

namespace selvina::platform {

class XcbScreenCapture final : public capture::ScreenCaptureProvider {
public:
    // Every request gets this long; a server that does not answer in time is given up.
    static constexpr std::chrono::milliseconds kReplyTimeout{10'000};
    // Images come in horizontal strips of at most this many bytes, so that no single request or
    // reply grows with the screen.
    static constexpr qsizetype kStripBytes = 8 * 1024 * 1024;
    // After our windows left, the screen counts as redrawn once something was drawn where they were
    // and then nothing for this long; past the cap the capture goes ahead anyway (nothing below
    // redraws, or something there keeps moving).
    static constexpr std::chrono::milliseconds kQuietGap{50};
    static constexpr std::chrono::milliseconds kRedrawCap{600};

    // Windows of `ownPid` (this process) are never listed. An empty display name means $DISPLAY.
    explicit XcbScreenCapture(qint64 ownPid, QByteArray displayName = {});
    ~XcbScreenCapture() override;

    // Waits until the windows are off the screen and the DAMAGE extension reports drawing where
    // they were, followed by a quiet gap; a server without it gets the fixed wait.
    void awaitRedrawBelow(const std::vector<capture::WithdrawnWindow>& withdrawn) override;
    bool accessGranted() override;
    Result<capture::ShareableContent, capture::ScreenCaptureError> content() override;
    Result<QImage, capture::ScreenCaptureError> captureDisplay(const capture::CaptureDisplay& display, QSize size) override;
    Result<QImage, capture::ScreenCaptureError> captureWindow(const capture::CaptureWindow& window, QSize size) override;

private:
    class Connection;
    Connection* connection(); // null: no X server to talk to
    Result<QImage, capture::ScreenCaptureError> grab(Connection& x, QRect area);

    qint64 m_ownPid;
    QByteArray m_displayName;
    std::unique_ptr<Connection> m_x;
};

} // namespace selvina::platform

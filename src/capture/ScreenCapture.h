// ScreenCapture: the one capture routine of the visual tools — picks the main display, the active
// window or a window found by a query, takes a still image through the provider, scales it to at
// most 1568 px on its longer side and encodes it as JPEG.
// Thread: capture() is called and finishes on the main thread; the provider, the scaling and the
// encoding run on the capture worker.
#pragma once

#include "capture/ScreenCaptureProvider.h"
#include "core/SerialWorker.h"

#include <QByteArray>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <variant>
#include <vector>

namespace selvina::capture {

struct ScreenCaptureScope {
    enum class Kind { fullScreen, activeWindow, window };
    Kind kind = Kind::fullScreen;
    QString query; // window only, as the caller gave it

    static ScreenCaptureScope fullScreen() { return {Kind::fullScreen, {}}; }
    static ScreenCaptureScope activeWindow() { return {Kind::activeWindow, {}}; }
    static ScreenCaptureScope window(QString query) { return {Kind::window, std::move(query)}; }
    bool operator==(const ScreenCaptureScope&) const = default;
};

struct CapturedImage {
    QByteArray jpegData;
    int pixelWidth = 0, pixelHeight = 0;       // after scaling
    int originalWidth = 0, originalHeight = 0; // as captured
    QString sourceDescription;                 // Polish: what was captured
};

// What a scope picked from the desktop's content, and how it is named to the user.
struct CaptureTarget {
    std::variant<CaptureDisplay, CaptureWindow> source;
    QSize size; // pixels, at least 1×1; empty for a display of unknown size
    QString sourceDescription;
};

constexpr int kLongestSide = 1568; // px; smaller images are never enlarged
constexpr int kJpegQuality = 70;

Result<CaptureTarget, ScreenCaptureError> chooseTarget(const ShareableContent& content, const ScreenCaptureScope& scope);
// The full-screen description once the display's size is known.
QString fullScreenDescription(QSize size);
// Scales (smoothly, only ever down) and encodes; the source description is left to the caller.
Result<CapturedImage, ScreenCaptureError> encodeCapture(const QImage& image);
// The whole routine, blocking: for the capture worker.
Result<CapturedImage, ScreenCaptureError> captureWith(ScreenCaptureProvider& provider, const ScreenCaptureScope& scope);

class ScreenCapture {
public:
    // Our own on-screen windows leave the screen for the grab and come back after it, so that the
    // picture never shows them. Both run on the main thread; unset: nothing to hide. withdraw()
    // answers which windows left (none: nothing was shown); the capture worker then waits for the
    // screen below them to be redrawn before it grabs. Captures that overlap (the model may call
    // two visual tools at once) share one withdrawal, which ends when the last of them is done.
    struct OverlayHook {
        std::function<std::vector<WithdrawnWindow>()> withdraw;
        std::function<void()> restore;
    };

    explicit ScreenCapture(std::unique_ptr<ScreenCaptureProvider> provider);
    ScreenCapture(const ScreenCapture&) = delete;
    ScreenCapture& operator=(const ScreenCapture&) = delete;

    void setOverlayHook(OverlayHook hook) { m_overlay = std::move(hook); }
    // Calls are served one after another, in the order made. Keep the object alive until it finishes.
    QCoro::Task<Result<CapturedImage, ScreenCaptureError>> capture(ScreenCaptureScope scope);

private:
    std::unique_ptr<ScreenCaptureProvider> m_provider;
    OverlayHook m_overlay;
    int m_capturing = 0;           // captures begun and not yet finished
    std::vector<WithdrawnWindow> m_withdrawn; // by the first of them
    SerialWorker m_worker{QStringLiteral("selvina.capture")}; // last: it stops before the provider goes
};

} // namespace selvina::capture

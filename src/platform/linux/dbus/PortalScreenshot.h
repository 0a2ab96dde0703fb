// PortalScreenshot: the whole screen through the desktop portal's non-interactive screenshot, the
// one capture a Wayland session allows an application outside a sandbox; single windows cannot be
// captured there.
// Thread: the capture worker, which waits for the portal's answer; the answer itself arrives on
// the thread that made the object (the main thread), which only hands it over.
#pragma once

#include "capture/ScreenCaptureProvider.h"

#include <QObject>
#include <QVariantMap>

#include <condition_variable>
#include <mutex>

namespace selvina::platform {

class PortalScreenshot final : public QObject, public capture::ScreenCaptureProvider {
    Q_OBJECT
public:
    // The first screenshot may ask the user; the question waits this long for an answer.
    static constexpr std::chrono::seconds kAnswerTimeout{60};
    // Why there is no picture when the desktop's question was closed unanswered.
    static const QString kDismissed;
    // Why there is none when KDE's portal could not save it in `pictures`.
    static QString notSavedText(const QString& pictures);

    explicit PortalScreenshot(QObject* parent = nullptr);

    // The sentence given for active_window and window here.
    static QString windowsUnavailableText();

    bool accessGranted() override;
    Result<capture::ShareableContent, capture::ScreenCaptureError> content() override;
    Result<QImage, capture::ScreenCaptureError> captureDisplay(const capture::CaptureDisplay& display, QSize size) override;
    Result<QImage, capture::ScreenCaptureError> captureWindow(const capture::CaptureWindow& window, QSize size) override;

private Q_SLOTS:
    void response(uint code, const QVariantMap& results);

private:
    std::mutex m_mutex;
    std::condition_variable m_answered;
    std::optional<std::pair<uint, QVariantMap>> m_answer; // guarded by m_mutex
};

} // namespace selvina::platform

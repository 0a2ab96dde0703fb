// What the desktop offers for screen capture: its displays and windows, and a still image of one of
// them at a pixel size; ScreenCaptureError: how capturing fails, in Polish.
// Thread: a provider is used on the capture worker only (its calls block).
#pragma once

#include "core/Result.h"

#include <QImage>
#include <QRect>
#include <QString>

#include <chrono>
#include <optional>
#include <thread>
#include <vector>

namespace selvina::capture {

class ScreenCaptureError {
public:
    enum class Kind { noWindowFound, captureFailed, permissionDenied, noDisplayFound, encodingFailed };

    static ScreenCaptureError noWindowFound(QString message) { return {Kind::noWindowFound, std::move(message)}; }
    static ScreenCaptureError captureFailed(QString detail) { return {Kind::captureFailed, std::move(detail)}; }
    static ScreenCaptureError permissionDenied() { return {Kind::permissionDenied, {}}; }
    static ScreenCaptureError noDisplayFound() { return {Kind::noDisplayFound, {}}; }
    static ScreenCaptureError encodingFailed() { return {Kind::encodingFailed, {}}; }

    Kind kind() const { return m_kind; }
    QString description() const
    {
        switch (m_kind) {
        case Kind::noWindowFound:
            return m_detail;
        case Kind::captureFailed:
            return QStringLiteral("Nie udało się przechwycić ekranu: ") + m_detail;
        case Kind::permissionDenied:
            return permissionText();
        case Kind::noDisplayFound:
            return QStringLiteral("Nie znaleziono ekranu do przechwycenia.");
        case Kind::encodingFailed:
            return QStringLiteral("Nie udało się przygotować przechwyconego obrazu do wysłania.");
        }
        return m_detail;
    }
    // What the user does when the desktop refuses screenshots: the portal keeps a refusal it was
    // once given for every application outside a sandbox, until it is removed.
    static QString permissionText()
    {
        return QStringLiteral("Selvina Voice nie ma zgody pulpitu na zrzuty ekranu, bo wcześniej jej odmówiono. "
                              "Usuń tę odmowę, wpisując w terminalu polecenie flatpak permission-remove screenshot "
                              "screenshot, a przy następnym zrzucie wybierz w pytaniu pulpitu Zezwól.");
    }
    bool operator==(const ScreenCaptureError&) const = default;

private:
    ScreenCaptureError(Kind kind, QString detail) : m_kind(kind), m_detail(std::move(detail)) {}
    Kind m_kind;
    QString m_detail;
};

// Sizes and positions in pixels of the whole desktop (the root window's coordinates).
struct CaptureDisplay {
    quint32 id = 0;
    QRect geometry; // empty when the desktop does not say before the capture
};

struct CaptureWindow {
    quint64 id = 0;
    QString title;
    std::optional<QString> applicationName; // none: no owning application known
    std::optional<qint64> pid;
    QRect frame;           // with the window manager's frame
    bool onScreen = false; // shown (not minimised) and on the current workspace
    bool normalLayer = false; // an ordinary application window or dialog (no panel, dock, menu…)
};

struct ShareableContent {
    std::vector<CaptureDisplay> displays;
    std::optional<quint32> mainDisplayId;
    std::vector<CaptureWindow> windows; // front to back
    // The foreground: the process owning the active window, and that window.
    std::optional<qint64> frontmostPid;
    std::optional<quint64> activeWindowId;
    // Set when this desktop cannot capture single windows: the sentence saying why.
    std::optional<QString> windowsUnavailable;
};

// One of our own windows that has just been taken off the screen for a capture: its native id and
// where it was, in the desktop's pixels (empty when not known).
struct WithdrawnWindow {
    quint64 id = 0;
    QRect area;
    bool operator==(const WithdrawnWindow&) const = default;
};

class ScreenCaptureProvider {
public:
    // How long the windows below ours get to redraw where nothing tells when they are done.
    static constexpr std::chrono::milliseconds kRedrawBelow{120};

    virtual ~ScreenCaptureProvider() = default;
    // Returns when the screen shows what lay under `withdrawn`, or once waiting longer would not
    // help; the capture follows. This one only gives the windows below a fixed moment.
    virtual void awaitRedrawBelow(const std::vector<WithdrawnWindow>& withdrawn)
    {
        (void)withdrawn;
        std::this_thread::sleep_for(kRedrawBelow);
    }
    // Whether capturing is allowed, asked without prompting anybody.
    virtual bool accessGranted() = 0;
    virtual Result<ShareableContent, ScreenCaptureError> content() = 0;
    // The image comes back at `size` (or at the display's own size when its geometry was unknown).
    virtual Result<QImage, ScreenCaptureError> captureDisplay(const CaptureDisplay& display, QSize size) = 0;
    // What of the window is visible now; a window gone since the listing is a captureFailed.
    virtual Result<QImage, ScreenCaptureError> captureWindow(const CaptureWindow& window, QSize size) = 0;
};

} // namespace selvina::capture

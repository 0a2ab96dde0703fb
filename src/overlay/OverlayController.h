// OverlayController: the mark above everything on every screen while a conversation is open, and
// the run preview panel under it. One window per screen, rebuilt when screens come and go or a
// compositing manager starts or stops; none of them ever takes a click or the focus.
// Without a compositor each window is exactly the mark's box, clipped to its outline, and moves and
// shrinks with it; with one it also holds the glass plate behind the mark.
// Thread: main thread.
#pragma once

#include "capture/ScreenCaptureProvider.h"
#include "core/Clock.h"
#include "core/Session.h"
#include "overlay/MarkState.h"
#include "overlay/OverlayWindowSystem.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class QScreen;
class QWidget;

namespace selvina::overlay {

class DebugLog;
class DebugPanelView;
class MarkWindow;

class OverlayController : public QObject {
    Q_OBJECT
public:
    // Full-screen windows opened later must not stay above the mark.
    static constexpr milliseconds kKeepAbove{1000};
    static constexpr milliseconds kFrame{16};
    // Where the desktop does not let clicks through the mark (Xwayland), the mark leaves the screen
    // while the pointer comes over it, for this long (and again, if the pointer is still there).
    static constexpr milliseconds kStepAside{3000};

    // Shown exactly while session.isActive() is true; `clock` times the animations.
    OverlayController(SessionModel& session, Clock& clock, std::unique_ptr<OverlayWindowSystem> windowSystem,
                      QObject* parent = nullptr);
    ~OverlayController() override;

    // Sets isActive and builds the windows (once).
    void show();
    // Closes every window, stops the timers and clears isActive.
    void hide();

    // The run preview panel on the primary screen; a second call keeps the one shown.
    void showDebugPanel(const DebugLog& log);
    void hideDebugPanel();

    // Screen capture: every window leaves the screen for the grab (answers which were there, so
    // that the capture can wait until they are gone) and comes back after it, as the conversation
    // then stands.
    std::vector<capture::WithdrawnWindow> withdrawForCapture();
    void restoreAfterCapture();

    QList<QWidget*> windows() const;
    QWidget* debugPanel() const;
    bool compositing() const { return m_compositing; }
    QString label() const { return accessibleLabel(displayState(m_session)); }

    // For MarkWindow: the mark's box on `screen` now, in global coordinates.
    QRectF markOn(const QScreen& screen) const;
    struct Look {
        MarkShaderMode mode, previousMode;
        double transition, seconds, level, backdrop;
    };
    Look look() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

Q_SIGNALS:
    void windowsRebuilt();
    void compositingChanged(bool compositing);

private:
    void build();
    void rebuildWindows();
    void rebuildSoon();
    void closeWindows();
    void onDisplayStateChanged();
    void animate();
    void frame();
    void keepAbove();
    void placeDebugPanel();
    void makeOverlayWindow(QWidget& window);
    void stepAside(QPoint pointer);
    void stepBack();

    SessionModel& m_session;
    Clock& m_clock;
    std::unique_ptr<OverlayWindowSystem> m_windowSystem;
    std::vector<std::unique_ptr<MarkWindow>> m_windows;
    std::unique_ptr<DebugPanelView> m_panel;
    const DebugLog* m_panelLog = nullptr;
    MarkShaderState m_shader;
    CornerTransition m_corner;
    QString m_label;
    QTimer m_frames;
    QTimer m_keepAbove;
    QTimer m_stepBack;
    bool m_compositing = false;
    bool m_rebuildQueued = false;
    bool m_withdrawn = false;          // off the screen for a capture
    const DebugLog* m_heldPanel = nullptr; // the panel to show again after it
};

// Preview mode's stand-in for the voice: a level from three sines, 30 times a second.
class AudioLevelSimulator : public QObject {
    Q_OBJECT
public:
    AudioLevelSimulator(Clock& clock, std::function<void(double)> deliver, QObject* parent = nullptr);
    void start();
    void stop();
    // t seconds after the start: max(sin(w/3.1), 0)·(0.45·sin(5.7w) + 0.55)·(0.2·sin(11.3w + 0.7) + 0.8),
    // w = 2πt, clamped to 0 … 1.
    static double level(double t);

private:
    Clock& m_clock;
    std::function<void(double)> m_deliver;
    QTimer m_timer;
    milliseconds m_start{0};
};

} // namespace selvina::overlay

#include "overlay/OverlayController.h"

#include "overlay/DebugPanelView.h"
#include "overlay/MarkPainter.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace selvina::overlay {

namespace {

// Room for the glass plate around the mark, as a share of the mark's width (composited only).
constexpr double kPlateMargin = 0.16;

// Past the window manager (override-redirect on X11): a window manager keeps even an "above"
// window under a full-screen one, whatever the window asks, so the once-a-second raise could never
// bring the mark back over a full-screen application. Unmanaged, the window is on every desktop,
// in no taskbar or pager, and never focused by the window manager.
constexpr Qt::WindowFlags kOverlayFlags = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
                                          | Qt::BypassWindowManagerHint | Qt::WindowTransparentForInput
                                          | Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint;

constexpr const char* kFramed = "selvinaFramed";

} // namespace

class MarkWindow : public QWidget {
public:
    MarkWindow(const OverlayController& controller, QScreen& screen, bool translucent)
        : m_controller(controller), m_screen(&screen), m_translucent(translucent)
    {
        // Opaque, the mark's image covers the whole window: no background to fill first.
        setAttribute(Qt::WA_OpaquePaintEvent, !translucent);
        setAttribute(Qt::WA_NoSystemBackground, !translucent);
    }

    QScreen* screen() const { return m_screen; }

    // Follows the mark: the window is the mark's box (plus the plate's margin when composited).
    void place()
    {
        if (!m_screen)
            return;
        const QRectF mark = m_controller.markOn(*m_screen);
        const double margin = m_translucent ? mark.width() * kPlateMargin : 0;
        const QRect box = mark.adjusted(-margin, -margin, margin, margin).toAlignedRect();
        m_mark = mark.translated(-QPointF(box.topLeft()));
        if (box.size() != size() && !m_translucent) {
            // Without a compositor the corners of the box would be black: only the outline is shown.
            // The window (X shape) is cut, not the widget: a widget's mask would clip every paint
            // to its hundreds of rectangles, and the painter hands such fills to its threads.
            QTransform toBox;
            toBox.translate(m_mark.x(), m_mark.y());
            toBox.scale(m_mark.width() / kMarkBox.width(), m_mark.height() / kMarkBox.height());
            windowHandle()->setMask(QRegion(markShape().toFillPolygon(toBox).toPolygon()));
        }
        if (box != geometry())
            setGeometry(box);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        const OverlayController::Look look = m_controller.look();
        if (m_translucent) { // the toolkit has cleared the window to transparent
            const double margin = m_mark.width() * kPlateMargin;
            paintBackdrop(p, m_mark.adjusted(-margin * 0.8, -margin * 0.8, margin * 0.8, margin * 0.8), look.backdrop);
        }
        m_renderer.paint(p, m_mark, {look.mode, look.previousMode, look.transition, look.seconds, look.level},
                         m_translucent ? MarkRenderer::Edge::soft : MarkRenderer::Edge::clippedByWindow);
    }

private:
    const OverlayController& m_controller;
    QPointer<QScreen> m_screen;
    bool m_translucent;
    QRectF m_mark;
    MarkRenderer m_renderer;
};

OverlayController::OverlayController(SessionModel& session, Clock& clock, std::unique_ptr<OverlayWindowSystem> windowSystem,
                                     QObject* parent)
    : QObject(parent), m_session(session), m_clock(clock), m_windowSystem(std::move(windowSystem))
{
    m_compositing = m_windowSystem->compositing();
    m_frames.setTimerType(Qt::PreciseTimer);
    m_frames.setInterval(kFrame);
    connect(&m_frames, &QTimer::timeout, this, &OverlayController::frame);
    m_keepAbove.setInterval(kKeepAbove);
    connect(&m_keepAbove, &QTimer::timeout, this, &OverlayController::keepAbove);
    m_stepBack.setSingleShot(true);
    m_stepBack.setInterval(kStepAside);
    connect(&m_stepBack, &QTimer::timeout, this, &OverlayController::stepBack);
    if (!m_windowSystem->passesClicksThrough())
        m_windowSystem->watchPointer([this](QPoint pointer) { stepAside(pointer); });

    connect(&session, &SessionModel::activeChanged, this, [this](bool active) {
        if (active)
            build();
        else
            hide();
    });
    connect(&session, &SessionModel::stateChanged, this, &OverlayController::onDisplayStateChanged);
    connect(&session, &SessionModel::workingChanged, this, &OverlayController::onDisplayStateChanged);
    connect(&session, &SessionModel::compactChanged, this, [this](bool compact) {
        m_corner.setCompact(compact, m_clock.now());
        animate();
    });
    connect(&session, &SessionModel::audioLevelChanged, this, &OverlayController::animate);
    connect(qGuiApp, &QGuiApplication::screenAdded, this, &OverlayController::rebuildSoon);
    connect(qGuiApp, &QGuiApplication::screenRemoved, this, &OverlayController::rebuildSoon);
    connect(qGuiApp, &QGuiApplication::primaryScreenChanged, this, &OverlayController::rebuildSoon);
    if (session.isActive())
        build();
}

OverlayController::~OverlayController() = default;

void OverlayController::show()
{
    build();
    m_session.setActive(true);
}

void OverlayController::hide()
{
    m_frames.stop();
    m_keepAbove.stop();
    m_stepBack.stop();
    closeWindows();
    m_panel.reset(); // the conversation is over, whatever its last work signal said
    m_heldPanel = nullptr;
    m_session.setActive(false);
}

void OverlayController::build()
{
    if (!m_windows.empty())
        return;
    const milliseconds now = m_clock.now();
    // A compositor may have started or stopped since the last conversation, when nobody looked.
    m_compositing = m_windowSystem->compositingNow();
    m_corner.jumpTo(m_session.compact());
    m_shader = MarkShaderState{};
    m_shader.mode = m_shader.previousMode = shaderMode(displayState(m_session));
    m_shader.modeStart = m_shader.transitionStart = now;
    m_label = label();
    rebuildWindows();
    m_keepAbove.start();
}

void OverlayController::rebuildWindows()
{
    closeWindows();
    if (m_withdrawn)
        return; // the capture's restore builds them
    for (QScreen* screen : QGuiApplication::screens()) {
        auto window = std::make_unique<MarkWindow>(*this, *screen, m_compositing);
        window->setAccessibleName(m_label);
        makeOverlayWindow(*window);
        window->windowHandle()->setScreen(screen);
        window->place();
        connect(screen, &QScreen::geometryChanged, window.get(), [this] { animate(); });
        window->show();
        m_windows.push_back(std::move(window));
    }
    animate();
    Q_EMIT windowsRebuilt();
}

void OverlayController::rebuildSoon()
{
    if (std::exchange(m_rebuildQueued, true))
        return;
    // Off the screen's own signal: the screen being removed still exists while it is announced.
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_rebuildQueued = false;
            if (!m_windows.empty())
                rebuildWindows();
            if (m_panel)
                placeDebugPanel();
        },
        Qt::QueuedConnection);
}

void OverlayController::closeWindows()
{
    m_windows.clear();
}

void OverlayController::onDisplayStateChanged()
{
    m_shader.update(displayState(m_session), m_clock.now());
    const QString now = label();
    if (now != m_label) {
        m_label = now;
        for (auto& w : m_windows)
            w->setAccessibleName(m_label);
    }
    animate();
}

void OverlayController::animate()
{
    if (!m_windows.empty() && !m_frames.isActive())
        m_frames.start();
}

void OverlayController::frame()
{
    const milliseconds now = m_clock.now();
    for (auto& w : m_windows) {
        w->place();
        w->update();
    }
    const bool moving = !m_corner.settled(now) || m_shader.transition(now) < 1 || modeAnimates(m_shader.mode);
    if (!moving)
        m_frames.stop(); // until the level or the state changes
}

void OverlayController::stepAside(QPoint pointer)
{
    bool stepped = false;
    for (auto& w : m_windows) {
        const qreal ratio = w->devicePixelRatioF(); // the pointer comes in device pixels
        if (w->isVisible() && w->frameGeometry().contains(QPoint(qRound(pointer.x() / ratio), qRound(pointer.y() / ratio)))) {
            w->hide();
            stepped = true;
        }
    }
    if (stepped)
        m_stepBack.start();
}

void OverlayController::stepBack()
{
    for (auto& w : m_windows) {
        if (w->isVisible())
            continue;
        w->show();
        w->raise();
        m_windowSystem->keepClickThrough(*w->windowHandle());
    }
}

void OverlayController::keepAbove()
{
    // Also the click-through, in case the window manager framed a window anew.
    for (auto& w : m_windows) {
        w->raise();
        m_windowSystem->keepClickThrough(*w->windowHandle());
    }
    if (m_panel) {
        m_panel->raise();
        m_windowSystem->keepClickThrough(*m_panel->windowHandle());
    }
    const bool compositing = m_windowSystem->compositing();
    if (compositing == m_compositing)
        return;
    m_compositing = compositing;
    Q_EMIT compositingChanged(compositing);
    // Transparency is chosen when a window is made: every window is made anew.
    if (!m_windows.empty())
        rebuildWindows();
    if (m_panel) {
        m_panel.reset();
        showDebugPanel(*m_panelLog);
    }
}

// Above everything, never focused, never clicked, on every desktop.
void OverlayController::makeOverlayWindow(QWidget& w)
{
    w.setWindowFlags(kOverlayFlags);
    w.setAttribute(Qt::WA_ShowWithoutActivating);
    w.setAttribute(Qt::WA_TranslucentBackground, m_compositing);
    w.setFocusPolicy(Qt::NoFocus);
    w.winId();
    if (QWindow* handle = w.windowHandle())
        m_windowSystem->prepare(*handle);
    w.installEventFilter(this);
}

// The first paint comes after the window manager has framed the window.
bool OverlayController::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Paint && !watched->property(kFramed).toBool()) {
        watched->setProperty(kFramed, true);
        if (QWindow* handle = static_cast<QWidget*>(watched)->windowHandle())
            m_windowSystem->keepClickThrough(*handle);
    }
    return false;
}

QRectF OverlayController::markOn(const QScreen& screen) const
{
    const QRect frame = screen.geometry();
    return markRect(frame.size(), m_corner.travel(m_clock.now())).translated(frame.topLeft());
}

OverlayController::Look OverlayController::look() const
{
    const milliseconds now = m_clock.now();
    return {m_shader.mode,
            m_shader.previousMode,
            m_shader.transition(now),
            double((now - m_shader.modeStart).count()) / 1000.0,
            m_session.audioLevel(),
            1.0 - m_corner.aperture(now)};
}

QList<QWidget*> OverlayController::windows() const
{
    QList<QWidget*> out;
    for (const auto& w : m_windows)
        out.append(w.get());
    return out;
}

void OverlayController::showDebugPanel(const DebugLog& log)
{
    m_panelLog = &log;
    if (m_withdrawn) {
        m_heldPanel = &log;
        return;
    }
    if (m_panel)
        return;
    QScreen* primary = QGuiApplication::primaryScreen();
    if (primary == nullptr)
        return;
    m_panel = std::make_unique<DebugPanelView>(
        log, m_compositing ? DebugPanelView::Backdrop::translucent : DebugPanelView::Backdrop::opaque);
    makeOverlayWindow(*m_panel);
    placeDebugPanel();
    m_panel->show();
    if (!m_keepAbove.isActive())
        m_keepAbove.start();
}

std::vector<capture::WithdrawnWindow> OverlayController::withdrawForCapture()
{
    if (m_withdrawn || (m_windows.empty() && !m_panel))
        return {};
    m_withdrawn = true;
    std::vector<capture::WithdrawnWindow> shown;
    const auto note = [&shown](const QWidget& w) {
        if (!w.windowHandle())
            return;
        const qreal ratio = w.devicePixelRatioF(); // the desktop counts device pixels
        const QRect area = w.frameGeometry();
        shown.push_back({quint64(w.windowHandle()->winId()),
                         QRect(qRound(area.x() * ratio), qRound(area.y() * ratio), qRound(area.width() * ratio),
                               qRound(area.height() * ratio))});
    };
    for (const auto& w : m_windows)
        note(*w);
    if (m_panel)
        note(*m_panel);
    closeWindows();
    m_heldPanel = m_panel ? m_panelLog : nullptr;
    m_panel.reset();
    return shown;
}

void OverlayController::restoreAfterCapture()
{
    if (!std::exchange(m_withdrawn, false))
        return;
    if (m_session.isActive())
        rebuildWindows();
    if (const DebugLog* log = std::exchange(m_heldPanel, nullptr))
        showDebugPanel(*log);
}

void OverlayController::hideDebugPanel()
{
    m_heldPanel = nullptr;
    m_panel.reset();
    if (m_windows.empty())
        m_keepAbove.stop();
}

void OverlayController::placeDebugPanel()
{
    QScreen* primary = QGuiApplication::primaryScreen();
    if (primary == nullptr) {
        m_panel.reset();
        return;
    }
    m_panel->windowHandle()->setScreen(primary);
    m_panel->setGeometry(DebugPanelView::placement(primary->availableGeometry()));
}

QWidget* OverlayController::debugPanel() const
{
    return m_panel.get();
}

AudioLevelSimulator::AudioLevelSimulator(Clock& clock, std::function<void(double)> deliver, QObject* parent)
    : QObject(parent), m_clock(clock), m_deliver(std::move(deliver))
{
    m_timer.setInterval(std::chrono::milliseconds(1000 / 30));
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_deliver(level(double((m_clock.now() - m_start).count()) / 1000.0));
    });
}

void AudioLevelSimulator::start()
{
    m_start = m_clock.now();
    m_timer.start();
}

void AudioLevelSimulator::stop()
{
    m_timer.stop();
}

double AudioLevelSimulator::level(double t)
{
    const double w = 2 * std::numbers::pi * t;
    const double a = std::sin(w / 3.1);
    const double b = 0.45 * std::sin(5.7 * w);
    const double c = 0.2 * std::sin(11.3 * w + 0.7) + 0.8;
    return std::clamp(std::max(a, 0.0) * (b + 0.55) * c, 0.0, 1.0);
}

} // namespace selvina::overlay

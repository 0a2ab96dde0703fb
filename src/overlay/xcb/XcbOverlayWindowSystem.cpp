#include "overlay/xcb/XcbOverlayWindowSystem.h"

#include "platform/linux/SessionType.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QWindow>

#include <xcb/shape.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>

namespace selvina::overlay {

namespace {

constexpr std::uint32_t kAllDesktops = 0xFFFFFFFF;

struct Atoms {
    static constexpr std::array kNames{"_NET_WM_DESKTOP", "_NET_WM_STATE", "_NET_WM_STATE_STICKY",
                                       "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER",
                                       "_NET_WM_STATE_ABOVE"};
    std::array<xcb_atom_t, kNames.size()> values{};
};

Atoms& atoms()
{
    static Atoms a;
    return a;
}

// The screen number of the display Qt opened (":0.1" → 1), as xcb itself reads it.
int defaultScreenNumber()
{
    int screen = 0;
    char* host = nullptr;
    int display = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screen) == 0)
        screen = 0;
    std::free(host);
    return screen;
}

} // namespace

XcbOverlayWindowSystem::XcbOverlayWindowSystem()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (x11 == nullptr)
        return;
    m_connection = x11->connection();
    // One round trip for all the names.
    std::array<xcb_intern_atom_cookie_t, Atoms::kNames.size()> cookies{};
    for (std::size_t i = 0; i < cookies.size(); ++i)
        cookies[i] = xcb_intern_atom(m_connection, 0, std::uint16_t(std::strlen(Atoms::kNames[i])), Atoms::kNames[i]);
    const std::string selection = "_NET_WM_CM_S" + std::to_string(defaultScreenNumber());
    const auto cmCookie = xcb_intern_atom(m_connection, 0, std::uint16_t(selection.size()), selection.c_str());
    for (std::size_t i = 0; i < cookies.size(); ++i)
        if (auto* reply = xcb_intern_atom_reply(m_connection, cookies[i], nullptr)) {
            atoms().values[i] = reply->atom;
            std::free(reply);
        }
    if (auto* reply = xcb_intern_atom_reply(m_connection, cmCookie, nullptr)) {
        m_cmSelection = reply->atom;
        std::free(reply);
    }
    compositingNow();
}

XcbOverlayWindowSystem::~XcbOverlayWindowSystem()
{
    if (m_pointerFilter && qGuiApp != nullptr)
        qGuiApp->removeNativeEventFilter(m_pointerFilter.get());
    if (m_pending && m_connection != nullptr)
        xcb_discard_reply(m_connection, m_pending->sequence);
}

xcb_atom_t XcbOverlayWindowSystem::atom(const char* name)
{
    for (std::size_t i = 0; i < Atoms::kNames.size(); ++i)
        if (std::strcmp(Atoms::kNames[i], name) == 0)
            return atoms().values[i];
    return XCB_NONE;
}

void XcbOverlayWindowSystem::prepare(QWindow& window)
{
    if (m_connection == nullptr)
        return;
    const auto id = xcb_window_t(window.winId()); // creates the native window
    xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, id, atom("_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL, 32, 1,
                        &kAllDesktops);
    // The window is not mapped yet, so this is the whole list; Qt adds its own to it when it maps.
    const std::array<xcb_atom_t, 4> states{atom("_NET_WM_STATE_STICKY"), atom("_NET_WM_STATE_SKIP_TASKBAR"),
                                           atom("_NET_WM_STATE_SKIP_PAGER"), atom("_NET_WM_STATE_ABOVE")};
    xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, id, atom("_NET_WM_STATE"), XCB_ATOM_ATOM, 32,
                        std::uint32_t(states.size()), states.data());
    xcb_flush(m_connection);
}

void XcbOverlayWindowSystem::keepClickThrough(QWindow& window)
{
    if (m_connection == nullptr || window.handle() == nullptr)
        return;
    xcb_shape_rectangles(m_connection, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, XCB_CLIP_ORDERING_UNSORTED,
                         xcb_window_t(window.winId()), 0, 0, 0, nullptr);
    xcb_flush(m_connection);
}

bool XcbOverlayWindowSystem::compositing()
{
    if (m_connection == nullptr || m_cmSelection == XCB_NONE)
        return false;
    // The answer to the question asked last time is long there: taking it does not wait.
    if (m_pending) {
        if (auto* reply = xcb_get_selection_owner_reply(m_connection, *m_pending, nullptr)) {
            m_compositing = reply->owner != XCB_NONE;
            std::free(reply);
        }
        m_pending.reset();
    }
    m_pending = xcb_get_selection_owner(m_connection, m_cmSelection);
    xcb_flush(m_connection);
    return m_compositing;
}

bool XcbOverlayWindowSystem::compositingNow()
{
    compositing(); // takes the old answer and asks again
    return compositing(); // waits for the new answer
}

bool XcbOverlayWindowSystem::passesClicksThrough()
{
    // Xwayland keeps the input shape to its own X clients and gives the compositor the whole surface
    // (seen with Xwayland 22 under mutter 43).
    return !platform::waylandSession();
}

namespace {
// Motion over a window with an empty input shape goes to the root window beneath it; Xwayland
// sends it only while the pointer is over one of its own surfaces, which here is the mark.
class RootMotionFilter final : public QAbstractNativeEventFilter {
public:
    RootMotionFilter(xcb_window_t root, std::function<void(QPoint)> moved) : m_root(root), m_moved(std::move(moved)) {}
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override
    {
        if (type != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_MOTION_NOTIFY)
            return false;
        const auto* motion = reinterpret_cast<const xcb_motion_notify_event_t*>(event);
        if (motion->event != m_root)
            return false;
        m_moved(QPoint(motion->root_x, motion->root_y));
        return true;
    }

private:
    xcb_window_t m_root;
    std::function<void(QPoint)> m_moved;
};
} // namespace

void XcbOverlayWindowSystem::watchPointer(std::function<void(QPoint)> moved)
{
    if (m_connection == nullptr || m_pointerFilter || qGuiApp == nullptr)
        return;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(m_connection));
    for (int i = defaultScreenNumber(); i > 0 && screens.rem > 0; --i)
        xcb_screen_next(&screens);
    if (screens.rem == 0)
        return;
    const xcb_window_t root = screens.data->root;
    // Added to what this connection (Qt's) already hears from the root window.
    std::uint32_t mask = XCB_EVENT_MASK_POINTER_MOTION;
    if (auto* attributes = xcb_get_window_attributes_reply(m_connection, xcb_get_window_attributes(m_connection, root), nullptr)) {
        mask |= attributes->your_event_mask;
        std::free(attributes);
    }
    xcb_change_window_attributes(m_connection, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(m_connection);
    m_pointerFilter = std::make_unique<RootMotionFilter>(root, std::move(moved));
    qGuiApp->installNativeEventFilter(m_pointerFilter.get());
}

// Null backend for platforms other than xcb (Wayland always composites).
namespace {
class ComposedWindowSystem final : public OverlayWindowSystem {
public:
    void prepare(QWindow&) override {}
    void keepClickThrough(QWindow&) override {}
    bool compositing() override { return true; }
    bool compositingNow() override { return true; }
};
} // namespace

std::unique_ptr<OverlayWindowSystem> OverlayWindowSystem::forThisDisplay()
{
    if (QGuiApplication::platformName() == u"xcb")
        return std::make_unique<XcbOverlayWindowSystem>();
    return std::make_unique<ComposedWindowSystem>();
}

} // namespace selvina::overlay

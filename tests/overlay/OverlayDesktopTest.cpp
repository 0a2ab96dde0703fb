// The mark on a real X display: Xvfb whose one output shows a 4K picture with room beside it for a
// 1080p monitor plugged in later, openbox, XTEST clicks through xdotool, another X client's window
// under the mark, and xcompmgr starting and stopping.
#include "BareXDisplay.h"

#include "overlay/DebugPanelView.h"
#include "overlay/OverlayController.h"

#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <QScreen>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cmath>
#include <optional>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace selvina;
using namespace selvina::overlay;

namespace {

bool waitUntil(const std::function<bool()>& condition, int ms = 20000)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > ms)
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

bool xrandr(const QStringList& arguments)
{
    return QProcess::execute(QStringLiteral("xrandr"), arguments) == 0;
}

// Another X client: it reads window properties and pixels, and owns a plain window that records
// the clicks it gets.
class OtherClient {
public:
    OtherClient() : m_c(xcb_connect(nullptr, nullptr)), m_root(xcb_setup_roots_iterator(xcb_get_setup(m_c)).data->root) {}
    ~OtherClient()
    {
        if (m_window != XCB_NONE)
            xcb_destroy_window(m_c, m_window);
        xcb_disconnect(m_c);
    }

    // A managed, focused window of this colour covering `r`.
    void openWindow(const QRect& r, std::uint32_t colour)
    {
        m_window = xcb_generate_id(m_c);
        const std::uint32_t values[] = {colour, XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
        xcb_create_window(m_c, XCB_COPY_FROM_PARENT, m_window, m_root, std::int16_t(r.x()), std::int16_t(r.y()),
                          std::uint16_t(r.width()), std::uint16_t(r.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        // WM_NORMAL_HINTS with USPosition and USSize: the window manager leaves it where it is asked to be.
        std::uint32_t hints[18] = {1 | 2, std::uint32_t(r.x()), std::uint32_t(r.y()), std::uint32_t(r.width()),
                                   std::uint32_t(r.height())};
        xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, m_window, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
        xcb_map_window(m_c, m_window);
        xcb_flush(m_c);
    }
    xcb_window_t window() const { return m_window; }
    void focusWindow()
    {
        xcb_set_input_focus(m_c, XCB_INPUT_FOCUS_PARENT, m_window, XCB_CURRENT_TIME);
        xcb_flush(m_c);
    }
    bool clicked()
    {
        while (xcb_generic_event_t* e = xcb_poll_for_event(m_c)) {
            m_clicked = m_clicked || (e->response_type & 0x7f) == XCB_BUTTON_PRESS;
            std::free(e);
        }
        return m_clicked;
    }
    xcb_window_t focus()
    {
        auto* r = xcb_get_input_focus_reply(m_c, xcb_get_input_focus(m_c), nullptr);
        const xcb_window_t f = r ? r->focus : XCB_NONE;
        std::free(r);
        return f;
    }
    // None: the window is gone.
    std::optional<std::uint8_t> mapState(xcb_window_t w)
    {
        auto* r = xcb_get_window_attributes_reply(m_c, xcb_get_window_attributes(m_c, w), nullptr);
        const auto state = r ? std::optional<std::uint8_t>(r->map_state) : std::nullopt;
        std::free(r);
        return state;
    }
    bool viewable(xcb_window_t w) { return mapState(w) == XCB_MAP_STATE_VIEWABLE; }
    // The 32-bit values of a property (CARDINAL or ATOM).
    std::vector<std::uint32_t> property(xcb_window_t w, const char* name)
    {
        std::vector<std::uint32_t> out;
        auto* r = xcb_get_property_reply(m_c, xcb_get_property(m_c, 0, w, atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 64), nullptr);
        if (r != nullptr && r->format == 32) {
            const auto* v = static_cast<const std::uint32_t*>(xcb_get_property_value(r));
            out.assign(v, v + xcb_get_property_value_length(r) / 4);
        }
        std::free(r);
        return out;
    }
    xcb_atom_t atom(const char* name)
    {
        auto* r = xcb_intern_atom_reply(m_c, xcb_intern_atom(m_c, 0, std::uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t a = r ? r->atom : XCB_NONE;
        std::free(r);
        return a;
    }
    std::uint32_t pixel(int x, int y)
    {
        auto* r = xcb_get_image_reply(
            m_c, xcb_get_image(m_c, XCB_IMAGE_FORMAT_Z_PIXMAP, m_root, std::int16_t(x), std::int16_t(y), 1, 1, ~0u), nullptr);
        std::uint32_t p = 0;
        if (r != nullptr && xcb_get_image_data_length(r) >= 4)
            std::memcpy(&p, xcb_get_image_data(r), 4);
        std::free(r);
        return p & 0xFFFFFF;
    }

private:
    xcb_connection_t* m_c;
    xcb_window_t m_root;
    xcb_window_t m_window = XCB_NONE;
    bool m_clicked = false;
};

class Overlay : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_overlay = std::make_unique<OverlayController>(m_session, m_clock, OverlayWindowSystem::forThisDisplay());
    }
    void TearDown() override { m_overlay->hide(); }

    std::vector<xcb_window_t> ids() const
    {
        std::vector<xcb_window_t> out;
        for (QWidget* w : m_overlay->windows())
            out.push_back(xcb_window_t(w->winId()));
        return out;
    }
    bool allViewable()
    {
        const auto all = ids();
        return !all.empty() && std::all_of(all.begin(), all.end(), [this](xcb_window_t w) { return m_x.viewable(w); });
    }
    QWidget* windowOn(const QRect& screen) const
    {
        for (QWidget* w : m_overlay->windows())
            if (screen.contains(w->geometry()))
                return w;
        return nullptr;
    }
    // The window fits the mark's box on its screen (rounded out to whole pixels).
    static bool hugsTheMark(const QWidget* w, double expectedWidth)
    {
        return w != nullptr && w->width() >= std::floor(expectedWidth) && w->width() <= std::ceil(expectedWidth) + 1
               && w->height() <= std::ceil(expectedWidth / kMarkAspect) + 1;
    }

    SystemClock m_clock;
    SessionModel m_session;
    OtherClient m_x;
    std::unique_ptr<OverlayController> m_overlay;
};

const QRect kScreen4K(0, 0, 3840, 2160);
const QRect kScreen1080(3840, 0, 1920, 1080);

} // namespace

TEST_F(Overlay, TheMarkIsUpOnEveryDesktopWhileTheConversationIsOpenAndGoneAfter)
{
    m_overlay->show();
    EXPECT_TRUE(m_session.isActive());
    ASSERT_EQ(m_overlay->windows().size(), QGuiApplication::screens().size());
    ASSERT_TRUE(waitUntil([&] { return allViewable(); }));
    const xcb_window_t mark = ids().front();
    EXPECT_EQ(m_x.property(mark, "_NET_WM_DESKTOP"), std::vector<std::uint32_t>{0xFFFFFFFF});
    const auto states = m_x.property(mark, "_NET_WM_STATE");
    for (const char* s : {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER", "_NET_WM_STATE_ABOVE"})
        EXPECT_NE(std::find(states.begin(), states.end(), m_x.atom(s)), states.end()) << s;
    // No compositor: the window is the mark's box and no more.
    ASSERT_FALSE(m_overlay->compositing());
    EXPECT_TRUE(hugsTheMark(windowOn(kScreen4K), 420)) << windowOn(kScreen4K)->width();

    // Work going on: the mark and its window travel to the corner, the panel appears below it.
    m_session.setCompact(true);
    EXPECT_TRUE(waitUntil([&] {
        const QRect g = m_overlay->windows().front()->geometry();
        return std::abs(g.right() + 1 - (3840 - 120)) <= 1 && std::abs(g.top() - 130) <= 1;
    })) << m_overlay->windows().front()->geometry().x();
    EXPECT_TRUE(hugsTheMark(m_overlay->windows().front(), 420 * 0.34));
    DebugLog log(nullptr);
    log.append(ChatKind::toolCall, QStringLiteral("read_screen {}"));
    m_overlay->showDebugPanel(log);
    QWidget* panel = m_overlay->debugPanel();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->geometry(), DebugPanelView::placement(QGuiApplication::primaryScreen()->availableGeometry()));
    EXPECT_TRUE(panel->windowFlags().testFlags(Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus));

    // Closing the conversation clears isActive: every window goes, the panel with them.
    m_session.setActive(false);
    EXPECT_TRUE(m_overlay->windows().isEmpty());
    EXPECT_EQ(m_overlay->debugPanel(), nullptr);
    EXPECT_TRUE(waitUntil([&] { return !m_x.mapState(mark).has_value(); }));
}

TEST_F(Overlay, AClickOnTheMarkReachesTheWindowBelowAndTheFocusStaysThere)
{
    constexpr std::uint32_t kGreen = 0x00FF00;
    m_x.openWindow(QRect(1520, 780, 800, 600), kGreen);
    ASSERT_TRUE(waitUntil([&] { return m_x.viewable(m_x.window()); }));
    m_x.focusWindow();
    ASSERT_TRUE(waitUntil([&] { return m_x.focus() == m_x.window() && m_x.pixel(1920, 1080) == kGreen; }));

    m_overlay->show();
    // The mark is drawn over the window: the middle of the screen is no longer green.
    ASSERT_TRUE(waitUntil([&] { return allViewable() && m_x.pixel(1920, 1080) != kGreen; }));
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"),
                                {QStringLiteral("mousemove"), QStringLiteral("1920"), QStringLiteral("1080"),
                                 QStringLiteral("click"), QStringLiteral("1")}),
              0);
    EXPECT_TRUE(waitUntil([&] { return m_x.clicked(); }));
    EXPECT_EQ(m_x.focus(), m_x.window());
    EXPECT_EQ(QApplication::focusWidget(), nullptr);
    EXPECT_EQ(QGuiApplication::focusWindow(), nullptr);

    // A screen capture sees the window, not the mark; the mark comes back after it.
    ASSERT_TRUE(m_overlay->withdrawForCapture());
    EXPECT_TRUE(waitUntil([&] { return m_x.pixel(1920, 1080) == kGreen; }));
    EXPECT_FALSE(m_overlay->withdrawForCapture());
    m_overlay->restoreAfterCapture();
    EXPECT_TRUE(waitUntil([&] { return allViewable() && m_x.pixel(1920, 1080) != kGreen; }));
}

TEST_F(Overlay, TheAccessibleNameFollowsTheDisplayStateWithoutAnAlertRole)
{
    m_overlay->show();
    struct Case {
        SessionState state;
        bool working;
        const char* name;
    } cases[] = {
        {SessionState::thinking, false, "Selvina słucha"},
        {SessionState::speaking, true, "Selvina przetwarza"},
        {SessionState::speaking, false, "Selvina mówi"},
        {SessionState::awaitingConfirmation, false, "Selvina czeka na potwierdzenie"},
        {SessionState::failed, false, "Wystąpił błąd"},
    };
    for (const Case& c : cases) {
        m_session.setState(c.state);
        m_session.setWorking(c.working);
        for (QWidget* w : m_overlay->windows()) {
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
            ASSERT_NE(a, nullptr);
            EXPECT_EQ(a->text(QAccessible::Name), QString::fromUtf8(c.name));
            EXPECT_NE(a->role(), QAccessible::AlertMessage);
            EXPECT_NE(a->role(), QAccessible::Notification);
        }
    }
}

TEST_F(Overlay, AScreenPluggedInGetsAMarkOfItsOwnSizeAndAnUnpluggedOneLosesIt)
{
    m_overlay->show();
    ASSERT_TRUE(waitUntil([&] { return allViewable(); }));
    ASSERT_TRUE(xrandr({QStringLiteral("--setmonitor"), QStringLiteral("SELVINA-B"), QStringLiteral("1920/500x1080/280+3840+0"),
                        QStringLiteral("none")}));
    EXPECT_TRUE(waitUntil([&] { return m_overlay->windows().size() == 2 && windowOn(kScreen1080) != nullptr; }));
    EXPECT_TRUE(hugsTheMark(windowOn(kScreen1080), 1080 * 0.22));
    EXPECT_TRUE(hugsTheMark(windowOn(kScreen4K), 420));
    EXPECT_TRUE(waitUntil([&] { return allViewable(); }));

    ASSERT_TRUE(xrandr({QStringLiteral("--delmonitor"), QStringLiteral("SELVINA-B")}));
    EXPECT_TRUE(waitUntil([&] { return m_overlay->windows().size() == 1; }));
    EXPECT_NE(windowOn(kScreen4K), nullptr);
}

TEST_F(Overlay, ACompositorStartingAndStoppingRemakesTheWindows)
{
    m_overlay->show();
    ASSERT_FALSE(m_overlay->compositing());
    QProcess compositor;
    compositor.start(QStringLiteral("xcompmgr"), QStringList{});
    if (!compositor.waitForStarted(5000))
        GTEST_SKIP() << "xcompmgr is not installed";
    EXPECT_TRUE(waitUntil([&] { return m_overlay->compositing(); }));
    ASSERT_EQ(m_overlay->windows().size(), 1);
    QWidget* translucent = m_overlay->windows().front();
    EXPECT_TRUE(translucent->testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_GT(translucent->width(), 421); // the glass plate around the mark

    compositor.terminate();
    compositor.waitForFinished(5000);
    EXPECT_TRUE(waitUntil([&] { return !m_overlay->compositing(); }));
    EXPECT_FALSE(m_overlay->windows().front()->testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_TRUE(hugsTheMark(m_overlay->windows().front(), 420));
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS(); // listing needs no display
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("QT_QPA_PLATFORM", "xcb");
    selvina::testing::BareXDisplay display("5760x2160x24");
    if (!display.ok()) {
        std::fprintf(stderr, "no X display (Xvfb, openbox)\n");
        return 1;
    }
    // The framebuffer's one output shows 3840 × 2160 at its left; the rest is room for a second monitor.
    selvina::testing::runNow({"xrandr", "--newmode", "selvina-4k", "0", "3840", "3840", "3840", "3840", "2160", "2160", "2160", "2160"});
    selvina::testing::runNow({"xrandr", "--addmode", "screen", "selvina-4k"});
    if (!selvina::testing::runNow({"xrandr", "--fb", "5760x2160", "--output", "screen", "--mode", "selvina-4k"}))
        return 1;
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

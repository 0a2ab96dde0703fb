// The mark on a real X display: Xvfb whose one output shows a 4K picture with room beside it for a
// 1080p monitor plugged in later, openbox, XTEST clicks through xdotool, another X client's
// full-screen window under the mark, and xcompmgr starting and stopping.
#include "BareXDisplay.h"
#include "FullScreenWindow.h"
#include "TestSupport.h"

#include "overlay/DebugPanelView.h"
#include "overlay/OverlayController.h"

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <tuple>

using namespace selvina;
using namespace selvina::overlay;

namespace {

bool waitUntil(const std::function<bool()>& condition)
{
    return selvina::testing::waitFor(condition, std::chrono::seconds(20));
}

// What an X tool run by another client prints (xprop, xwininfo, xdotool, xrandr); empty on failure.
QString x(const QString& program, const QStringList& arguments)
{
    QProcess p;
    p.start(program, arguments);
    return p.waitForFinished(10000) && p.exitCode() == 0 ? QString::fromUtf8(p.readAllStandardOutput()) : QString();
}
QString xprop(xcb_window_t w, const QString& property)
{
    return x(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(w), QStringLiteral("-notype"), property});
}
// IsViewable, IsUnMapped, or empty once the window is gone.
QString mapState(xcb_window_t w)
{
    return x(QStringLiteral("xwininfo"), {QStringLiteral("-id"), QString::number(w)}).section(QStringLiteral("Map State: "), 1).section('\n', 0, 0);
}
xcb_window_t focus()
{
    return x(QStringLiteral("xdotool"), {QStringLiteral("getwindowfocus"), QStringLiteral("-f")}).trimmed().toUInt();
}
std::uint32_t pixel(int px, int py)
{
    return QGuiApplication::primaryScreen()->grabWindow(0, px, py, 1, 1).toImage().pixel(0, 0) & 0xFFFFFF;
}


class Overlay : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_overlay = std::make_unique<OverlayController>(m_session, m_clock, OverlayWindowSystem::forThisDisplay());
    }
    void TearDown() override { m_overlay->hide(); }

    bool allViewable()
    {
        const auto all = m_overlay->windows();
        return !all.isEmpty()
               && std::all_of(all.begin(), all.end(), [](QWidget* w) { return mapState(xcb_window_t(w->winId())) == u"IsViewable"; });
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
    const auto mark = xcb_window_t(m_overlay->windows().front()->winId());
    EXPECT_EQ(xprop(mark, QStringLiteral("_NET_WM_DESKTOP")).trimmed(), QStringLiteral("_NET_WM_DESKTOP = 4294967295"));
    const QStringList states = xprop(mark, QStringLiteral("_NET_WM_STATE")).section('=', 1).trimmed().split(QStringLiteral(", "));
    for (const char* s : {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER", "_NET_WM_STATE_ABOVE"})
        EXPECT_TRUE(states.contains(QLatin1String(s))) << s;
    // No compositor: the window is the mark's box and no more.
    ASSERT_FALSE(m_overlay->compositing());
    EXPECT_TRUE(hugsTheMark(windowOn(kScreen4K), 420)) << windowOn(kScreen4K)->width();

    // Each state's label is MarkStateTest's; here the windows' accessible objects must follow the
    // session, and never as an alert.
    for (const auto& [state, working, name] : {std::tuple{SessionState::speaking, true, "Selvina przetwarza"},
                                               {SessionState::awaitingConfirmation, false, "Selvina czeka na potwierdzenie"}}) {
        m_session.setState(state);
        m_session.setWorking(working);
        for (QWidget* w : m_overlay->windows()) {
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
            ASSERT_NE(a, nullptr);
            EXPECT_EQ(a->text(QAccessible::Name), QString::fromUtf8(name));
            EXPECT_TRUE(a->role() != QAccessible::AlertMessage && a->role() != QAccessible::Notification) << int(a->role());
        }
    }

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
    EXPECT_TRUE(waitUntil([&] { return mapState(mark).isEmpty(); }));
}

TEST_F(Overlay, AFullScreenWindowOpenedLaterHasTheMarkOverItAndKeepsTheClicksAndTheFocus)
{
    constexpr std::uint32_t kGreen = 0x00FF00;
    m_overlay->show();
    ASSERT_TRUE(waitUntil([&] { return allViewable(); }));
    // A window manager stacks a full-screen window above every managed window, "above" ones too.
    selvina::testing::FullScreenWindow below(kScreen4K.x(), kScreen4K.y(), kScreen4K.width(), kScreen4K.height(), kGreen);
    ASSERT_TRUE(waitUntil([&] { return mapState(below.id) == u"IsViewable" && pixel(100, 100) == kGreen; }));
    below.takeFocus();
    ASSERT_TRUE(waitUntil([&] { return focus() == below.id; }));
    // The mark is drawn over it: the middle of the screen is not green.
    ASSERT_TRUE(waitUntil([&] { return pixel(1920, 1080) != kGreen; }));
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), {"mousemove", "1920", "1080", "click", "1"}), 0);
    EXPECT_TRUE(waitUntil([&] { return below.clicked(); }));
    EXPECT_EQ(focus(), below.id);
    EXPECT_EQ(QApplication::focusWidget(), nullptr);
    EXPECT_EQ(QGuiApplication::focusWindow(), nullptr);

    // A screen capture sees the window, not the mark; the mark comes back after it.
    ASSERT_FALSE(m_overlay->withdrawForCapture().empty());
    EXPECT_TRUE(waitUntil([&] { return pixel(1920, 1080) == kGreen; }));
    EXPECT_TRUE(m_overlay->withdrawForCapture().empty());
    m_overlay->restoreAfterCapture();
    EXPECT_TRUE(waitUntil([&] { return allViewable() && pixel(1920, 1080) != kGreen; }));
}

TEST_F(Overlay, AScreenPluggedInGetsAMarkOfItsOwnSizeAndAnUnpluggedOneLosesIt)
{
    m_overlay->show();
    ASSERT_TRUE(waitUntil([&] { return allViewable(); }));
    ASSERT_EQ(QProcess::execute(QStringLiteral("xrandr"), {"--setmonitor", "SELVINA-B", "1920/500x1080/280+3840+0", "none"}), 0);
    EXPECT_TRUE(waitUntil([&] { return m_overlay->windows().size() == 2 && windowOn(kScreen1080) != nullptr; }));
    EXPECT_TRUE(hugsTheMark(windowOn(kScreen1080), 1080 * 0.22));
    EXPECT_TRUE(hugsTheMark(windowOn(kScreen4K), 420));
    EXPECT_TRUE(waitUntil([&] { return allViewable(); }));

    ASSERT_EQ(QProcess::execute(QStringLiteral("xrandr"), {"--delmonitor", "SELVINA-B"}), 0);
    EXPECT_TRUE(waitUntil([&] { return m_overlay->windows().size() == 1; }));
    EXPECT_NE(windowOn(kScreen4K), nullptr);
}

TEST_F(Overlay, ACompositorStartingWhileTheMarkIsUpOrStoppingBetweenConversationsRemakesTheWindows)
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

    // Nobody watches the screen between conversations: the next mark must not carry a plate that
    // would come out black.
    m_overlay->hide();
    compositor.terminate();
    compositor.waitForFinished(5000);
    ASSERT_TRUE(waitUntil([] { return !OverlayWindowSystem::forThisDisplay()->compositingNow(); }));
    m_overlay->show();
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

// The mark's rules without a display: what it shows for each session, where it sits, and how it
// travels to the corner and back.
#include "overlay/MarkState.h"

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

using namespace selvina;
using namespace selvina::overlay;
using std::chrono::milliseconds;

TEST(MarkDisplay, TheLabelAndTheFillFollowTheDisplayState)
{
    const std::tuple<SessionState, bool, const char*, MarkShaderMode> cases[] = { // the state, working, label, fill
        {SessionState::listening, false, "Selvina słucha", MarkShaderMode::idle},
        {SessionState::thinking, false, "Selvina słucha", MarkShaderMode::idle}, // no tool: not work
        {SessionState::thinking, true, "Selvina przetwarza", MarkShaderMode::wave},
        {SessionState::speaking, true, "Selvina przetwarza", MarkShaderMode::wave}, // work wins
        {SessionState::speaking, false, "Selvina mówi", MarkShaderMode::speaking},
        {SessionState::awaitingConfirmation, false, "Selvina czeka na potwierdzenie", MarkShaderMode::pulse},
        {SessionState::failed, false, "Wystąpił błąd", MarkShaderMode::idle},
    };
    for (const auto& [state, working, label, mode] : cases) {
        const SessionState shown = displayState(state, working);
        EXPECT_EQ(accessibleLabel(shown), QString::fromUtf8(label)) << sessionStateName(state).toStdString();
        EXPECT_EQ(shaderMode(shown), mode) << sessionStateName(state).toStdString();
    }
}

TEST(MarkDisplay, ASameModeNeverRestartsItsAnimationAndANewOneCrossFades)
{
    MarkShaderState s;
    s.update(SessionState::thinking, milliseconds(100));
    s.update(SessionState::thinking, milliseconds(900));
    EXPECT_EQ(s.mode, MarkShaderMode::wave);
    EXPECT_EQ(s.modeStart, milliseconds(100));
    s.update(SessionState::speaking, milliseconds(1000));
    EXPECT_EQ(s.previousMode, MarkShaderMode::wave);
    EXPECT_EQ(s.modeStart, milliseconds(1000));
    EXPECT_EQ(s.transitionStart, milliseconds(1000));
    EXPECT_DOUBLE_EQ(s.transition(milliseconds(1000) + MarkShaderState::kCrossFade / 2), 0.5);
    EXPECT_DOUBLE_EQ(s.transition(milliseconds(5000)), 1.0);
    // Listening and failed share the idle fill: going from one to the other changes nothing.
    MarkShaderState idle;
    idle.update(SessionState::failed, milliseconds(300));
    EXPECT_EQ(idle.modeStart, milliseconds(0));
}

TEST(MarkGeometry, SizeAndPlaceInTheMiddleAndInTheCorner)
{
    const std::tuple<QSizeF, double, double, double, double> cases[] = { // the view, travel, width, centre, top
        {{1920, 1080}, 0, 237.6, 960, 540 - 237.6 / kMarkAspect / 2},
        {{3840, 2160}, 0, 420, 1920, 1080 - 420 / kMarkAspect / 2}, // capped
        {{800, 600}, 0, 220, 400, 300 - 220 / kMarkAspect / 2},      // raised to the minimum
        {{1920, 1080}, 1, 237.6 * 0.34, 1920 - 120 - 237.6 * 0.34 / 2, 130},
        {{3840, 2160}, 1, 420 * 0.34, 3840 - 120 - 420 * 0.34 / 2, 130},
    };
    for (const auto& [view, travel, width, centreX, top] : cases) {
        const QRectF r = markRect(view, travel);
        EXPECT_NEAR(r.width(), width, 1e-9);
        EXPECT_NEAR(r.height(), width / kMarkAspect, 1e-9);
        EXPECT_NEAR(r.center().x(), centreX, 1e-9);
        EXPECT_NEAR(r.top(), top, 1e-9);
    }
}

TEST(CornerTransition, TravelSpringsAndTheApertureFollowsAfterItsDelay)
{
    CornerTransition t;
    t.jumpTo(false);
    t.setCompact(true, milliseconds(0));
    EXPECT_DOUBLE_EQ(t.travel(milliseconds(0)), 0);
    double peak = 0;
    for (int ms = 0; ms <= 2000; ms += 5)
        peak = std::max(peak, t.travel(milliseconds(ms)));
    EXPECT_GT(peak, 1.0);  // a damping of 0.86 overshoots a little …
    EXPECT_LT(peak, 1.01); // … and only a little
    EXPECT_TRUE(t.settled(milliseconds(2000)));
    EXPECT_DOUBLE_EQ(t.travel(milliseconds(2000)), 1);

    // The aperture at these times (ms) while entering the corner, then while leaving it.
    const std::pair<int, double> entering[] = {{0, 0}, {300, 0}, {550, 0.5}, {800, 1}},
                                 leaving[] = {{2000, 1}, {2220, 1}, {2470, 0.5}, {2720, 0}};
    for (const auto& [ms, aperture] : entering)
        EXPECT_NEAR(t.aperture(milliseconds(ms)), aperture, 1e-6) << ms;
    t.setCompact(false, milliseconds(2000));
    for (const auto& [ms, aperture] : leaving)
        EXPECT_NEAR(t.aperture(milliseconds(ms)), aperture, 1e-6) << ms;
    EXPECT_DOUBLE_EQ(t.travel(milliseconds(4000)), 0);
}

TEST(CornerTransition, TurningBackMidwayNeitherJumpsNorStops)
{
    CornerTransition t;
    t.setCompact(true, milliseconds(0));
    const double before = t.travel(milliseconds(300));
    const double rising = t.travel(milliseconds(301)) - t.travel(milliseconds(299));
    t.setCompact(false, milliseconds(300));
    EXPECT_NEAR(t.travel(milliseconds(300)), before, 1e-9);
    // It still moves on for a moment with the speed it had, then comes back.
    EXPECT_GT(rising, 0);
    EXPECT_GT(t.travel(milliseconds(302)), t.travel(milliseconds(300)));
    EXPECT_NEAR(t.travel(milliseconds(3000)), 0, 1e-9);
    // The aperture had not started yet: it stays shut.
    EXPECT_DOUBLE_EQ(t.aperture(milliseconds(600)), 0);
}

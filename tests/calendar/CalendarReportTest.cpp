// The calendar tool's options, range and output, apart from the store.
#include "calendar/CalendarReport.h"

#include <gtest/gtest.h>

#include <limits>

using namespace selvina::calendar;

namespace {

// The defaults, "abc", "+2", a missing last value and the first of two options are also run
// through the real program in EdsCalendarTest.
TEST(CalendarOptions, FallbacksAndSigns)
{
    EXPECT_EQ(DayOptions::parse({"x", "--do", "-3", "--do", "7"}).doDay, -3); // the first occurrence counts
    for (const char* unreadable : {"", " 2", "+", "99999999999999999999"})
        EXPECT_EQ(DayOptions::parse({"--od", unreadable}).od, 0) << unreadable;
    EXPECT_EQ(parseOffset("-9223372036854775808"), std::numeric_limits<qint64>::min());
}

TEST(CalendarRange, EmptyRangesAndOverflow)
{
    const QDate today(2026, 3, 28); // the night before summer time in most of Europe
    const auto r = rangeFor({3, 2}, today);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->from, r->to); // not rejected
    EXPECT_EQ(r->from, QDateTime(QDate(2026, 3, 31), QTime(0, 0), Qt::LocalTime));
    EXPECT_FALSE(rangeFor({std::numeric_limits<qint64>::min(), 1}, today));
    EXPECT_FALSE(rangeFor({0, 3'000'000}, today)); // beyond the year 9999; the largest offset is EdsCalendarTest's
}

TEST(CalendarOutput, SortedKeysPresenceRulesAndStableOrder)
{
    const DayRange range{QDateTime(QDate(2026, 3, 14), QTime(0, 0), Qt::UTC),
                         QDateTime(QDate(2026, 3, 16), QTime(0, 0), Qt::UTC)};
    const QDateTime nine(QDate(2026, 3, 14), QTime(9, 0), Qt::UTC);
    CalendarListing l;
    l.calendars = 3;
    l.events = {
        {"B", "Dom", false, nine, nine.addSecs(3600), {}, 0, {}},
        {{}, std::nullopt, true, std::nullopt, std::nullopt, "Sala", 2, QString(1000, 'n')},
        {"A", "Praca", false, nine, std::nullopt, {}, 0, {}},
    };
    l.unavailable = {{"Urodziny", "Nie można otworzyć kalendarza „Urodziny” (nie odpowiada od 5 s)."}};
    const QByteArray expected =
        R"j({"calendars":3,"count":3,"events":[)j"
        R"j({"allDay":true,"attendees":2,"calendar":"?","location":"Sala","notes":")j" + QByteArray(300, 'n') +
        R"j(","title":"(bez tytułu)"},)j"
        R"j({"allDay":false,"calendar":"Dom","end":"2026-03-14T10:00:00Z","start":"2026-03-14T09:00:00Z","title":"B"},)j"
        R"j({"allDay":false,"calendar":"Praca","start":"2026-03-14T09:00:00Z","title":"A"}],)j"
        R"j("from":"2026-03-14T00:00:00Z","to":"2026-03-16T00:00:00Z",)j"
        R"j("unavailable":[{"calendar":"Urodziny","error":"Nie można otworzyć kalendarza „Urodziny” (nie odpowiada od 5 s)."}]})j";
    EXPECT_EQ(successJSON(range, l), expected);
    EXPECT_EQ(errorJSON(CalendarError::noneOpened("x")),
              R"({"authorization":"unknown","error":"Żaden kalendarz nie dał się otworzyć. x"})");
}

} // namespace

// EdsCalendarStore: the calendars of Evolution Data Server (GNOME Calendar, Evolution and the
// online accounts they sync), read through its source registry and libecal.
// Thread: the program's only thread; every call is synchronous with a deadline.
#pragma once

#include "calendar/CalendarStore.h"

#include <chrono>

namespace selvina::calendar {

class EdsCalendarStore final : public CalendarStore {
public:
    // `timeout` bounds the whole run; `perCalendar` how long one calendar may take to open.
    explicit EdsCalendarStore(std::chrono::milliseconds timeout = std::chrono::seconds(20),
                              std::chrono::milliseconds perCalendar = std::chrono::seconds(5))
        : m_timeout(timeout), m_perCalendar(perCalendar)
    {
    }
    Result<CalendarListing, CalendarError> list(const QDateTime& from, const QDateTime& to) override;

private:
    std::chrono::milliseconds m_timeout;
    std::chrono::milliseconds m_perCalendar;
};

} // namespace selvina::calendar

// CalendarStore: where the calendar tool reads the user's calendars from.
// Thread: the program's only thread.
#pragma once

#include "calendar/CalendarReport.h"
#include "core/Result.h"

namespace selvina::calendar {

class CalendarStore {
public:
    virtual ~CalendarStore() = default;
    // Every enabled calendar and the occurrences of its events that overlap [from, to); the error
    // says what cannot be reached and what to do about it.
    virtual Result<CalendarListing, CalendarError> list(const QDateTime& from, const QDateTime& to) = 0;
};

} // namespace selvina::calendar

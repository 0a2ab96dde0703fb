// The calendar tool's logic apart from the store: reading the day options, forming the range and
// writing the one JSON object it prints.
// Thread: the program's only thread.
#pragma once

#include <QDateTime>
#include <QList>
#include <QStringList>

#include <optional>

namespace selvina::calendar {

struct DayOptions {
    qint64 od = 0;    // first day, offset from today
    qint64 doDay = 1; // last day (inclusive), offset from today

    // "--od N" / "--do M" anywhere, first occurrence; a missing or unreadable value means the default.
    static DayOptions parse(const QStringList& arguments);
};

// A decimal integer with an optional leading "+" or "-", nothing else around it.
std::optional<qint64> parseOffset(const QString& text);

struct DayRange {
    QDateTime from; // local midnight of the first day
    QDateTime to;   // local midnight after the last day; not after `from` for an empty range
};

// Absent when a day cannot be formed (overflow, or a year outside 1–9999).
std::optional<DayRange> rangeFor(const DayOptions& options, const QDate& today);

struct CalendarEvent {
    QString title;
    std::optional<QString> calendar;
    bool allDay = false;
    std::optional<QDateTime> start;
    std::optional<QDateTime> end;
    QString location;
    int attendees = 0;
    QString notes;
};

// A calendar that could not be read while others could.
struct UnavailableCalendar {
    QString calendar;
    QString error;
};

struct CalendarListing {
    int calendars = 0;
    QList<CalendarEvent> events; // in the order the store returned them
    QList<UnavailableCalendar> unavailable;
};

// Why the tool has no listing to print.
class CalendarError {
public:
    enum class Kind { badRange, noSessionBus, registryUnreachable, timedOut, noneOpened };
    static CalendarError badRange() { return {Kind::badRange, {}}; }
    static CalendarError noSessionBus(QString systemText) { return {Kind::noSessionBus, std::move(systemText)}; }
    static CalendarError registryUnreachable(QString systemText) { return {Kind::registryUnreachable, std::move(systemText)}; }
    static CalendarError timedOut(double seconds) { return {Kind::timedOut, {}, seconds}; }
    // `firstFailure`: the sentence of the first calendar that could not be opened.
    static CalendarError noneOpened(QString firstFailure) { return {Kind::noneOpened, std::move(firstFailure)}; }

    Kind kind() const { return m_kind; }
    QString description() const;
    bool operator==(const CalendarError&) const = default;

private:
    CalendarError(Kind kind, QString text, double seconds = 0) : m_kind(kind), m_text(std::move(text)), m_seconds(seconds) {}
    Kind m_kind;
    QString m_text;
    double m_seconds;
};

// Compact JSON with sorted keys and no line break at the end; events sorted by start, stable.
QByteArray successJSON(const DayRange& range, CalendarListing listing);
// {"error": description} and, for a failure of the store, "authorization": "unknown".
QByteArray errorJSON(const CalendarError& error);

} // namespace selvina::calendar

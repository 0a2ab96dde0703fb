#include "calendar/CalendarReport.h"

#include "core/TextCut.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace selvina::calendar {

namespace {

QString iso(const QDateTime& t)
{
    return t.toUTC().toString(Qt::ISODate); // 2026-03-14T08:30:00Z
}

QByteArray emit(const QJsonObject& object)
{
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact);
    if (bytes.isEmpty())
        return QByteArrayLiteral("{\"error\":\"nie udało się złożyć odpowiedzi\"}");
    return bytes;
}

constexpr int kNotesLimit = 300; // characters

} // namespace

std::optional<qint64> parseOffset(const QString& text)
{
    if (text.isEmpty())
        return std::nullopt;
    qsizetype i = 0;
    const bool negative = text[0] == QLatin1Char('-');
    if (text[0] == QLatin1Char('+') || negative)
        ++i;
    if (i == text.size())
        return std::nullopt;
    qint64 value = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        // Accumulate towards the sign, so the most negative value is readable too.
        const int digit = c - u'0';
        if (__builtin_mul_overflow(value, 10, &value) ||
            (negative ? __builtin_sub_overflow(value, digit, &value) : __builtin_add_overflow(value, digit, &value)))
            return std::nullopt;
    }
    return value;
}

DayOptions DayOptions::parse(const QStringList& arguments)
{
    DayOptions o;
    const auto value = [&arguments](const char* name) -> std::optional<qint64> {
        const qsizetype at = arguments.indexOf(QLatin1String(name));
        if (at < 0 || at + 1 >= arguments.size())
            return std::nullopt;
        return parseOffset(arguments[at + 1]);
    };
    o.od = value("--od").value_or(0);
    o.doDay = value("--do").value_or(1);
    return o;
}

std::optional<DayRange> rangeFor(const DayOptions& options, const QDate& today)
{
    qint64 afterLast = 0;
    if (__builtin_add_overflow(options.doDay, 1, &afterLast))
        return std::nullopt;
    const auto day = [&today](qint64 offset) -> std::optional<QDateTime> {
        qint64 jd = 0;
        if (__builtin_add_overflow(today.toJulianDay(), offset, &jd))
            return std::nullopt;
        const QDate d = QDate::fromJulianDay(jd);
        if (!d.isValid() || d.year() < 1 || d.year() > 9999)
            return std::nullopt;
        QDateTime t(d, QTime(0, 0), Qt::LocalTime);
        if (!t.isValid())
            return std::nullopt;
        return t;
    };
    const auto from = day(options.od);
    const auto to = day(afterLast);
    if (!from || !to)
        return std::nullopt;
    return DayRange{*from, *to};
}

QString CalendarError::description() const
{
    switch (m_kind) {
    case Kind::badRange:
        return QStringLiteral("Niepoprawny zakres dni.");
    case Kind::noSessionBus:
        return QStringLiteral("Brak sesyjnej magistrali D-Bus (%1), a kalendarze Evolution Data Server są dostępne "
                              "tylko przez nią. Uruchom program w zalogowanej sesji użytkownika.")
            .arg(m_text);
    case Kind::registryUnreachable:
        return QStringLiteral("Nie można połączyć się z rejestrem kalendarzy Evolution Data Server (%1). Sprawdź, "
                              "czy jest zainstalowany pakiet evolution-data-server (sudo apt install "
                              "evolution-data-server), i spróbuj ponownie.")
            .arg(m_text);
    case Kind::timedOut:
        return QStringLiteral("Evolution Data Server nie odpowiedział w ciągu %1 s. Spróbuj ponownie; jeśli to się "
                              "powtarza, uruchom ponownie sesję.")
            .arg(m_seconds);
    case Kind::noneOpened:
        break;
    }
    return QStringLiteral("Żaden kalendarz nie dał się otworzyć. ") + m_text;
}

QByteArray successJSON(const DayRange& range, CalendarListing listing)
{
    std::stable_sort(listing.events.begin(), listing.events.end(), [](const CalendarEvent& a, const CalendarEvent& b) {
        // No start counts as the distant past.
        if (!a.start || !b.start)
            return !a.start && b.start;
        return *a.start < *b.start;
    });
    QJsonArray events;
    for (const CalendarEvent& e : listing.events) {
        QJsonObject o{
            {QStringLiteral("title"), e.title.isEmpty() ? QStringLiteral("(bez tytułu)") : e.title},
            {QStringLiteral("calendar"), e.calendar.value_or(QStringLiteral("?"))},
            {QStringLiteral("allDay"), e.allDay},
        };
        if (e.start)
            o.insert(QStringLiteral("start"), iso(*e.start));
        if (e.end)
            o.insert(QStringLiteral("end"), iso(*e.end));
        if (!e.location.isEmpty())
            o.insert(QStringLiteral("location"), e.location);
        if (e.attendees > 0)
            o.insert(QStringLiteral("attendees"), e.attendees);
        if (!e.notes.isEmpty())
            o.insert(QStringLiteral("notes"), leadingCharacters(e.notes, kNotesLimit));
        events.append(o);
    }
    QJsonObject out{
        {QStringLiteral("calendars"), listing.calendars},
        {QStringLiteral("count"), events.size()},
        {QStringLiteral("events"), events},
        {QStringLiteral("from"), iso(range.from)},
        {QStringLiteral("to"), iso(range.to)},
    };
    if (!listing.unavailable.isEmpty()) {
        QJsonArray unavailable;
        for (const UnavailableCalendar& u : listing.unavailable)
            unavailable.append(QJsonObject{{QStringLiteral("calendar"), u.calendar}, {QStringLiteral("error"), u.error}});
        out.insert(QStringLiteral("unavailable"), unavailable);
    }
    return emit(out);
}

QByteArray errorJSON(const CalendarError& error)
{
    QJsonObject out{{QStringLiteral("error"), error.description()}};
    if (error.kind() != CalendarError::Kind::badRange)
        out.insert(QStringLiteral("authorization"), QStringLiteral("unknown"));
    return emit(out);
}

} // namespace selvina::calendar

#include "calendar/eds/EdsCalendarStore.h"

#include "platform/linux/GDeadline.h"

#include <QTimeZone>

#include <libecal/libecal.h>
#include <libedataserver/libedataserver.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace selvina::calendar {

namespace {

template <typename T>
struct GObjectUnref {
    void operator()(T* p) const
    {
        if (p)
            g_object_unref(p);
    }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref<T>>;

QString takeMessage(GError*& error)
{
    const QString message = error ? QString::fromUtf8(error->message) : QStringLiteral("nieznany błąd");
    g_clear_error(&error);
    return message;
}

QString text(const char* utf8)
{
    return utf8 ? QString::fromUtf8(utf8) : QString();
}

ICalTimezone* localZone()
{
    const QByteArray id = QTimeZone::systemTimeZoneId();
    if (ICalTimezone* zone = i_cal_timezone_get_builtin_timezone(id.constData()))
        return zone;
    return i_cal_timezone_get_utc_timezone();
}

struct Collector {
    QString calendar;
    ICalTimezone* fallbackZone;
    QList<CalendarEvent>* events;
};

QDateTime instant(ICalTime* t, ICalTimezone* fallbackZone)
{
    ICalTimezone* zone = i_cal_time_get_timezone(t);
    if (!zone || i_cal_time_is_date(t))
        zone = fallbackZone; // floating times and whole days are the user's local ones
    return QDateTime::fromSecsSinceEpoch(qint64(i_cal_time_as_timet_with_zone(t, zone)), Qt::UTC);
}

gboolean collect(ICalComponent* component, ICalTime* start, ICalTime* end, gpointer data, GCancellable*, GError**)
{
    auto* c = static_cast<Collector*>(data);
    CalendarEvent e;
    e.title = text(i_cal_component_get_summary(component));
    e.calendar = c->calendar;
    e.allDay = start && i_cal_time_is_date(start);
    if (start && !i_cal_time_is_null_time(start))
        e.start = instant(start, c->fallbackZone);
    if (end && !i_cal_time_is_null_time(end))
        e.end = instant(end, c->fallbackZone);
    e.location = text(i_cal_component_get_location(component));
    e.attendees = i_cal_component_count_properties(component, I_CAL_ATTENDEE_PROPERTY);
    e.notes = text(i_cal_component_get_description(component));
    c->events->append(std::move(e));
    return TRUE;
}

// The registry's bus name in every Evolution Data Server since 3.x; libedataserver does not export it.
constexpr const char* kRegistryService = "org.gnome.evolution.dataserver.Sources5";

struct Opening {
    ESource* source = nullptr;
    GPtr<EClient> client;
    QString error;
    bool done = false;
    bool timedOut = false;
};

void opened(GObject*, GAsyncResult* result, gpointer data)
{
    auto* o = static_cast<Opening*>(data);
    GError* error = nullptr;
    o->client.reset(e_cal_client_connect_finish(result, &error));
    if (!o->client) {
        o->timedOut = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
        o->error = takeMessage(error);
    }
    o->done = true;
}

} // namespace

Result<CalendarListing, CalendarError> EdsCalendarStore::list(const QDateTime& from, const QDateTime& to)
{
    platform::GDeadline deadline(m_timeout);
    GError* error = nullptr;

    GPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, deadline.cancellable(), &error));
    if (!bus)
        return CalendarError::noSessionBus(takeMessage(error));

    // Without its service the registry is created empty instead of failing, which would read as
    // "no calendars". Starting the service by name tells the two apart.
    GVariant* started = g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "StartServiceByName",
        g_variant_new("(su)", kRegistryService, 0u), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1,
        deadline.cancellable(), &error);
    if (started)
        g_variant_unref(started);
    GPtr<ESourceRegistry> registry(started ? e_source_registry_new_sync(deadline.cancellable(), &error) : nullptr);
    if (!registry)
        return CalendarError::registryUnreachable(takeMessage(error));

    GList* enabled = e_source_registry_list_enabled(registry.get(), E_SOURCE_EXTENSION_CALENDAR);
    QList<ESource*> sources;
    for (GList* l = enabled; l; l = l->next)
        sources.append(E_SOURCE(l->data));
    // A fixed order, so that events with the same start keep the same order from run to run.
    std::stable_sort(sources.begin(), sources.end(), [](ESource* a, ESource* b) {
        const int byName = g_utf8_collate(e_source_get_display_name(a), e_source_get_display_name(b));
        return byName != 0 ? byName < 0 : g_strcmp0(e_source_get_uid(a), e_source_get_uid(b)) < 0;
    });

    CalendarListing listing;
    listing.calendars = int(sources.size());

    // All calendars are opened at once and each gets the same limit: one backend that never
    // answers (a contacts-based birthday calendar without its address book, a dead account)
    // costs that limit once and does not hide the others.
    // libecal finishes parts of an opening in the default main context, so that is the one run here.
    GMainContext* context = g_main_context_default();
    std::vector<Opening> openings(size_t(sources.size()));
    GCancellable* connecting = g_cancellable_new();
    for (qsizetype i = 0; i < sources.size(); ++i) {
        Opening& o = openings[size_t(i)];
        o.source = sources[i];
        // No waiting for "connected": the backends answer from their local copy, and a local
        // calendar would otherwise wait out the whole interval on a machine without a network.
        e_cal_client_connect(o.source, E_CAL_CLIENT_SOURCE_TYPE_EVENTS, 0, connecting, opened, &o);
    }
    const gint64 limit = g_get_monotonic_time() + gint64(m_perCalendar.count()) * 1000;
    const auto pending = [&openings] {
        return std::any_of(openings.begin(), openings.end(), [](const Opening& o) { return !o.done; });
    };
    while (pending() && g_get_monotonic_time() < limit && !deadline.expired())
        if (!g_main_context_iteration(context, FALSE))
            g_usleep(2000); // 2 ms: the replies arrive from D-Bus threads
    g_cancellable_cancel(connecting);
    while (pending()) // the cancelled calls still complete, with an error
        g_main_context_iteration(context, TRUE);
    g_object_unref(connecting);

    ICalTimezone* zone = localZone();
    for (Opening& o : openings) {
        const QString name = text(e_source_get_display_name(o.source));
        if (!o.client) {
            const QString why = o.timedOut ? QStringLiteral("nie odpowiada od %1 s").arg(m_perCalendar.count() / 1000.0)
                                           : o.error;
            listing.unavailable.append({name, QStringLiteral("Nie można otworzyć kalendarza „%1” (%2).").arg(name, why)});
            continue;
        }
        if (to <= from)
            continue; // an empty range has no events; the calendar is still reached and counted
        e_cal_client_set_default_timezone(E_CAL_CLIENT(o.client.get()), zone);
        Collector collector{name, zone, &listing.events};
        e_cal_client_generate_instances_sync(E_CAL_CLIENT(o.client.get()), time_t(from.toSecsSinceEpoch()),
                                             time_t(to.toSecsSinceEpoch()), deadline.cancellable(), collect,
                                             &collector);
    }
    openings.clear();
    g_list_free_full(enabled, g_object_unref);

    if (deadline.expired())
        return CalendarError::timedOut(m_timeout.count() / 1000.0);
    if (!sources.isEmpty() && listing.unavailable.size() == sources.size())
        return CalendarError::noneOpened(listing.unavailable.first().error);
    return listing;
}

} // namespace selvina::calendar

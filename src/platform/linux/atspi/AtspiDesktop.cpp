#include "platform/linux/atspi/AtspiDesktop.h"

#include "core/Trace.h"
#include "platform/linux/SessionType.h"
#include "platform/linux/atspi/AtspiCache.h"
#include "platform/linux/atspi/AtspiElement.h"
#include "platform/linux/gnome/MutterKeyboard.h"
#include "platform/linux/kde/KWinKeyboard.h"
#include "platform/linux/xcb/XcbActiveWindow.h"

#include <dbus/dbus.h>
#include <gio/gio.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace selvina::platform {

using atspi::adopt;
using atspi::Ref;
using atspi::takeString;

namespace {

// The least time between two attempts to reach an accessibility bus that could not be reached.
constexpr auto kInitRetryInterval = std::chrono::seconds(3);

// The element that last told it got the keyboard focus: a sheet's cursor cell, which the sheet
// lists among millions it does not enumerate.
void onChange(const AtspiEvent* event)
{
    if (!event || !event->type)
        return;
    if (event->source && event->detail1 == 1 && std::strcmp(event->type, "object:state-changed:focused") == 0)
        atspi::noteFocused(atspi::adopt(static_cast<AtspiAccessible*>(g_object_ref(event->source))));
    // LibreOffice moves its cell cursor by naming the new cell the table's active descendant.
    if (std::strcmp(event->type, "object:active-descendant-changed") == 0 && G_VALUE_HOLDS(&event->any_data, ATSPI_TYPE_ACCESSIBLE))
        if (auto* cell = static_cast<AtspiAccessible*>(g_value_get_object(&event->any_data)))
            atspi::noteFocused(atspi::adopt(static_cast<AtspiAccessible*>(g_object_ref(cell))));
}

// A ping to the application of `object` that waits in libdbus, not here: pingOutcome() looks whether
// it came back. Null when it could not be sent.
std::shared_ptr<DBusPendingCall> sendPing(AtspiAccessible* object, int timeoutMs)
{
    auto* app = ATSPI_OBJECT(object)->app;
    if (app == nullptr || app->bus == nullptr)
        return nullptr;
    DBusMessage* ping = dbus_message_new_method_call(app->bus_name, "/org/a11y/atspi/accessible/root",
                                                     "org.freedesktop.DBus.Peer", "Ping");
    DBusPendingCall* pending = nullptr;
    if (ping == nullptr || !dbus_connection_send_with_reply(app->bus, ping, &pending, timeoutMs))
        pending = nullptr;
    if (ping)
        dbus_message_unref(ping);
    if (pending == nullptr)
        return nullptr;
    return std::shared_ptr<DBusPendingCall>(pending, [](DBusPendingCall* p) {
        dbus_pending_call_cancel(p);
        dbus_pending_call_unref(p);
    });
}

enum class PingOutcome { waiting, answered, failed };

PingOutcome pingOutcome(DBusPendingCall* ping)
{
    if (!dbus_pending_call_get_completed(ping))
        return PingOutcome::waiting;
    DBusMessage* reply = dbus_pending_call_steal_reply(ping);
    const bool answered = reply && dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
    if (reply)
        dbus_message_unref(reply);
    return answered ? PingOutcome::answered : PingOutcome::failed;
}

// How long the application whose cache question timed out has to answer a ping before it counts
// as hung rather than slow at listing its tree.
constexpr int kCacheProbeTimeoutMs = 10000;

// The window of an application that did not answer the question for its windows: every read of
// it fails the same way, without asking again.
class SilentWindow final : public AXElement {
public:
    Result<AXValue, AXError> attribute(const QString&) override { return AXError::noResponse(); }
    Result<AXAttributes, AXError> batch(const ReadLimits&) override { return AXError::noResponse(); }
    Result<QStringList, AXError> actionNames() override { return AXError::noResponse(); }
    Result<bool, AXError> isSettable(const QString&) override { return AXError::noResponse(); }
    Status<AXError> setAttribute(const QString&, const AXValue&) override { return AXError::noResponse(); }
    Status<AXError> perform(const QString&) override { return AXError::noResponse(); }
};

} // namespace

AtspiDesktop::AtspiDesktop() = default;

AtspiDesktop::~AtspiDesktop() = default;

bool AtspiDesktop::ensureInitialised()
{
    if (m_available)
        return true;
    // At login the accessibility bus may come up after the first question: a failed connection
    // is tried again, at most once per interval.
    const auto now = std::chrono::steady_clock::now();
    if (m_lastAttempt && now - *m_lastAttempt < kInitRetryInterval)
        return false;
    m_lastAttempt = now;
    // atspi_init() returns 0 when it connected, 1 when already initialised, 2 when the
    // accessibility bus is unreachable. libatspi counts itself initialised even when it failed
    // (a later atspi_init() answers 1 without a bus); atspi_exit() clears that, so the next
    // attempt connects afresh.
    // libatspi dispatches its bus connections (the registry's and each application's own) on the
    // default GLib context. The process must not iterate that context on another thread (Qt's
    // main loop does unless QT_NO_GLIB=1, which the application sets): it is iterated here only.
    if (const int outcome = atspi_init(); outcome != 0 && outcome != 1) {
        trace(QStringLiteral("AT-SPI: no accessibility bus (%1), tried again later").arg(outcome));
        atspi_exit();
        return false;
    }
    m_available = true;
    // Listening for changes makes the applications send them and lets libatspi keep its cache
    // of roles, names, states and children current, so a read asks only for what changes
    // without notice (positions, text, values).
    for (const char* type : {"object:state-changed", "object:property-change", "object:children-changed",
                             "object:active-descendant-changed"}) {
        GError* error = nullptr;
        atspi_event_listener_register_no_data(onChange, nullptr, type, &error);
        if (error)
            g_error_free(error);
    }
    atspi_set_timeout(atspi::kCallTimeoutMs, atspi::kCallTimeoutMs);
    return true;
}

void AtspiDesktop::dispatchPending()
{
    for (int i = 0; i < 1000 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
}

bool AtspiDesktop::isTrusted()
{
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (error) {
        g_error_free(error);
        return false;
    }
    auto call = [&](const char* method, GVariant* arguments) {
        GError* e = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(bus, "org.a11y.Bus", "/org/a11y/bus",
                                                      "org.freedesktop.DBus.Properties", method, arguments, nullptr,
                                                      G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, &e);
        if (e)
            g_error_free(e);
        return reply;
    };
    bool enabled = false;
    if (GVariant* reply = call("Get", g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"))) {
        GVariant* inner = nullptr;
        g_variant_get(reply, "(v)", &inner);
        enabled = inner && g_variant_get_boolean(inner);
        if (inner)
            g_variant_unref(inner);
        g_variant_unref(reply);
        if (!enabled) {
            // Switched off for the session: switch it on, as a screen reader does; toolkits that
            // start from now on expose their windows.
            if (GVariant* set = call("Set", g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)))) {
                g_variant_unref(set);
                enabled = true;
            }
        }
    }
    g_object_unref(bus);
    return enabled && ensureInitialised();
}

std::vector<ForegroundCandidate> AtspiDesktop::candidates()
{
    std::vector<ForegroundCandidate> out;
    if (!ensureInitialised())
        return out;
    dispatchPending(); // events that arrived since the last call: registrations, cache updates
    const std::optional<XcbActiveWindow> active = xcbActiveWindow();
    Ref desktop = adopt(atspi_get_desktop(0));
    if (!desktop)
        return out;
    atspi_accessible_clear_cache(desktop.get());
    struct App {
        ForegroundCandidate candidate;
        int rank; // 0 the window manager's active window, 1 an active window, 2 a showing one, 3 none, 4 silent
    };
    std::vector<App> apps;
    const gint count = atspi_accessible_get_child_count(desktop.get(), nullptr);
    for (gint i = 0; i < count; ++i) {
        Ref app = adopt(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
        if (!app)
            continue;
        GError* error = nullptr;
        const qint64 pid = atspi_accessible_get_process_id(app.get(), &error);
        if (error) {
            g_error_free(error);
            continue; // an application that stopped answering
        }
        // An application that did not answer is left alone until its ping comes back: in front
        // when the window manager says it is, else behind every other.
        if (const auto silent = m_silent.constFind(pid); silent != m_silent.cend()) {
            if (pingOutcome(silent->get()) != PingOutcome::answered) {
                const bool front = active && active->pid == pid;
                apps.push_back({{pid, m_names.value(pid), true, false}, front ? 0 : 4});
                continue;
            }
            m_silent.remove(pid);
        }
        int rank = 3;
        const gint windows = atspi_accessible_get_child_count(app.get(), nullptr);
        for (gint w = 0; w < windows && rank > 1; ++w) {
            Ref window = adopt(atspi_accessible_get_child_at_index(app.get(), w, nullptr));
            if (!window)
                continue;
            AtspiStateSet* states = atspi_accessible_get_state_set(window.get());
            if (states) {
                if (atspi_state_set_contains(states, ATSPI_STATE_ACTIVE))
                    rank = 1;
                else if (atspi_state_set_contains(states, ATSPI_STATE_SHOWING))
                    rank = std::min(rank, 2);
                g_object_unref(states);
            }
        }
        if (active && active->pid == pid)
            rank = 0;
        if (rank == 3)
            continue;
        // A name asked of an application that has just stopped answering comes back empty: the
        // one it gave before stands.
        QString name = takeString(atspi_accessible_get_name(app.get(), nullptr));
        if (name.isEmpty())
            name = m_names.value(pid);
        else
            m_names.insert(pid, name);
        apps.push_back({{pid, name, rank <= 1, true}, rank});
    }
    std::stable_sort(apps.begin(), apps.end(), [](const App& a, const App& b) { return a.rank < b.rank; });
    for (auto& a : apps)
        out.push_back(a.candidate);
    return out;
}

AXElementRef AtspiDesktop::window(const ForegroundCandidate& candidate)
{
    if (!ensureInitialised())
        return nullptr;
    Ref desktop = adopt(atspi_get_desktop(0));
    const gint count = desktop ? atspi_accessible_get_child_count(desktop.get(), nullptr) : 0;
    for (gint i = 0; i < count; ++i) {
        Ref app = adopt(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
        if (!app || qint64(atspi_accessible_get_process_id(app.get(), nullptr)) != candidate.pid)
            continue;
        // libatspi's cache is kept current by the application's change events, which candidates()
        // has just dispatched; a read then asks the application only for what is not cached.
        atspi_accessible_set_cache_mask(app.get(), ATSPI_CACHE_DEFAULT);
        Ref active;
        Ref showing;
        Ref first;
        GError* error = nullptr;
        const gint windows = atspi_accessible_get_child_count(app.get(), &error);
        if (error) // whatever libatspi made of it, an application that does not answer a ping is silent
            atspi::errorOf(error);
        for (gint w = 0; w < windows && !active; ++w) {
            Ref window = adopt(atspi_accessible_get_child_at_index(app.get(), w, nullptr));
            if (!window)
                continue;
            if (!first)
                first = window;
            const atspi::States states = atspi::statesOf(atspi_accessible_get_state_set(window.get()));
            if (atspi::hasState(states, ATSPI_STATE_ACTIVE))
                active = window;
            else if (atspi::hasState(states, ATSPI_STATE_SHOWING) && !showing)
                showing = window;
        }
        Ref chosen = active ? active : showing ? showing : first;
        if (chosen)
            return elementFor(std::move(chosen));
        if (!atspi::answers(app.get()))
            return std::make_shared<SilentWindow>();
    }
    return nullptr;
}

// The window from the application's cache where it has one (one call for the whole tree), else
// as a libatspi element read element by element.
AXElementRef AtspiDesktop::elementFor(std::shared_ptr<AtspiAccessible> window)
{
    if (m_reading == Reading::applicationCache) {
        const QByteArray application(ATSPI_OBJECT(window.get())->app->bus_name);
        // The cache question of this application timed out: while the ping sent after it is
        // awaited, the window is read element by element; a ping that comes back tells that the
        // application lives and lists its tree slower than a question may wait (LibreOffice, with
        // every menu of its window in it, which it answers after the walk's questions had to
        // queue behind it): its cache is not asked for again.
        if (const auto probe = m_cacheProbes.constFind(application); probe != m_cacheProbes.cend()) {
            switch (pingOutcome(probe->get())) {
            case PingOutcome::answered:
                trace(QStringLiteral("AT-SPI: %1 answers, but not its cache in time: read element by element").arg(QString::fromUtf8(application)));
                m_withoutCache.insert(application);
                m_cacheProbes.remove(application);
                break;
            case PingOutcome::failed:
                m_cacheProbes.remove(application);
                break;
            case PingOutcome::waiting:
                break;
            }
        }
        if (!m_withoutCache.contains(application) && !m_cacheProbes.contains(application)) {
            atspi::resetSilence();
            const atspi::CachedWindow cached = atspi::readCachedWindow(window);
            if (cached.element)
                return cached.element;
            // A cache that cannot be read costs a third of a read: not tried again. One that timed
            // out is tried again only if the application does not answer the ping sent now either
            // (it was hung for a while, not slow).
            if (cached.outcome != atspi::CachedWindow::Outcome::tree && !atspi::silenceHeard()) {
                trace(QStringLiteral("AT-SPI: %1 has no cache of use (none, or without the window's children): read element by element").arg(QString::fromUtf8(application)));
                m_withoutCache.insert(application);
            }
            else if (cached.outcome != atspi::CachedWindow::Outcome::tree)
                if (auto ping = sendPing(window.get(), kCacheProbeTimeoutMs))
                    m_cacheProbes.insert(application, std::move(ping));
        }
    }
    return std::make_shared<atspi::Element>(std::move(window));
}

} // namespace selvina::platform

namespace selvina::platform {

void AtspiDesktop::noteSilent(qint64 pid)
{
    if (!m_available || m_silent.contains(pid))
        return;
    Ref desktop = adopt(atspi_get_desktop(0));
    const gint count = desktop ? atspi_accessible_get_child_count(desktop.get(), nullptr) : 0;
    for (gint i = 0; i < count; ++i) {
        Ref app = adopt(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
        if (!app || qint64(atspi_accessible_get_process_id(app.get(), nullptr)) != pid)
            continue;
        // The ping waits in libdbus, not here; candidates() looks whether it came back.
        if (auto ping = sendPing(app.get(), DBUS_TIMEOUT_INFINITE))
            m_silent.insert(pid, std::move(ping));
        return;
    }
}

namespace {
// Keys and pointer events are synthesised by the accessibility registry through XTEST, which
// reaches X11 clients only: on Wayland the application would not see them.
bool canSynthesise()
{
    return !waylandSession() && !qEnvironmentVariableIsEmpty("DISPLAY");
}
}

Status<AXError> AtspiDesktop::turnWheel(QPointF at, Wheel wheel, int clicks)
{
    if (!canSynthesise() || !ensureInitialised())
        return AXError::interfaceMissing();
    // X11 buttons 4 to 7 are the wheel: up, down, left, right.
    static const char* const kButtons[] = {"b4c", "b5c", "b6c", "b7c"};
    GError* error = nullptr;
    atspi_generate_mouse_event(glong(at.x()), glong(at.y()), "abs", &error);
    for (int i = 0; i < clicks && !error; ++i)
        atspi_generate_mouse_event(glong(at.x()), glong(at.y()), kButtons[int(wheel)], &error);
    return atspi::statusOf(error);
}

Status<AXError> AtspiDesktop::typeText(const QString& text, Typing typing)
{
    // On Wayland the keys go through the compositor: mutter's remote-desktop interface on GNOME,
    // KWin's fake input on Plasma.
    if (waylandSession()) {
        const bool replacing = typing == Typing::replacingContents;
        if (MutterKeyboard::available())
            return MutterKeyboard::type(text, replacing) ? Status<AXError>(Ok{}) : AXError::failed();
        switch (KWinKeyboard::type(text, replacing)) {
        case KWinKeyboard::Result::typed:
            return Ok{};
        case KWinKeyboard::Result::missingCharacter:
            return AXError::valueRefused();
        case KWinKeyboard::Result::failed:
            return AXError::failed();
        case KWinKeyboard::Result::notOffered:
            break;
        }
    }
    if (!canSynthesise() || !ensureInitialised())
        return AXError::interfaceMissing();
    constexpr guint kControlMask = 1 << 2; // X11's ControlMask
    constexpr glong kReturn = 0xff0d, kBackSpace = 0xff08, kLetterA = 0x61;
    GError* error = nullptr;
    const auto key = [&error](glong code, const char* string, AtspiKeySynthType type) {
        if (!error)
            atspi_generate_keyboard_event(code, string, type, &error);
    };
    if (typing == Typing::replacingContents) {
        key(kControlMask, nullptr, ATSPI_KEY_LOCKMODIFIERS);
        key(kLetterA, nullptr, ATSPI_KEY_SYM);
        key(kControlMask, nullptr, ATSPI_KEY_UNLOCKMODIFIERS);
        if (text.isEmpty())
            key(kBackSpace, nullptr, ATSPI_KEY_SYM);
    }
    // A character the keyboard map lacks is typed through a spare key that the registry maps to it
    // for the moment: the next such character maps the same key anew, so each waits until the
    // application has had time to take the one before.
    const auto spareKeyPause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(150)); };
    QString run;
    const auto flush = [&] {
        if (!run.isEmpty())
            key(0, run.toUtf8().constData(), ATSPI_KEY_STRING);
        run.clear();
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\n')) {
            flush();
            key(kReturn, nullptr, ATSPI_KEY_SYM);
        } else if (c.unicode() >= 0x20 && c.unicode() < 0x7f) {
            run += c;
        } else {
            flush();
            const qsizetype length = c.isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
            spareKeyPause();
            key(0, text.mid(i, length).toUtf8().constData(), ATSPI_KEY_STRING);
            spareKeyPause();
            i += length - 1;
        }
    }
    flush();
    return atspi::statusOf(error);
}

} // namespace selvina::platform

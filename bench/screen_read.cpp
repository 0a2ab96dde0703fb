// read_screen on a real GTK 3 window of about 500 accessible elements under Xvfb: milliseconds per
// read and AT-SPI round trips per element, read element by element with one batch each, from the
// application's cache, and by a naive walk that asks every attribute on its own; then a Qt table of
// 2^31 cells. Round trips are counted at libdbus: every method call made in the process.
#include "DesktopFixture.h"
#include "platform/linux/atspi/AtspiDesktop.h"
#include "tools/ScreenTools.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <dbus/dbus.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <cstdio>

using namespace selvina;

namespace {
std::atomic<long> g_calls{0};
std::mutex g_namesMutex;
std::map<std::string, long> g_names;
void note(DBusMessage* m)
{
    ++g_calls;
    if (qEnvironmentVariableIsSet("SELVINA_BENCH_CALLS")) {
        std::lock_guard lock(g_namesMutex);
        const char* i = dbus_message_get_interface(m);
        const char* n = dbus_message_get_member(m);
        std::string key = std::string(i ? i : "?") + "." + (n ? n : "?");
        if (std::string(n ? n : "") == "Get" && dbus_message_has_signature(m, "ss")) {
            const char *a = nullptr, *b = nullptr;
            if (dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &a, DBUS_TYPE_STRING, &b, DBUS_TYPE_INVALID))
                key += std::string(" ") + b;
        }
        ++g_names[key];
    }
}
}

// Every D-Bus method call goes through one of these two; the blocking one calls the other inside
// libdbus, which must not count the call a second time.
thread_local bool t_blocking = false;

extern "C" dbus_bool_t dbus_connection_send_with_reply(DBusConnection* c, DBusMessage* m, DBusPendingCall** p, int t)
{
    static auto real = reinterpret_cast<dbus_bool_t (*)(DBusConnection*, DBusMessage*, DBusPendingCall**, int)>(
        dlsym(RTLD_NEXT, "dbus_connection_send_with_reply"));
    if (!t_blocking)
        note(m);
    return real(c, m, p, t);
}

extern "C" DBusMessage* dbus_connection_send_with_reply_and_block(DBusConnection* c, DBusMessage* m, int t, DBusError* e)
{
    static auto real = reinterpret_cast<DBusMessage* (*)(DBusConnection*, DBusMessage*, int, DBusError*)>(
        dlsym(RTLD_NEXT, "dbus_connection_send_with_reply_and_block"));
    note(m);
    t_blocking = true;
    DBusMessage* reply = real(c, m, t, e);
    t_blocking = false;
    return reply;
}

namespace {

using platform::AXAttributes;
using platform::AXElementRef;

std::atomic<long> g_elements{0};

// Counts the elements a walk reads; in naive mode it reads each attribute with its own question.
class Probe final : public platform::AXElement {
public:
    Probe(AXElementRef inner, bool naive) : m_inner(std::move(inner)), m_naive(naive) {}
    Result<AXAttributes, platform::AXError> batch(const platform::ReadLimits& limits) override
    {
        ++g_elements;
        if (!m_naive) {
            auto a = m_inner->batch(limits);
            if (!a.ok())
                return a.error();
            return wrap(std::move(a.value()));
        }
        AXAttributes a;
        const auto text = [&](const char* n) { return attributeAs<QString>(n); };
        const auto flag = [&](const char* n) { return attributeAs<bool>(n); };
        a.role = text("AXRole");
        if (!a.role)
            return platform::AXError::elementGone();
        a.subrole = text("AXSubrole");
        a.title = text("AXTitle");
        a.describedBy = text("AXDescription");
        a.placeholder = text("AXPlaceholderValue");
        if (const auto v = m_inner->attribute(QStringLiteral("AXValue")); v.ok())
            a.rawValue = v.value();
        a.enabled = flag("AXEnabled");
        a.focused = flag("AXFocused");
        a.selected = flag("AXSelected");
        const auto pos = m_inner->attribute(QStringLiteral("AXPosition"));
        const auto size = m_inner->attribute(QStringLiteral("AXSize"));
        if (pos.ok() && size.ok() && std::holds_alternative<QPointF>(pos.value()) && std::holds_alternative<QSizeF>(size.value()))
            a.frame = QRectF(std::get<QPointF>(pos.value()), std::get<QSizeF>(size.value()));
        if (const auto c = m_inner->attribute(QStringLiteral("AXChildren")); c.ok())
            if (const auto* list = std::get_if<std::vector<AXElementRef>>(&c.value()))
                a.children.assign(list->begin(), list->begin() + std::min<std::ptrdiff_t>(list->size(), limits.children));
        return wrap(std::move(a));
    }
    Result<platform::AXValue, platform::AXError> attribute(const QString& n) override { return m_inner->attribute(n); }
    // One attribute asked on its own, as a naive walk does; none when absent or of another type.
    template <typename T>
    std::optional<T> attributeAs(const char* name)
    {
        const auto v = m_inner->attribute(QString::fromLatin1(name));
        if (v.ok())
            if (const T* value = std::get_if<T>(&v.value()))
                return *value;
        return std::nullopt;
    }
    Result<QStringList, platform::AXError> actionNames() override { return m_inner->actionNames(); }
    Result<bool, platform::AXError> isSettable(const QString& n) override { return m_inner->isSettable(n); }
    Status<platform::AXError> setAttribute(const QString& n, const platform::AXValue& v) override { return m_inner->setAttribute(n, v); }
    Status<platform::AXError> perform(const QString& a) override { return m_inner->perform(a); }

private:
    AXAttributes wrap(AXAttributes a)
    {
        for (auto& child : a.children)
            child = std::make_shared<Probe>(child, m_naive);
        return a;
    }
    AXElementRef m_inner;
    bool m_naive;
};

// How a measured read goes: the walk with its batch read per element, the application's cache
// with the rest asked per element, or the naive walk.
enum class Way { batched, cached, naive };

class ProbeDesktop final : public platform::AccessibilityDesktop {
public:
    bool isTrusted() override { return m_real.isTrusted(); }
    std::vector<platform::ForegroundCandidate> candidates() override { return m_real.candidates(); }
    Status<platform::AXError> typeText(const QString& t, Typing typing) override { return m_real.typeText(t, typing); }
    Status<platform::AXError> turnWheel(QPointF at, Wheel w, int clicks) override { return m_real.turnWheel(at, w, clicks); }
    void noteSilent(qint64 pid) override { m_real.noteSilent(pid); }
    AXElementRef window(const platform::ForegroundCandidate& c) override
    {
        m_real.setReading(way == Way::cached ? platform::AtspiDesktop::Reading::applicationCache
                                             : platform::AtspiDesktop::Reading::elementByElement);
        AXElementRef w = m_real.window(c);
        return w ? std::make_shared<Probe>(w, way == Way::naive) : nullptr;
    }
    Way way = Way::batched;

private:
    platform::AtspiDesktop m_real;
};

struct Figures {
    std::vector<double> ms;
    double callsPerElement = 0;
    long elements = 0;
    int kept = 0;
    double median() const { return ms[ms.size() / 2]; }
};

Figures measure(tools::AccessibilityAccess& access, ProbeDesktop& desktop, Way way, int rounds)
{
    Figures f;
    long calls = 0;
    long elements = 0;
    for (int i = 0; i < rounds; ++i) {
        auto future = access.worker().run([&access, &desktop, way] {
            desktop.way = way;
            const long c0 = g_calls, e0 = g_elements;
            QElapsedTimer t;
            t.start();
            const auto s = access.tree().snapshotFrontmostWindow(tools::ReadFilter::all);
            return std::make_tuple(double(t.nsecsElapsed()) / 1e6, g_calls - c0, g_elements - e0,
                                   s.ok() ? s.value().elementCount : -1);
        });
        future.waitForFinished();
        const auto [ms, c, e, kept] = future.result();
        f.ms.push_back(ms);
        calls += c;
        elements += e;
        f.kept = kept;
    }
    f.elements = elements / rounds;
    f.callsPerElement = elements ? double(calls) / double(elements) : 0;
    std::sort(f.ms.begin(), f.ms.end());
    return f;
}

void print(const char* what, const Figures& f)
{
    const double p95 = f.ms[std::min(f.ms.size() - 1, std::size_t(double(f.ms.size()) * 0.95))];
    std::printf("%-10s read: median %7.1f ms  p95 %7.1f ms  | %ld elements walked, %d kept | %.2f round trips per element\n",
                what, f.median(), p95, f.elements, f.kept, f.callsPerElement);
}

void printCalls(const char* what, int rounds)
{
    if (!qEnvironmentVariableIsSet("SELVINA_BENCH_CALLS"))
        return;
    std::printf("%s, calls per read:\n", what);
    for (const auto& [name, count] : g_names)
        std::printf("  %-60s %ld\n", name.c_str(), count / rounds);
    g_names.clear();
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_NO_GLIB", "1"); // as in the application: the accessibility worker owns GLib's default context
    QCoreApplication app(argc, argv);
    selvina::testing::Desktop desktop;
    if (!desktop.ok() || !desktop.startApp(QStringLiteral("/usr/bin/python3"), {QStringLiteral(SELVINA_GTK_WINDOW),
                                                                                QStringLiteral("--many"), QStringLiteral("460")})) {
        std::fputs("bench_screen_read: no desktop or no test window\n", stderr);
        return 1;
    }
    auto probe = std::make_unique<ProbeDesktop>();
    ProbeDesktop& probeRef = *probe;
    tools::ElementRegistry registry;
    tools::AccessibilityAccess access(std::move(probe), registry, QCoreApplication::applicationPid());
    // Wait until the window is on the bus and has built its accessible objects.
    for (int i = 0; i < 100; ++i) {
        auto f = access.worker().run([&access] { return access.tree().snapshotFrontmostWindow(tools::ReadFilter::all); });
        f.waitForFinished();
        if (f.result().ok() && f.result().value().elementCount > 200)
            break;
        QThread::msleep(200);
    }
    // Interleaved rounds, so that a machine busy with something else weighs on every way alike.
    constexpr int kRounds = 20;
    Figures batched, cached, naive;
    for (int round = 0; round < kRounds; ++round) {
        for (Way way : {Way::batched, Way::cached, Way::naive}) {
            if (way == Way::naive && round % 4 != 0)
                continue; // the naive walk takes its whole budget: five rounds of it are enough
            Figures& into = way == Way::batched ? batched : way == Way::cached ? cached : naive;
            const Figures one = measure(access, probeRef, way, 1);
            into.ms.push_back(one.ms.front());
            into.callsPerElement += one.callsPerElement;
            into.elements += one.elements;
            into.kept = one.kept;
        }
    }
    for (Figures* f : {&batched, &cached, &naive}) {
        const double n = double(f->ms.size());
        f->callsPerElement /= n;
        f->elements = long(double(f->elements) / n);
        std::sort(f->ms.begin(), f->ms.end());
    }
    g_names.clear();
    measure(access, probeRef, Way::batched, 1);
    printCalls("batched", 1);
    measure(access, probeRef, Way::cached, 1);
    printCalls("cached", 1);
    print("batched", batched);
    print("cached", cached);
    print("naive", naive);
    std::printf("naive / batched: %.1fx the time, %.1fx the round trips per element\n", naive.median() / batched.median(),
                batched.callsPerElement > 0 ? naive.callsPerElement / batched.callsPerElement : 0);
    std::printf("naive / cached:  %.1fx the time, %.1fx the round trips per element\n", naive.median() / cached.median(),
                cached.callsPerElement > 0 ? naive.callsPerElement / cached.callsPerElement : 0);
    std::printf("batched / cached: %.1fx the time\n", batched.median() / cached.median());

    // A Qt table of 2^31 cells that it manages: only what it shows is read.
    if (!desktop.startApp(QStringLiteral(SELVINA_QT_WINDOW), {QStringLiteral("--huge")})) {
        std::fputs("bench_screen_read: no Qt window\n", stderr);
        return 1;
    }
    for (int i = 0; i < 100; ++i) {
        auto f = access.worker().run([&access] { return access.tree().snapshotFrontmostWindow(tools::ReadFilter::all); });
        f.waitForFinished();
        if (f.result().ok() && f.result().value().text.contains(QStringLiteral("„Arkusz”")))
            break;
        QThread::msleep(200);
    }
    print("2^31 table", measure(access, probeRef, Way::batched, 10));
    return 0;
}

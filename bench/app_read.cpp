// read_screen on the applications blind users work in, under Xvfb with a window manager: a Firefox
// page served on loopback and a new LibreOffice Calc sheet (target: each ≤ 300 ms median, the
// document before the window's chrome), then GNOME Calculator (GTK 4) and FeatherPad (Qt 5).
// Milliseconds per read (median, p95), elements listed, the first line listed.
#include "BareXDisplay.h"
#include "DesktopFixture.h"
#include "LoopbackHttp.h"
#include "RealApplications.h"
#include "platform/linux/atspi/AtspiDesktop.h"
#include "tools/ScreenTools.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>

using namespace selvina;
using namespace selvina::testing;

namespace {

constexpr int kRounds = 20;

tools::Snapshot readOnce(tools::AccessibilityAccess& access)
{
    auto f = access.worker().run([&access] { return access.tree().snapshotFrontmostWindow(tools::ReadFilter::all); });
    while (!f.isFinished())
        waitFor([&] { return f.isFinished(); }, std::chrono::milliseconds(5000)); // the loopback server serves meanwhile
    return f.result().ok() ? f.result().value() : tools::Snapshot{};
}

// Reads until `ready` holds (the page loaded, the sheet built), then measures.
void measure(const char* what, tools::AccessibilityAccess& access, const std::function<bool(const QString&)>& ready)
{
    if (!waitFor([&] { return ready(readOnce(access).text); }, std::chrono::seconds(90))) {
        std::printf("%-22s not ready: %s\n", what, qPrintable(readOnce(access).text.left(300)));
        return;
    }
    settle(std::chrono::milliseconds(1000)); // let the application finish what it does after loading
    std::vector<double> ms;
    tools::Snapshot last;
    for (int i = 0; i < kRounds; ++i) {
        QElapsedTimer t;
        t.start();
        last = readOnce(access);
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    const QString first = last.text.section('\n', 2, 2);
    std::printf("%-22s read: median %6.1f ms  p95 %6.1f ms | %d elements | first line: %s\n", what, ms[ms.size() / 2],
                ms[std::min(ms.size() - 1, std::size_t(double(ms.size()) * 0.95))], last.elementCount,
                qPrintable(first.left(70)));
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_NO_GLIB", "1"); // as in the application: the accessibility worker owns GLib's default context
    QCoreApplication app(argc, argv);
    // Names given on the command line (firefox, calc, calculator, featherpad) pick those applications.
    const QStringList chosen = app.arguments().mid(1);
    const auto wanted = [&chosen](const char* name) { return chosen.isEmpty() || chosen.contains(QLatin1String(name)); };
    Desktop desktop;
    pid_t windowManager = spawn({"openbox", "--sm-disable"});
    if (!desktop.ok()) {
        std::fputs("bench_app_read: no desktop\n", stderr);
        return 1;
    }
    tools::ElementRegistry registry;
    tools::AccessibilityAccess access(std::make_unique<platform::AtspiDesktop>(), registry, QCoreApplication::applicationPid());
    if (wanted("firefox")) {
        LoopbackHttp server;
        server.routes.insert("/", LoopbackHttp::reply(200, "text/html; charset=utf-8", kPage));
        QTemporaryDir home;
        const auto firefox = startFirefox(home, server.url(QStringLiteral("/")).toString());
        if (firefox->started())
            measure("Firefox page", access, [](const QString& t) { return t.contains("„Wyślij”") && t.contains("] karta „Sklep"); });
        else
            std::puts("Firefox page           firefox-esr is not installed (scripts/setup)");
    }
    if (wanted("calc")) {
        QTemporaryDir home;
        const auto calc = startCalc(home);
        if (calc->started())
            measure("LibreOffice Calc sheet", access, [](const QString& t) { return t.contains("] komórka „B2”"); });
        else
            std::puts("LibreOffice Calc sheet soffice is not installed (scripts/setup)");
    }
    if (wanted("calculator")) {
        QTemporaryDir home;
        if (const auto calculator = startCalculator(home); calculator->started())
            measure("GNOME Calculator", access, [](const QString& t) { return t.contains("] przycisk „=”"); });
    }
    if (wanted("featherpad")) {
        QTemporaryDir home;
        if (const auto editor = startFeatherPad(home, writeFile(home.filePath("notatka.txt"), "")); editor->started())
            measure("FeatherPad", access, [](const QString& t) { return t.contains("] obszar tekstu"); });
    }
    endChild(windowManager);
    return 0;
}

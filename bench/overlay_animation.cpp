// The mark speaking for 10 s on Xvfb with openbox, drawn by Qt's software renderer, its level fed
// by the preview simulator: the CPU share of this process (one core = 100 %) and the frames per
// second the mark reached, on a 4K screen (the largest mark) and on a 1080p one.
#include "BareXDisplay.h"

#include "core/Clock.h"
#include "overlay/OverlayController.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <sys/resource.h>

using namespace selvina;

namespace {

constexpr auto kRun = std::chrono::seconds(10);

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class PaintCounter : public QObject {
public:
    int frames = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++frames;
        return false;
    }
};

int measure(const char* screen)
{
    testing::BareXDisplay display(screen);
    if (!display.ok()) {
        std::fprintf(stderr, "no X display (Xvfb, openbox)\n");
        return 1;
    }
    int argc = 1;
    char name[] = "bench_overlay";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    SystemClock clock;
    SessionModel session;
    overlay::OverlayController overlay(session, clock, overlay::OverlayWindowSystem::forThisDisplay());
    overlay::AudioLevelSimulator simulator(clock, [&session](double level) { session.setAudioLevel(level); });
    overlay.show();
    session.setState(SessionState::speaking);
    simulator.start();
    PaintCounter counter;
    for (QWidget* w : overlay.windows())
        w->installEventFilter(&counter);

    // The first second settles the windows; then 10 s are measured.
    double cpuStart = 0;
    int framesStart = 0;
    QElapsedTimer wall;
    QTimer::singleShot(1000, &app, [&] {
        cpuStart = cpuSeconds();
        framesStart = counter.frames;
        wall.start();
        QTimer::singleShot(kRun, &app, &QCoreApplication::quit);
    });
    app.exec();
    const double seconds = double(wall.elapsed()) / 1000.0;
    const QSize mark = overlay.windows().isEmpty() ? QSize() : overlay.windows().front()->size();
    std::printf("overlay speaking %s (mark window %dx%d), %.1f s: CPU %.2f %% of one core, %.1f frames/s\n", screen,
                mark.width(), mark.height(), seconds, 100.0 * (cpuSeconds() - cpuStart) / seconds,
                double(counter.frames - framesStart) / seconds);
    overlay.hide();
    return 0;
}

} // namespace

int main()
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    // A child process per display: a QApplication stays with the display it opened.
    int failed = 0;
    for (const char* screen : {"3840x2160x24", "1920x1080x24"}) {
        std::fflush(stdout);
        const pid_t child = ::fork();
        if (child == 0)
        {
            const int code = measure(screen);
            std::fflush(stdout); // _exit skips the buffers
            ::_exit(code);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        failed |= !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    return failed;
}

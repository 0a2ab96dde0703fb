// Screen capture of a 1920×1080 and a 3840×2160 Xvfb screen with a busy picture on it: the median
// of capture + scale + encode through ScreenCapture as the tools call it, the split between the
// grab and the encoding, and the share of the time the main thread spends working meanwhile
// (CPU time of the main thread over wall time; the target is 0).
#include "capture/ScreenCapture.h"
#include "platform/linux/xcb/XcbScreenCapture.h"

#include "BareXDisplay.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QPainter>

#include <qcoro/qcorotask.h>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

using namespace selvina;

namespace {

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Text, gradients and boxes: a picture JPEG cannot shrink to nothing.
QImage busyPicture(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient g(0, 0, size.width(), size.height());
    g.setColorAt(0, QColor(30, 60, 120));
    g.setColorAt(1, QColor(240, 220, 190));
    p.fillRect(image.rect(), g);
    for (int y = 0; y < size.height(); y += 40)
        for (int x = 0; x < size.width(); x += 220) {
            p.fillRect(x + 4, y + 4, 200, 30, QColor((x * 7) % 255, (y * 3) % 255, (x + y) % 255));
            p.setPen(Qt::black);
            p.drawText(x + 10, y + 26, QStringLiteral("Wiersz %1, kolumna %2 — zażółć").arg(y / 40).arg(x / 220));
        }
    return image;
}

void paintRoot(const QString& display, const QImage& image)
{
    xcb_connection_t* c = xcb_connect(display.toUtf8().constData(), nullptr);
    xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    // The picture becomes the root's background, kept after this client leaves: drawn on the root
    // window itself it would not survive the next exposure.
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, s->root_depth, pixmap, s->root, uint16_t(image.width()), uint16_t(image.height()));
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, pixmap, 0, nullptr);
    // Small requests: a server without BIG-REQUESTS takes at most 256 KB in one.
    for (int y = 0; y < image.height(); y += 8) {
        const int rows = std::min(8, image.height() - y);
        xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, uint16_t(image.width()), uint16_t(rows), 0, int16_t(y), 0,
                      24, uint32_t(image.bytesPerLine() * rows), image.constScanLine(y));
    }
    xcb_change_window_attributes(c, s->root, XCB_CW_BACK_PIXMAP, &pixmap);
    xcb_clear_area(c, 0, s->root, 0, 0, 0, 0);
    xcb_set_close_down_mode(c, XCB_CLOSE_DOWN_RETAIN_PERMANENT);
    // A round trip: every image above has been drawn.
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    xcb_disconnect(c);
}

QCoro::Task<bool> captureOnce(capture::ScreenCapture& capture, capture::CapturedImage& out)
{
    auto result = co_await capture.capture(capture::ScreenCaptureScope::fullScreen());
    if (!result) {
        std::printf("capture failed: %s\n", qPrintable(result.error().description()));
        co_return false;
    }
    out = result.value();
    co_return true;
}

void measure(QSize size, int runs)
{
    const testing::XServer x(QStringLiteral("%1x%2x24").arg(size.width()).arg(size.height()).toLatin1().constData());
    const QString display = QString::fromStdString(":" + x.number());
    paintRoot(display, busyPicture(size));

    capture::ScreenCapture capture(std::make_unique<platform::XcbScreenCapture>(QCoreApplication::applicationPid(),
                                                                                display.toUtf8()));
    std::vector<double> totals, mainShares;
    capture::CapturedImage image;
    for (int i = 0; i < runs + 1; ++i) {
        QElapsedTimer wall;
        wall.start();
        const double cpu0 = threadCpuMs();
        bool ok = false;
        // The main thread sleeps in its event loop as it does in the application.
        QEventLoop loop;
        auto task = captureOnce(capture, image).then([&](bool r) {
            ok = r;
            loop.quit();
        });
        loop.exec();
        const double ms = wall.nsecsElapsed() / 1e6;
        if (!ok) {
            std::printf("capture failed on %s\n", qPrintable(display));
            break;
        }
        if (i == 0)
            continue; // the first opens the connection
        totals.push_back(ms);
        // The main thread's own CPU time includes the event loop's idle wake-ups.
        mainShares.push_back((threadCpuMs() - cpu0) / ms);
    }

    // The same steps by hand on this thread: the grab, then scaling and encoding.
    platform::XcbScreenCapture provider(QCoreApplication::applicationPid(), display.toUtf8());
    std::vector<double> grabs, encodes;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        auto grabbed = provider.captureDisplay({0, QRect(QPoint(0, 0), size)}, size);
        grabs.push_back(t.nsecsElapsed() / 1e6);
        t.restart();
        auto encoded = capture::encodeCapture(grabbed.value());
        encodes.push_back(t.nsecsElapsed() / 1e6);
    }
    // SELVINA_BENCH_SAVE=<folder>: the last picture of each size, to look at.
    if (const QString folder = qEnvironmentVariable("SELVINA_BENCH_SAVE"); !folder.isEmpty()) {
        QFile file(folder + QStringLiteral("/capture-%1x%2.jpg").arg(size.width()).arg(size.height()));
        if (file.open(QIODevice::WriteOnly))
            file.write(image.jpegData);
    }
    if (totals.empty())
        return;
    std::printf("%dx%d: capture+scale+encode median %.1f ms (grab %.1f ms, scale+encode %.1f ms), %dx%d JPEG %lld KB, "
                "main thread busy %.1f %% of the time\n",
                size.width(), size.height(), median(totals), median(grabs), median(encodes), image.pixelWidth,
                image.pixelHeight, qint64(image.jpegData.size() / 1024), 100 * median(mainShares));
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int runs = qEnvironmentVariableIntValue("SELVINA_BENCH_RUNS") > 0 ? qEnvironmentVariableIntValue("SELVINA_BENCH_RUNS") : 15;
    measure({1920, 1080}, runs);
    measure({3840, 2160}, runs);
    return 0;
}

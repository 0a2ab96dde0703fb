// KDE's compositor, KWin, on a virtual output with Xwayland, for the tests of the KDE Plasma Wayland
// session: started on the caller's session bus (its global-shortcuts service, kglobalaccel, lives
// inside KWin), with the bus's activation environment pointed at it so that the desktop portal and
// KDE's portal backend start for this compositor.
// Debian marks /usr/bin/kwin_wayland with a file capability (cap_sys_resource); where the container's
// bounding set lacks it, exec fails with EPERM. Run through the dynamic loader, the program starts
// without the capability (it only raises a limit); KWin then needs KWIN_FORCE_OWN_QPA, because it
// picks its own Qt platform plug-in by the program's path.
// Thread: the test's main thread.
#pragma once

#include "Processes.h"
#include "TestSupport.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QDir>
#include <QImage>
#include <QFile>
#include <QProcess>
#include <QSize>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

namespace selvina::testing {

class KWinSession {
public:
    // Empty when everything is installed; else what is missing (scripts/setup installs it).
    static QString missing()
    {
        for (const char* path : {"/usr/bin/kwin_wayland", "/usr/libexec/xdg-desktop-portal",
                                 "/usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde", "/usr/bin/Xwayland"})
            if (!QFile::exists(QString::fromLatin1(path)))
                return QString::fromLatin1(path);
        return {};
    }

    // `environment`: the session's (its bus, HOME, XDG_CONFIG_HOME, XDG_DATA_DIRS with the desktop
    // files of the programs KWin lets use its restricted protocols …); `runtimeDir` holds the sockets.
    KWinSession(QProcessEnvironment environment, const QString& runtimeDir, QSize size = {1280, 800})
    {
        m_socket = QStringLiteral("wayland-selvina-%1").arg(QCoreApplication::applicationPid());
        // KWin starts its arguments once Wayland and Xwayland are up: this one says where they are.
        const QString announce = QDir(runtimeDir).filePath(QStringLiteral("kwin-started.sh"));
        m_announced = QDir(runtimeDir).filePath(QStringLiteral("kwin-displays"));
        writeExecutable(announce, QStringLiteral("#!/bin/sh\necho \"$DISPLAY\" > '%1.new' && mv '%1.new' '%1'\nexec sleep 100000\n")
                                      .arg(m_announced)
                                      .toUtf8());
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
        environment.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("KDE"));
        environment.insert(QStringLiteral("KWIN_FORCE_OWN_QPA"), QStringLiteral("1"));
        // Screenshots are admitted (the test's and the portal's); a restricted Wayland protocol is
        // not: a client gets it only when its desktop file names it, as on a user's desktop.
        environment.insert(QStringLiteral("KWIN_SCREENSHOT_NO_PERMISSION_CHECKS"), QStringLiteral("1"));
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        m_kwin.setProcessEnvironment(environment);
        m_kwin.setProcessChannelMode(QProcess::MergedChannels);
        m_kwin.start(QStringLiteral("/lib64/ld-linux-x86-64.so.2"),
                     {QStringLiteral("/usr/bin/kwin_wayland"), QStringLiteral("--virtual"), QStringLiteral("--xwayland"),
                      QStringLiteral("--no-lockscreen"), QStringLiteral("--no-kactivities"), QStringLiteral("--width"),
                      QString::number(size.width()), QStringLiteral("--height"), QString::number(size.height()),
                      QStringLiteral("--socket"), m_socket, announce});
        if (!m_kwin.waitForStarted(10000))
            return;
        waitFor([&] { return QFile::exists(m_announced) || m_kwin.state() == QProcess::NotRunning; }, std::chrono::seconds(60));
        m_display = QString::fromUtf8(readFile(m_announced)).trimmed();
        if (m_display.isEmpty())
            return;
        // The portals are started by the bus, with the bus's environment.
        QProcess update;
        update.setProcessEnvironment(environment);
        update.start(QStringLiteral("dbus-update-activation-environment"),
                     {QStringLiteral("WAYLAND_DISPLAY=") + m_socket, QStringLiteral("DISPLAY=") + m_display,
                      QStringLiteral("XDG_CURRENT_DESKTOP=KDE"), QStringLiteral("XDG_SESSION_TYPE=wayland"),
                      QStringLiteral("XDG_RUNTIME_DIR=") + runtimeDir, QStringLiteral("HOME=") + environment.value("HOME"),
                      QStringLiteral("XDG_CONFIG_HOME=") + environment.value("XDG_CONFIG_HOME")});
        m_ok = update.waitForFinished(10000) && update.exitCode() == 0;
    }
    ~KWinSession()
    {
        m_kwin.terminate();
        if (!m_kwin.waitForFinished(10000))
            stopProcess(m_kwin);
    }
    KWinSession(const KWinSession&) = delete;
    KWinSession& operator=(const KWinSession&) = delete;

    bool ok() const { return m_ok; }
    const QString& waylandDisplay() const { return m_socket; } // under XDG_RUNTIME_DIR
    const QString& xDisplay() const { return m_display; }      // Xwayland's
    QByteArray output() { return m_kwin.readAll(); }

    // What the output shows, through KWin's own screenshot interface on `bus`; null on failure.
    static QImage capture(QDBusConnection& bus)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            return {};
        QDBusPendingCall pending = [&] {
            // The message holds a copy of the write end: it must be gone before the end of the data
            // can be seen.
            QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.kde.KWin"), QStringLiteral("/org/kde/KWin/ScreenShot2"),
                                                               QStringLiteral("org.kde.KWin.ScreenShot2"),
                                                               QStringLiteral("CaptureActiveScreen"));
            call << QVariantMap() << QVariant::fromValue(QDBusUnixFileDescriptor(fds[1]));
            return bus.asyncCall(call, 10000);
        }();
        ::close(fds[1]);
        // KWin writes the pixels while, or after, it answers: read as they come, until the reply's
        // size is there (the pipe's end is not always closed at once).
        QByteArray data;
        QVariantMap info;
        const auto expected = [&] {
            return qsizetype(info.value(QStringLiteral("stride")).toInt()) * info.value(QStringLiteral("height")).toInt();
        };
        const bool read = waitFor([&] {
            char chunk[65536];
            ssize_t n;
            while ((n = ::read(fds[0], chunk, sizeof chunk)) > 0)
                data.append(chunk, n);
            if (!pending.isFinished() || pending.isError())
                return pending.isFinished();
            if (info.isEmpty())
                pending.reply().arguments().value(0).value<QDBusArgument>() >> info;
            return expected() > 0 && data.size() >= expected();
        }, std::chrono::seconds(15));
        ::close(fds[0]);
        const int width = info.value(QStringLiteral("width")).toInt(), height = info.value(QStringLiteral("height")).toInt();
        const int stride = info.value(QStringLiteral("stride")).toInt();
        const auto format = QImage::Format(info.value(QStringLiteral("format")).toInt());
        if (!read || width <= 0 || height <= 0 || data.size() < expected())
            return {};
        return QImage(reinterpret_cast<const uchar*>(data.constData()), width, height, stride, format).copy();
    }

private:
    QProcess m_kwin;
    QString m_socket;
    QString m_announced;
    QString m_display;
    bool m_ok = false;
};

} // namespace selvina::testing

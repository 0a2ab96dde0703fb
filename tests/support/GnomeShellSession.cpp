#include "GnomeShellSession.h"

#include "Processes.h"
#include "TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <csignal>
#include <unistd.h>

namespace selvina::testing {

namespace {

// A system bus that lets every peer own and call anything: the shell asks it only for services
// that are absent here (login manager, accounts, network), and copes with their absence.
constexpr char kSystemBusConfig[] = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

const QString kRemoteDesktop = QStringLiteral("org.gnome.Mutter.RemoteDesktop");

QDBusMessage call(const QString& bus, const QString& service, const QString& path, const QString& interface,
                  const QString& method, const QVariantList& arguments = {})
{
    QDBusConnection connection = QDBusConnection::connectToBus(bus, QStringLiteral("gnome-shell-session"));
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return connection.call(message, QDBus::Block, 10000);
}

// Everything the session started that outlives the shell (Xwayland, the services its bus
// activated): each carries our private runtime folder in its environment. Left running, they would
// hold the test's output open.
void endLeftovers(const QByteArray& runtimeVariable)
{
    QList<pid_t> ours;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = pid_t(entry.toInt(&number));
        if (!number || pid == ::getpid())
            continue;
        if (readFile(QStringLiteral("/proc/%1/environ").arg(pid)).split('\0').contains(runtimeVariable))
            ours << pid;
    }
    for (pid_t pid : ours)
        ::kill(pid, SIGTERM);
    waitFor([&] { return std::none_of(ours.cbegin(), ours.cend(), [](pid_t p) { return ::kill(p, 0) == 0; }); },
            std::chrono::seconds(3));
    for (pid_t pid : ours)
        ::kill(pid, SIGKILL);
}

} // namespace

GnomeShellSession::GnomeShellSession()
{
    // This process talks to Xwayland (the screen tools ask it for X11's active window), which goes
    // with the shell: a write to its closed socket must fail, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    const QString runtime = m_dir.filePath(QStringLiteral("run"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString config = writeFile(m_dir.filePath(QStringLiteral("system-bus.conf")),
                                     QString::fromLatin1(kSystemBusConfig).arg(m_dir.path()).toUtf8());
    m_systemBus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                                                      QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    waitFor([&] { return m_systemBus.canReadLine() || m_systemBus.state() == QProcess::NotRunning; },
            std::chrono::milliseconds(10000));
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_systemBus.readLine().trimmed());
    qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
    qputenv("XDG_CURRENT_DESKTOP", "GNOME");
    qputenv("XDG_SESSION_TYPE", "wayland");
    qputenv("GTK_A11Y", "atspi");
    qunsetenv("GSETTINGS_BACKEND"); // dconf: the shell, the settings daemon and the tests share it
    qunsetenv("DISPLAY");
    qunsetenv("WAYLAND_DISPLAY");
}

GnomeShellSession::~GnomeShellSession()
{
    if (!m_remoteSession.isEmpty())
        call(m_sessionBus, kRemoteDesktop, m_remoteSession, kRemoteDesktop + QStringLiteral(".Session"), QStringLiteral("Stop"));
    QDBusConnection::disconnectFromBus(QStringLiteral("gnome-shell-session"));
    for (QProcess* p : {&m_mediaKeys, &m_shell}) {
        if (p->state() != QProcess::NotRunning) {
            p->terminate();
            if (!p->waitForFinished(5000))
                stopProcess(*p);
        }
    }
    endLeftovers("XDG_RUNTIME_DIR=" + m_dir.filePath(QStringLiteral("run")).toUtf8());
    m_systemBus.terminate();
    if (!m_systemBus.waitForFinished(5000))
        stopProcess(m_systemBus);
}

bool GnomeShellSession::gsettings(const QStringList& arguments)
{
    return QProcess::execute(QStringLiteral("gsettings"), arguments) == 0;
}

bool GnomeShellSession::start(const QString& sessionBus, const QStringList& extensions, QString* why)
{
    m_sessionBus = sessionBus;
    qputenv("DBUS_SESSION_BUS_ADDRESS", sessionBus.toUtf8());
    if (qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS")) {
        *why = QStringLiteral("the private system bus did not start");
        return false;
    }
    QStringList quoted;
    for (const QString& e : extensions)
        quoted << QLatin1Char('\'') + e + QLatin1Char('\'');
    if (!gsettings({"set", "org.gnome.shell", "enabled-extensions", QLatin1Char('[') + quoted.join(',') + QLatin1Char(']')})
        || !gsettings({"set", "org.gnome.shell", "disable-user-extensions", "false"})) {
        *why = QStringLiteral("gsettings could not write the shell's settings (dconf)");
        return false;
    }
    QObject::connect(&m_shell, &QProcess::readyReadStandardOutput, [this] { m_log += m_shell.readAllStandardOutput(); });
    m_shell.setProcessChannelMode(QProcess::MergedChannels);
    m_shell.start(QStringLiteral("gnome-shell"),
                  {QStringLiteral("--headless"), QStringLiteral("--wayland"), QStringLiteral("--virtual-monitor"),
                   QStringLiteral("%1x%2").arg(kMonitor.width()).arg(kMonitor.height())});
    if (!m_shell.waitForStarted(5000)) {
        *why = QStringLiteral("gnome-shell did not start");
        return false;
    }
    // The shell names its displays as it brings them up; its screenshot service is among the last
    // things its start-up puts on the bus. On a loaded machine the whole start takes some 20 s.
    QDBusConnection bus = QDBusConnection::connectToBus(sessionBus, QStringLiteral("gnome-shell-session"));
    const QRegularExpression x11(QStringLiteral("Using public X11 display (:\\d+)"));
    const QRegularExpression wayland(QStringLiteral("Using Wayland display name '([^']+)'"));
    const bool up = waitFor([&] {
        if (m_shell.state() == QProcess::NotRunning)
            return true;
        return bus.interface()->isServiceRegistered(QStringLiteral("org.gnome.Shell.Screenshot")).value()
               && x11.match(QString::fromUtf8(m_log)).hasMatch() && wayland.match(QString::fromUtf8(m_log)).hasMatch();
    }, std::chrono::seconds(90));
    if (!up || m_shell.state() == QProcess::NotRunning) {
        *why = QStringLiteral("gnome-shell did not come up:\n") + QString::fromUtf8(m_log.right(3000));
        return false;
    }
    m_x11 = x11.match(QString::fromUtf8(m_log)).captured(1);
    m_wayland = wayland.match(QString::fromUtf8(m_log)).captured(1);
    qputenv("WAYLAND_DISPLAY", m_wayland.toUtf8());
    qputenv("DISPLAY", m_x11.toUtf8());
    // Xwayland takes only clients with the cookie mutter wrote into the runtime folder; the login
    // session would hand its path on as XAUTHORITY.
    const QDir runtime(m_dir.filePath(QStringLiteral("run")));
    const QStringList cookies = runtime.entryList({QStringLiteral(".mutter-Xwaylandauth.*")}, QDir::Files | QDir::Hidden);
    if (cookies.isEmpty()) {
        *why = QStringLiteral("mutter wrote no Xwayland cookie");
        return false;
    }
    qputenv("XAUTHORITY", runtime.filePath(cookies.first()).toUtf8());
    // xdg-desktop-portal-gnome exits with "cannot open display" without these.
    if (QProcess::execute(QStringLiteral("dbus-update-activation-environment"),
                          {"WAYLAND_DISPLAY", "DISPLAY", "XAUTHORITY", "XDG_CURRENT_DESKTOP", "XDG_SESSION_TYPE", "XDG_RUNTIME_DIR"})
        != 0) {
        *why = QStringLiteral("the session bus did not take the displays");
        return false;
    }
    // A new session opens in the overview; Escape leaves it for the desktop, where the next
    // window opened gets the focus.
    // The shell can name its displays before its remote-desktop service takes a session.
    if (!waitFor([&] { return pressChord({0xff1b}); }, std::chrono::seconds(20))) {
        *why = QStringLiteral("mutter's remote desktop did not take a key");
        return false;
    }
    return true;
}

bool GnomeShellSession::startMediaKeys(QString* why)
{
    QObject::connect(&m_mediaKeys, &QProcess::readyReadStandardOutput, [this] { m_mediaKeysLog += m_mediaKeys.readAllStandardOutput(); });
    m_mediaKeys.setProcessChannelMode(QProcess::MergedChannels);
    m_mediaKeys.start(QStringLiteral("/usr/libexec/gsd-media-keys"), QStringList{});
    QDBusConnection bus = QDBusConnection::connectToBus(m_sessionBus, QStringLiteral("gnome-shell-session"));
    // The plugin owns its name once it has asked the shell for its keys.
    const bool up = waitFor([&] {
        return m_mediaKeys.state() == QProcess::NotRunning
               || bus.interface()->isServiceRegistered(QStringLiteral("org.gnome.SettingsDaemon.MediaKeys")).value();
    }, std::chrono::seconds(30));
    if (!up || m_mediaKeys.state() == QProcess::NotRunning) {
        *why = QStringLiteral("gsd-media-keys did not come up:\n") + QString::fromUtf8(m_mediaKeysLog.right(2000));
        return false;
    }
    return true;
}

// Mutter's remote-desktop session, started once: the keyboard and the pointer of the tests.
bool GnomeShellSession::remoteInput(const QString& method, const QVariantList& arguments)
{
    const QString session = kRemoteDesktop + QStringLiteral(".Session");
    if (m_remoteSession.isEmpty()) {
        const QDBusMessage made = call(m_sessionBus, kRemoteDesktop, QStringLiteral("/org/gnome/Mutter/RemoteDesktop"),
                                       kRemoteDesktop, QStringLiteral("CreateSession"));
        if (made.type() != QDBusMessage::ReplyMessage || made.arguments().isEmpty())
            return false;
        m_remoteSession = made.arguments().first().value<QDBusObjectPath>().path();
        if (call(m_sessionBus, kRemoteDesktop, m_remoteSession, session, QStringLiteral("Start")).type() != QDBusMessage::ReplyMessage) {
            m_remoteSession.clear(); // the next call makes a new one
            return false;
        }
    }
    return call(m_sessionBus, kRemoteDesktop, m_remoteSession, session, method, arguments).type() == QDBusMessage::ReplyMessage;
}

bool GnomeShellSession::pressChord(const QList<quint32>& keysyms)
{
    const auto key = [&](quint32 keysym, bool down) { return remoteInput(QStringLiteral("NotifyKeyboardKeysym"), {keysym, down}); };
    bool ok = true;
    for (quint32 k : keysyms)
        ok = key(k, true) && ok;
    for (auto k = keysyms.crbegin(); k != keysyms.crend(); ++k)
        ok = key(*k, false) && ok;
    return ok;
}

bool GnomeShellSession::clickAt(QPoint at)
{
    // Absolute motion needs a screen-cast stream; relative motion is clamped at the monitor's
    // edges, so a long way to the top left corner and then to the point gets there from anywhere.
    constexpr int kLeftButton = 0x110; // the kernel's BTN_LEFT, which the session takes
    const auto move = [&](double dx, double dy) { return remoteInput(QStringLiteral("NotifyPointerMotionRelative"), {dx, dy}); };
    if (!move(-4 * kMonitor.width(), -4 * kMonitor.height()) || !move(at.x(), at.y()))
        return false;
    // A hand comes to rest before it clicks.
    waitFor([] { return false; }, std::chrono::milliseconds(400));
    return remoteInput(QStringLiteral("NotifyPointerButton"), {kLeftButton, true})
           && remoteInput(QStringLiteral("NotifyPointerButton"), {kLeftButton, false});
}

bool GnomeShellSession::storeScreenshotAnswer(bool allowed)
{
    // Table and entry "screenshot", the unsandboxed application's empty id: what the portal writes
    // after the user answered its question.
    const QDBusMessage reply = call(m_sessionBus, QStringLiteral("org.freedesktop.impl.portal.PermissionStore"),
                                    QStringLiteral("/org/freedesktop/impl/portal/PermissionStore"),
                                    QStringLiteral("org.freedesktop.impl.portal.PermissionStore"), QStringLiteral("SetPermission"),
                                    {QStringLiteral("screenshot"), true, QStringLiteral("screenshot"), QString(),
                                     QStringList{allowed ? QStringLiteral("yes") : QStringLiteral("no")}});
    return reply.type() == QDBusMessage::ReplyMessage;
}

bool GnomeShellSession::forgetScreenshotAnswer()
{
    const QDBusMessage reply = call(m_sessionBus, QStringLiteral("org.freedesktop.impl.portal.PermissionStore"),
                                    QStringLiteral("/org/freedesktop/impl/portal/PermissionStore"),
                                    QStringLiteral("org.freedesktop.impl.portal.PermissionStore"), QStringLiteral("DeletePermission"),
                                    {QStringLiteral("screenshot"), QStringLiteral("screenshot"), QString()});
    return reply.type() == QDBusMessage::ReplyMessage;
}

} // namespace selvina::testing

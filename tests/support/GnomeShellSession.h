// GNOME Shell 43 on Wayland for the tests, started the way a login session would have it but
// without a login manager: a private system bus (the shell dies at start without one, its login
// manager proxy needs it), the shell headless on one virtual monitor with Xwayland for X11
// clients, and the session bus's activation environment told the Wayland and X11 displays so that
// the portal backends it starts on demand can open them. Key presses go through mutter's own
// remote-desktop interface, which feeds them to the compositor as a keyboard would.
// Thread: the test's main thread.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QPoint>
#include <QSize>
#include <QTemporaryDir>

namespace selvina::testing {

class GnomeShellSession {
public:
    static constexpr QSize kMonitor{1280, 800};

    // Starts the private system bus and puts its address, GNOME's desktop names and a private
    // runtime folder into this process's environment: the session bus the caller starts next, and
    // everything that bus activates, inherit them.
    GnomeShellSession();
    ~GnomeShellSession(); // ends the settings daemon, the shell and the system bus

    // Starts the shell on the session bus at `sessionBus` with `extensions` enabled in its (dconf)
    // settings, and waits until its services are on the bus and Xwayland's display is known; then
    // WAYLAND_DISPLAY and DISPLAY are set here and in the bus's activation environment. False with
    // `why` set when something did not come up.
    bool start(const QString& sessionBus, const QStringList& extensions, QString* why);
    // The settings daemon's media-keys plugin, which runs the custom keybindings.
    bool startMediaKeys(QString* why);
    // Presses the keys (X keysyms) in order and releases them in reverse, as one chord.
    bool pressChord(const QList<quint32>& keysyms);
    // Moves the pointer to `at` (monitor pixels) and clicks its left button there.
    bool clickAt(QPoint at);
    // Stores the answer to the screenshot question the way GNOME's portal stores the user's.
    bool storeScreenshotAnswer(bool allowed);
    // Forgets it, so that the portal asks again.
    bool forgetScreenshotAnswer();

    QString waylandDisplay() const { return m_wayland; }
    QString x11Display() const { return m_x11; }
    QByteArray shellLog() const { return m_log; }
    QByteArray mediaKeysLog() const { return m_mediaKeysLog; }

private:
    bool gsettings(const QStringList& arguments);
    bool remoteInput(const QString& method, const QVariantList& arguments);

    QTemporaryDir m_dir;
    QProcess m_systemBus;
    QProcess m_shell;
    QProcess m_mediaKeys;
    QString m_sessionBus;
    QString m_wayland;
    QString m_x11;
    QByteArray m_log;
    QByteArray m_mediaKeysLog;
    QString m_remoteSession; // mutter's remote-desktop session, made at the first key press
};

} // namespace selvina::testing

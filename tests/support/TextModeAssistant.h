// The real selvina-voice in text mode on a private D-Bus session of its own, against a loopback
// realtime server that answers the session set-up; tests and benchmarks script the rest.
// Thread: the test's main thread.
#pragma once

#include "LoopbackRealtimeServer.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <functional>

namespace selvina::testing {

class TextModeAssistant {
public:
    // `onFrame` sees every frame after the set-up has been answered.
    TextModeAssistant(QString voiceBinary, std::function<void(const QJsonObject&)> onFrame);
    ~TextModeAssistant(); // ends both processes

    bool startBus();      // the private dbus-daemon; false when it did not come up
    bool startAssistant(); // selvina-voice; false when it did not start
    // SIGTERM and wait; the exit code, or -1 when it had to be killed.
    int stopAssistant();

    const QString& busAddress() const { return m_busAddress; }
    QProcessEnvironment environment() const; // what the children run with
    LoopbackRealtimeServer& server() { return m_server; }
    QString home() const { return m_home.path(); }
    QByteArray assistantStderr() const { return m_stderr; }

private:
    QString m_voiceBinary;
    QTemporaryDir m_home;
    LoopbackRealtimeServer m_server;
    QProcess m_bus;
    QProcess m_assistant;
    QString m_busAddress;
    QByteArray m_stderr;
    bool m_configured = false;
};

} // namespace selvina::testing

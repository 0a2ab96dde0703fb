// The real selvina-voice on a private D-Bus session of its own (text mode unless told otherwise),
// against a loopback realtime server that answers the session set-up; tests and benchmarks script
// the rest.
// Thread: the test's main thread.
#pragma once

#include "LoopbackRealtimeServer.h"

#include <QJsonObject>
#include <QProcess>
#include <QMap>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <string>

namespace selvina::testing {

class AssistantProcess {
public:
    // `onFrame` sees every frame after the set-up has been answered.
    AssistantProcess(QString voiceBinary, std::function<void(const QJsonObject&)> onFrame);
    ~AssistantProcess(); // ends both processes

    bool startBus();      // the private dbus-daemon; false when it did not come up
    bool startAssistant(); // selvina-voice; false when it did not start
    // SIGTERM and wait; the exit code, or -1 when it had to be killed.
    int stopAssistant();
    bool running() const { return m_assistant.state() != QProcess::NotRunning; }

    const QString& busAddress() const { return m_busAddress; }
    QProcessEnvironment environment() const; // what the children run with
    // Changes the assistant's environment (an empty value removes the variable); before starting.
    void setVariable(const QString& name, const QString& value) { m_overrides.insert(name, value); }
    LoopbackRealtimeServer& server() { return m_server; }
    // A tool called by the model in the open conversation, and what the assistant answered;
    // "(brak odpowiedzi)" when no answer came within the time.
    QString callTool(const QString& name, const QString& arguments, std::chrono::seconds within = std::chrono::seconds(30));
    int toolCalls() const { return m_toolCalls; } // how many callTool made
    QString home() const { return m_home.path(); }
    QByteArray assistantStderr() const { return m_stderr; }
    QString runLog() const; // the run log the assistant writes in its home
    std::string said() const { return (QString::fromUtf8(m_stderr) + runLog()).toStdString(); } // for failure messages
    // A desktop start: microphone and speakers on the given sound server, the log traced.
    void useDesktopAudio(const QString& pulseServer)
    {
        setVariable(QStringLiteral("SELVINA_TEXT"), QString());
        setVariable(QStringLiteral("SELVINA_TRACE"), QStringLiteral("1"));
        setVariable(QStringLiteral("PULSE_SERVER"), pulseServer);
    }

private:
    QString m_voiceBinary;
    QTemporaryDir m_home;
    LoopbackRealtimeServer m_server;
    QProcess m_bus;
    QProcess m_assistant;
    QString m_busAddress;
    QByteArray m_stderr;
    int m_toolCalls = 0;
    bool m_configured = false;
    QMap<QString, QString> m_overrides;
};

// Completes every answer the assistant asks for at once and silently: the greeting passes, and the
// conversation listens.
inline void completeAnswersSilently(AssistantProcess& app, const QJsonObject& frame)
{
    if (frame[QStringLiteral("type")].toString() == u"response.create")
        app.server().sendText(R"({"type":"response.done","response":{"status":"completed"}})");
}

} // namespace selvina::testing

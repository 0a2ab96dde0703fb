#include "AssistantProcess.h"

#include "Processes.h"

#include <QFile>
#include <QJsonObject>
#include <QStandardPaths>

#include <csignal>

namespace selvina::testing {

AssistantProcess::AssistantProcess(QString voiceBinary, std::function<void(const QJsonObject&)> onFrame)
    : m_voiceBinary(std::move(voiceBinary))
{
    m_server.setOnFrame([this, onFrame = std::move(onFrame)](const QJsonObject& frame) {
        if (frame[QStringLiteral("type")].toString() == u"session.update" && !m_configured) {
            m_configured = true;
            m_server.sendText(R"({"type":"session.updated"})");
            return;
        }
        if (onFrame)
            onFrame(frame);
    });
    QObject::connect(&m_assistant, &QProcess::readyReadStandardError, [this] { m_stderr += m_assistant.readAllStandardError(); });
}

AssistantProcess::~AssistantProcess()
{
    stopAssistant();
    // What the assistant left this home's speech-dispatcher saying would sound on into the next case.
    if (!QStandardPaths::findExecutable(QStringLiteral("spd-say")).isEmpty()) {
        QProcess cancel;
        cancel.setProcessEnvironment(environment());
        cancel.start(QStringLiteral("spd-say"), {QStringLiteral("--cancel")});
        cancel.waitForFinished(5000);
    }
    stopProcess(m_bus);
}

bool AssistantProcess::startBus()
{
    // What the bus starts on demand (the keyring, portals, the calendar's store) keeps its files in
    // this home, not in the suite's: a keyring item another test left in a collection that is locked
    // here would bring up an unlock prompt on the test's screen.
    QProcessEnvironment busEnvironment = QProcessEnvironment::systemEnvironment();
    busEnvironment.insert(QStringLiteral("HOME"), m_home.path());
    if (!busEnvironment.value(QStringLiteral("XDG_DATA_HOME")).startsWith(m_home.path()))
        busEnvironment.insert(QStringLiteral("XDG_DATA_HOME"), m_home.filePath(QStringLiteral(".local/share")));
    m_bus.setProcessEnvironment(busEnvironment);
    m_busAddress = startSessionBus(m_bus);
    return !m_busAddress.isEmpty();
}

QProcessEnvironment AssistantProcess::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_home.path());
    env.insert(QStringLiteral("XDG_STATE_HOME"), m_home.filePath(QStringLiteral("state")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_busAddress);
    env.insert(QStringLiteral("SELVINA_TEXT"), QStringLiteral("1"));
    // No plug-in store: a start must not install plug-ins from the registry.
    env.insert(QStringLiteral("SELVINA_PLUGIN_STORE"), m_home.filePath(QStringLiteral("no-plugin-store.js")));
    env.insert(QStringLiteral("OPENAI_API_KEY"), QStringLiteral("sk-test"));
    QUrl base = m_server.baseUrl();
    base.setScheme(QStringLiteral("http"));
    env.insert(QStringLiteral("SELVINA_OPENAI_BASE_URL"), base.toString());
    env.remove(QStringLiteral("SELVINA_TRACE"));
    for (auto it = m_overrides.cbegin(); it != m_overrides.cend(); ++it) {
        if (it.value().isEmpty())
            env.remove(it.key());
        else
            env.insert(it.key(), it.value());
    }
    return env;
}

bool AssistantProcess::startAssistant()
{
    m_assistant.setProcessEnvironment(environment());
    m_assistant.start(m_voiceBinary, {});
    return m_assistant.waitForStarted(5000);
}

int AssistantProcess::stopAssistant()
{
    if (running()) {
        ::kill(pid_t(m_assistant.processId()), SIGTERM);
        if (!LoopbackRealtimeServer::waitFor([this] { return !running(); }, std::chrono::milliseconds(8000))) {
            stopProcess(m_assistant);
            return -1;
        }
    }
    return m_assistant.exitStatus() == QProcess::NormalExit ? m_assistant.exitCode() : -1;
}

QString AssistantProcess::callTool(const QString& name, const QString& arguments, std::chrono::seconds within)
{
    const QString id = QStringLiteral("call%1").arg(++m_toolCalls);
    m_server.callTool(id, name, arguments);
    std::optional<QString> output;
    LoopbackRealtimeServer::waitFor([&] { return (output = m_server.toolOutput(id)).has_value(); }, within);
    return output.value_or(QStringLiteral("(brak odpowiedzi)"));
}

QString AssistantProcess::runLog() const
{
    QFile log(home() + QStringLiteral("/state/selvina-voice/sidecar.log"));
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
}

} // namespace selvina::testing

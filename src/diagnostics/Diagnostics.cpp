#include "diagnostics/Diagnostics.h"

#include "diagnostics/PermissionAudit.h"
#include "voice/OpenAIRealtimeEngine.h"

#include <QFile>

#include <qcoro/qcorosignal.h>

#include <algorithm>
#include <memory>

namespace selvina::diagnostics {

namespace {

using Connection = Status<DiagnosticsError>;

// The first of the service's answer and the time limit.
class Race : public QObject {
    Q_OBJECT
public:
    std::optional<Connection> outcome;
    void settle(const Connection& result)
    {
        if (outcome)
            return;
        outcome = result;
        Q_EMIT settled();
    }
    // Events that come while the connection is being opened decide only once it has opened: a
    // failure to open is told by its own result.
    void heard(const Connection& verdict)
    {
        if (m_opened)
            settle(verdict);
        else if (!m_early)
            m_early = verdict;
    }
    void opened()
    {
        m_opened = true;
        if (m_early)
            settle(*m_early);
    }

Q_SIGNALS:
    void settled();

private:
    bool m_opened = false;
    std::optional<Connection> m_early;
};

// What an event of the engine says about the session being set up; none: nothing yet.
std::optional<Connection> verdictOf(const voice::VoiceEvent& event)
{
    using Kind = voice::VoiceEvent::Kind;
    switch (event.kind) {
    case Kind::connected:
        return Connection(Ok{});
    case Kind::error:
        return Connection(DiagnosticsError::serverError(event.text.value_or(QString())));
    case Kind::disconnected:
        return Connection(DiagnosticsError::disconnected(event.text));
    default:
        return std::nullopt;
    }
}

QString buildDescription(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList parts;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n')))
        if (!line.trimmed().isEmpty())
            parts.append(line.trimmed());
    return parts.join(QStringLiteral(", "));
}

} // namespace

QString DiagnosticsError::description() const
{
    switch (m_kind) {
    case Kind::connectFailed:
    case Kind::serverError:
        return m_detail;
    case Kind::disconnected:
        return m_detail.isEmpty() ? QStringLiteral("rozłączono bez podania powodu") : m_detail;
    case Kind::timedOut:
        return QStringLiteral("przekroczono limit 15 sekund na zestawienie sesji");
    }
    return {};
}

namespace {

QCoro::Task<> open(voice::VoiceEngine& engine, QList<ToolDefinition> tools, QString instructions, std::shared_ptr<Race> race)
{
    const Status<voice::VoiceEngineError> started = co_await engine.connectSession(std::move(tools), std::move(instructions));
    if (started.ok())
        race->opened();
    else
        race->settle(DiagnosticsError::connectFailed(started.error().description()));
}

} // namespace

QCoro::Task<Status<DiagnosticsError>> Diagnostics::connect(voice::VoiceEngine& engine, QList<ToolDefinition> tools,
                                                           QString instructions, Clock& clock,
                                                           std::chrono::milliseconds limit)
{
    auto race = std::make_shared<Race>();
    QObject::connect(&engine, &voice::VoiceEngine::voiceEvent, race.get(), [r = race.get()](const voice::VoiceEvent& event) {
        if (const auto verdict = verdictOf(event))
            r->heard(*verdict);
    });
    // The limit covers the opening too: a service may take the connection and never answer the
    // handshake, which the transport itself waits for far longer.
    const auto timer = clock.after(limit, [r = race.get()] { r->settle(DiagnosticsError::timedOut()); });
    QCoro::Task<> opening = open(engine, std::move(tools), std::move(instructions), race);
    if (!race->outcome)
        co_await qCoro(race.get(), &Race::settled);
    if (!opening.isReady()) {
        engine.disconnectSession(); // the opening still waiting ends now
        co_await opening;
    }
    co_return *race->outcome;
}

QCoro::Task<Diagnostics::Result> Diagnostics::run(Inputs inputs)
{
    Result result;
    if (inputs.buildTree)
        result.lines.append(QStringLiteral("UWAGA Uruchomiono binarkę z katalogu budowania — warstwa agentowa, dźwięki "
                                           "i build-info pochodzą z tego drzewa, nie z instalacji. Dziennik: ")
                            + inputs.logDirectory + QStringLiteral("/sidecar.log"));

    result.lines.append(QStringLiteral("— Uprawnienia —"));
    if (inputs.audit != nullptr) {
        for (const QString& line : co_await inputs.audit->lines()) {
            result.lines.append(line);
            if (line.startsWith(QStringLiteral("BRAK")))
                result.verdict = false;
        }
    }
    result.lines.append(QString());

    const QString build = buildDescription(inputs.buildInfo);
    if (build.isEmpty())
        result.note(QStringLiteral("Brak pliku build-info — nie wiadomo, która to wersja."));
    else
        result.pass(QStringLiteral("Build: ") + build);

    const settings::Configuration configuration = settings::Configuration::load(inputs.sources);
    if (configuration.openAIKey.value)
        result.pass(QStringLiteral("Klucz OpenAI znaleziony. Modele: ") + configuration.realtimeModel + QStringLiteral(", ")
                    + configuration.visionModel);
    else
        result.fail(QStringLiteral("Brak klucza OpenAI — rozmowa nie ruszy."));
    if (configuration.anthropicKey.value)
        result.pass(QStringLiteral("Klucz Anthropic znaleziony (model ") + configuration.claudeModelNote + QStringLiteral(")"));
    else
        result.note(QStringLiteral("Bez klucza Anthropic — warstwa agentowa użyje zalogowanego Claude Code."));

    const QList<ToolDefinition> tools = inputs.tools ? inputs.tools(configuration) : QList<ToolDefinition>();
    QStringList names;
    for (const ToolDefinition& tool : tools)
        names.append(tool.name);
    result.pass(QStringLiteral("Narzędzia niezależne od sesji (%1): ").arg(names.size()) + names.join(QStringLiteral(", ")));
    result.note(QStringLiteral("W sesji dochodzą: describe_visual, delegate_task."));

    if (!configuration.openAIKey.value)
        co_return result;
    voice::OpenAIRealtimeEngine::Options options;
    options.model = configuration.realtimeModel;
    options.voice = QStringLiteral("marin");
    options.apiKey = [key = configuration.openAIKey.value] { return key; };
    options.realtimeURL = configuration.realtimeURL(configuration.realtimeModel);
    options.clock = inputs.clock;
    voice::OpenAIRealtimeEngine engine(options);
    const Status<DiagnosticsError> connected = co_await connect(engine, tools, inputs.instructions, *inputs.clock);
    if (connected.ok())
        result.pass(QStringLiteral("Połączenie z OpenAI Realtime nawiązane, sesja skonfigurowana."));
    else
        result.fail(QStringLiteral("OpenAI Realtime: ") + connected.error().description());
    engine.disconnectSession();
    co_return result;
}

} // namespace selvina::diagnostics

#include "Diagnostics.moc"

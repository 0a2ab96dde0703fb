#include "settings/ReasoningPreferences.h"

#include "platform/Preferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include "settings/ConfigFile.h"

namespace selvina::settings {

namespace {

using R = ReasoningPreferences;

template <typename E>
struct Row {
    E value;
    const char* raw;
    const char* label;
    const char* explanation;
};

// clang-format off
constexpr Row<R::Effort> kEfforts[] = {
    {R::Effort::low, "low", "niski", "Szybkie odpowiedzi, mało namysłu — dobre do prostych poleceń."},
    {R::Effort::medium, "medium", "średni", "Równowaga między szybkością a dokładnością."},
    {R::Effort::high, "high", "wysoki", "Dłuższy namysł przed działaniem — dobry wybór do większości zadań."},
    {R::Effort::xhigh, "xhigh", "bardzo wysoki", "Głęboki namysł przy złożonych zadaniach, kosztem czasu."},
    {R::Effort::max, "max", "maksymalny", "Najwięcej namysłu, na jaki pozwala model — najwolniej i najdrożej."},
};
constexpr Row<R::CodexEffort> kCodexEfforts[] = {
    {R::CodexEffort::minimal, "minimal", "minimalny", "Prawie bez namysłu — najszybsza odpowiedź."},
    {R::CodexEffort::low, "low", "niski", "Krótki namysł, dobre do prostych poleceń."},
    {R::CodexEffort::medium, "medium", "średni", "Równowaga między szybkością a dokładnością."},
    {R::CodexEffort::high, "high", "wysoki", "Dłuższy namysł przed działaniem — dobry wybór do większości zadań."},
    {R::CodexEffort::xhigh, "xhigh", "bardzo wysoki", "Najgłębszy namysł przy złożonych zadaniach, kosztem czasu."},
};
constexpr Row<R::VoiceEffort> kVoiceEfforts[] = {
    {R::VoiceEffort::automatic, "", "automatyczny", "Model głosowy sam decyduje, ile się namyślać."},
    {R::VoiceEffort::minimal, "minimal", "minimalny", "Odpowiada niemal od razu, prawie bez namysłu."},
    {R::VoiceEffort::low, "low", "niski", "Krótki namysł, szybka odpowiedź."},
    {R::VoiceEffort::medium, "medium", "średni", "Chwila namysłu przed odpowiedzią."},
    {R::VoiceEffort::high, "high", "wysoki", "Dłuższy namysł — między pytaniem a odpowiedzią słychać przerwę."},
    {R::VoiceEffort::xhigh, "xhigh", "bardzo wysoki", "Najdłuższy namysł; rozmowa wyraźnie zwalnia."},
};
constexpr Row<R::Pamiec> kPamiec[] = {
    {R::Pamiec::brak, "0", "bez pamięci", "Każde zadanie zaczyna się od zera: agent nie pamięta poprzednich."},
    {R::Pamiec::dwanascieGodzin, "12", "12 godzin", "Agent pamięta zadania z ostatnich 12 godzin."},
    {R::Pamiec::dzien, "24", "1 dzień", "Agent pamięta zadania z ostatniej doby."},
    {R::Pamiec::dwaDni, "48", "2 dni", "Agent pamięta zadania z ostatnich dwóch dni."},
    {R::Pamiec::trzyDni, "72", "3 dni", "Agent pamięta zadania z ostatnich trzech dni."},
    {R::Pamiec::tydzien, "168", "tydzień", "Agent pamięta zadania z ostatniego tygodnia."},
    {R::Pamiec::dwaTygodnie, "336", "2 tygodnie", "Agent pamięta zadania z ostatnich dwóch tygodni."},
    {R::Pamiec::zawsze, "-1", "zawsze", "Agent pamięta wszystkie wcześniejsze zadania, bez końca."},
};
// clang-format on

template <typename E>
const auto& rows()
{
    if constexpr (std::is_same_v<E, R::Effort>)
        return kEfforts;
    else if constexpr (std::is_same_v<E, R::CodexEffort>)
        return kCodexEfforts;
    else if constexpr (std::is_same_v<E, R::VoiceEffort>)
        return kVoiceEfforts;
    else
        return kPamiec;
}

template <typename E>
const Row<E>& row(E v)
{
    for (const Row<E>& r : rows<E>())
        if (r.value == v)
            return r;
    return rows<E>()[0];
}

template <typename E>
std::optional<E> fromRaw(const QString& raw)
{
    for (const Row<E>& r : rows<E>())
        if (raw == QLatin1String(r.raw))
            return r.value;
    return std::nullopt;
}

// config.json as an object: none when it exists but is not one (or cannot be read), empty when missing.
enum class FileState { missing, object, broken, unreadable };
std::pair<FileState, QJsonObject> readObject(const QString& path)
{
    QFile file(path);
    if (!file.exists())
        return {FileState::missing, {}};
    if (!file.open(QIODevice::ReadOnly))
        return {FileState::unreadable, {}};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll());
    if (!doc.isObject())
        return {FileState::broken, {}};
    return {FileState::object, doc.object()};
}

std::optional<QString> textOf(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? std::optional<QString>(v.toString()) : std::nullopt;
}

template <typename E>
E enumOf(const QJsonObject& o, const char* key, E fallback)
{
    const auto text = textOf(o, key);
    return text ? fromRaw<E>(*text).value_or(fallback) : fallback;
}

R::Pamiec pamiecOf(const QJsonObject& o)
{
    const QJsonValue v = o.value(QLatin1String(R::kPamiecKey));
    if (v.isDouble())
        for (const Row<R::Pamiec>& r : kPamiec)
            if (v.toDouble() == double(R::hours(r.value)))
                return r.value;
    return R::Pamiec::trzyDni;
}

QString normalisedEngine(const QString& engine) { return engine.trimmed().toLower(); }

std::optional<R::Engine> namedEngine(const QString& engine)
{
    const QString name = normalisedEngine(engine);
    if (name == QLatin1String("claude"))
        return R::Engine::claude;
    if (name == QLatin1String("codex"))
        return R::Engine::codex;
    return std::nullopt;
}

QString trimmedOf(const QString& text, const QString& characters)
{
    qsizetype begin = 0, end = text.size();
    while (begin < end && characters.contains(text.at(begin)))
        ++begin;
    while (end > begin && characters.contains(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

template <typename E>
QList<E> ReasoningPreferences::allCases()
{
    QList<E> cases;
    for (const Row<E>& r : rows<E>())
        cases.append(r.value);
    return cases;
}
template QList<R::Effort> ReasoningPreferences::allCases<R::Effort>();
template QList<R::CodexEffort> ReasoningPreferences::allCases<R::CodexEffort>();
template QList<R::VoiceEffort> ReasoningPreferences::allCases<R::VoiceEffort>();
template QList<R::Pamiec> ReasoningPreferences::allCases<R::Pamiec>();

QString R::rawValue(Effort v) { return QLatin1String(row(v).raw); }
QString R::rawValue(CodexEffort v) { return QLatin1String(row(v).raw); }
QString R::rawValue(VoiceEffort v) { return QLatin1String(row(v).raw); }
int R::hours(Pamiec v) { return QByteArray(row(v).raw).toInt(); }
QString R::label(Effort v) { return QString::fromUtf8(row(v).label); }
QString R::label(CodexEffort v) { return QString::fromUtf8(row(v).label); }
QString R::label(VoiceEffort v) { return QString::fromUtf8(row(v).label); }
QString R::label(Pamiec v) { return QString::fromUtf8(row(v).label); }
QString R::explanation(Effort v) { return QString::fromUtf8(row(v).explanation); }
QString R::explanation(CodexEffort v) { return QString::fromUtf8(row(v).explanation); }
QString R::explanation(VoiceEffort v) { return QString::fromUtf8(row(v).explanation); }
QString R::explanation(Pamiec v) { return QString::fromUtf8(row(v).explanation); }

QString R::engineName(Engine engine)
{
    return engine == Engine::claude ? QStringLiteral("Claude Code") : QStringLiteral("Codex CLI");
}

R::VoiceEffort R::storedVoiceEffort(const platform::Preferences& store)
{
    const QVariant v = store.value(QLatin1String(kVoiceEffortKey));
    if (!v.isValid() || v.typeId() != QMetaType::QString)
        return VoiceEffort::automatic;
    return fromRaw<VoiceEffort>(v.toString()).value_or(VoiceEffort::automatic);
}

std::optional<QString> R::codexConfiguredModel(const QString& codexFolder)
{
    QFile file(QDir(codexFolder).filePath(QStringLiteral("config.toml")));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    const QString blanks = QStringLiteral(" \t");
    const QStringList lines = QString::fromUtf8(file.read(1 << 20)).split(QLatin1Char('\n'));
    for (const QString& raw : lines) {
        const QString line = trimmedOf(raw, blanks + QLatin1Char('\r'));
        if (line.isEmpty() || !line.contains(QLatin1Char('='))
            || !(line.startsWith(QLatin1String("model ")) || line.startsWith(QLatin1String("model="))))
            continue;
        QString value = trimmedOf(line.mid(line.indexOf(QLatin1Char('=')) + 1), blanks);
        // A quoted value ends at its closing quote, so that a comment after it is not taken in.
        if (value.startsWith(QLatin1Char('"')) && value.indexOf(QLatin1Char('"'), 1) > 0)
            value = value.mid(1, value.indexOf(QLatin1Char('"'), 1) - 1);
        value = trimmedOf(value, QStringLiteral("\""));
        if (!value.isEmpty())
            return value;
    }
    return std::nullopt;
}

QString R::codexFolder(const QProcessEnvironment& environment, const QString& home)
{
    const QString own = environment.value(QStringLiteral("CODEX_HOME"));
    return own.isEmpty() ? QDir(home).filePath(QStringLiteral(".codex")) : own;
}

ReasoningPreferences::ReasoningPreferences(QString configFile, platform::Preferences& store, EngineDetection detect,
                                           QObject* parent)
    : QObject(parent), m_configFile(std::move(configFile)), m_store(store), m_detect(std::move(detect)),
      m_engineStates{EngineState{Engine::claude, false, std::nullopt}, EngineState{Engine::codex, false, std::nullopt}}
{
    const QJsonObject config = readObject(m_configFile).second;
    const auto engine = textOf(config, kEngineKey);
    m_engine = engine && (namedEngine(*engine) || normalisedEngine(*engine) == QLatin1String("auto"))
                   ? *engine
                   : QStringLiteral("auto");
    m_effort = enumOf(config, kClaudeEffortKey, Effort::high);
    const auto model = textOf(config, kClaudeModelKey);
    m_model = model && !model->trimmed().isEmpty() ? *model : QStringLiteral("claude-opus-5");
    m_codexEffort = enumOf(config, kCodexEffortKey, CodexEffort::high);
    m_codexModel = textOf(config, kCodexModelKey).value_or(QString());
    m_pamiec = pamiecOf(config);
    m_voiceEffort = storedVoiceEffort(m_store);
    const auto [claude, codex] = m_detect();
    m_engineStates = {claude, codex};
}

void ReasoningPreferences::write(const char* key, const QJsonValue& value)
{
    const ConfigWrite written = writeConfigKey(m_configFile, QLatin1String(key), value);
    if (!written.sentence.isEmpty())
        Q_EMIT writeReported(written.sentence);
}

void ReasoningPreferences::setEngine(const QString& v)
{
    const bool differs = m_engine != v;
    m_engine = v;
    write(kEngineKey, v);
    Q_EMIT changed();
    // The sidecar reads it only when it starts: the next task must run in a new one.
    if (differs)
        Q_EMIT sidecarRestartNeeded();
}

void ReasoningPreferences::setEffort(Effort v)
{
    const bool differs = m_effort != v;
    m_effort = v;
    write(kClaudeEffortKey, rawValue(v));
    Q_EMIT changed();
    // The sidecar reads it only when it starts: the next task must run in a new one.
    if (differs)
        Q_EMIT sidecarRestartNeeded();
}

void ReasoningPreferences::setModel(const QString& v)
{
    const bool differs = m_model != v;
    m_model = v;
    write(kClaudeModelKey, v);
    Q_EMIT changed();
    // The sidecar reads it only when it starts: the next task must run in a new one.
    if (differs)
        Q_EMIT sidecarRestartNeeded();
}

void ReasoningPreferences::setCodexEffort(CodexEffort v)
{
    const bool differs = m_codexEffort != v;
    m_codexEffort = v;
    write(kCodexEffortKey, rawValue(v));
    Q_EMIT changed();
    // The sidecar reads it only when it starts: the next task must run in a new one.
    if (differs)
        Q_EMIT sidecarRestartNeeded();
}

void ReasoningPreferences::setCodexModel(const QString& v)
{
    const bool differs = m_codexModel != v;
    m_codexModel = v;
    write(kCodexModelKey, v);
    Q_EMIT changed();
    // The sidecar reads it only when it starts: the next task must run in a new one.
    if (differs)
        Q_EMIT sidecarRestartNeeded();
}

void ReasoningPreferences::setPamiec(Pamiec v)
{
    const bool differs = m_pamiec != v;
    m_pamiec = v;
    write(kPamiecKey, hours(v));
    Q_EMIT changed();
    // The sidecar reads it only when it starts: the next task must run in a new one.
    if (differs)
        Q_EMIT sidecarRestartNeeded();
}

void ReasoningPreferences::setVoiceEffort(VoiceEffort v)
{
    m_voiceEffort = v;
    m_store.setValue(QLatin1String(kVoiceEffortKey), rawValue(v));
    Q_EMIT changed();
}

QList<R::Engine> ReasoningPreferences::available() const
{
    QList<Engine> engines;
    for (const EngineState& s : m_engineStates)
        if (s.available)
            engines.append(s.engine);
    return engines;
}

R::Engine ReasoningPreferences::activeEngine() const
{
    const QList<Engine> ready = available();
    const auto named = namedEngine(m_engine);
    if (named && ready.contains(*named))
        return *named;
    return ready.isEmpty() ? Engine::claude : ready.first();
}

void ReasoningPreferences::refreshEngines()
{
    const auto [claude, codex] = m_detect();
    m_engineStates = {claude, codex};
    const QList<Engine> ready = available();
    if (const auto named = namedEngine(m_engine); named && !ready.contains(*named) && !ready.isEmpty())
        setEngine(agent::EngineDetector::rawValue(ready.first()));
    Q_EMIT enginesChanged();
}

void ReasoningPreferences::applyModelChange() { Q_EMIT sidecarRestartNeeded(); }

} // namespace selvina::settings

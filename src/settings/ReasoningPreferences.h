// ReasoningPreferences: the choices for the agent layer (which engine orchestrates, each engine's
// model and reasoning effort, how long the agent remembers earlier tasks) kept in config.json,
// which the sidecar reads when it starts, and the realtime voice model's reasoning effort kept
// among the preferences.
// Thread: main thread (config.json is a small file, read and written in place).
#pragma once

#include "agent/EngineDetector.h"

#include <QList>
#include <QObject>
#include <QString>

#include <array>
#include <cmath>
#include <functional>
#include <optional>
#include <utility>

class QJsonValue;

namespace selvina::platform {
class Preferences;
}

namespace selvina::settings {

class ReasoningPreferences : public QObject {
    Q_OBJECT
public:
    // Claude Code's effort.
    enum class Effort { low, medium, high, xhigh, max };
    enum class CodexEffort { minimal, low, medium, high, xhigh };
    // The realtime voice model's effort; `automatic` (stored as "") leaves it to the service.
    enum class VoiceEffort { automatic, minimal, low, medium, high, xhigh };
    // How long the agent remembers earlier tasks.
    enum class Pamiec { brak, dwanascieGodzin, dzien, dwaDni, trzyDni, tydzien, dwaTygodnie, zawsze };

    using Engine = agent::EngineDetector::Engine;
    using EngineState = agent::EngineDetector::State;
    // The states of (claude, codex), detected afresh on every call.
    using EngineDetection = std::function<std::pair<EngineState, EngineState>()>;

    static constexpr const char* kVoiceEffortKey = "reasoning.voiceEffort";
    static constexpr const char* kEngineKey = "reasoning_engine";
    static constexpr const char* kClaudeEffortKey = "claude_effort";
    static constexpr const char* kClaudeModelKey = "claude_model";
    static constexpr const char* kCodexEffortKey = "codex_effort";
    static constexpr const char* kCodexModelKey = "codex_model";
    static constexpr const char* kPamiecKey = "sesja_godziny";

    // Every case of an enumeration, in order.
    template <typename E>
    static QList<E> allCases();
    // A slider position to a case: the nearest whole index, clamped to the valid ones.
    template <typename E>
    static E at(double position);

    static QString rawValue(Effort v);
    static QString rawValue(CodexEffort v);
    static QString rawValue(VoiceEffort v);
    static int hours(Pamiec v); // -1: for ever
    // A short Polish name for a list, and the sentence that says what the choice does.
    static QString label(Effort v);
    static QString label(CodexEffort v);
    static QString label(VoiceEffort v);
    static QString label(Pamiec v);
    static QString explanation(Effort v);
    static QString explanation(CodexEffort v);
    static QString explanation(VoiceEffort v);
    static QString explanation(Pamiec v);
    static QString engineName(Engine engine); // "Claude Code", "Codex CLI"

    // The voice effort as stored; the speech preferences read it for each conversation.
    static VoiceEffort storedVoiceEffort(const platform::Preferences& store);

    // The model line of Codex CLI's own settings (`codexFolder`/config.toml), or none.
    static std::optional<QString> codexConfiguredModel(const QString& codexFolder);
    // ~/.codex, or $CODEX_HOME when set, as Codex CLI itself looks.
    static QString codexFolder(const QProcessEnvironment& environment, const QString& home);

    // Reads config.json (`configFile`) and the store now, and detects the engines.
    ReasoningPreferences(QString configFile, platform::Preferences& store, EngineDetection detect,
                         QObject* parent = nullptr);

    QString engine() const { return m_engine; }
    Effort effort() const { return m_effort; }
    QString model() const { return m_model; }
    CodexEffort codexEffort() const { return m_codexEffort; }
    QString codexModel() const { return m_codexModel; }
    Pamiec pamiec() const { return m_pamiec; }
    VoiceEffort voiceEffort() const { return m_voiceEffort; }
    const std::array<EngineState, 2>& engineStates() const { return m_engineStates; }

    // Each setter stores the value at once; a change of what the sidecar reads (all but the voice
    // effort) asks for a new sidecar through sidecarRestartNeeded().
    void setEngine(const QString& v); // "auto", "claude" or "codex"
    void setEffort(Effort v);
    void setModel(const QString& v);
    void setCodexEffort(CodexEffort v);
    void setCodexModel(const QString& v);
    void setPamiec(Pamiec v);
    void setVoiceEffort(VoiceEffort v);

    // The engines that are installed and logged in, claude first.
    QList<Engine> available() const;
    // The engine that will orchestrate: the chosen one when available, else the first available,
    // else claude.
    Engine activeEngine() const;
    // Detects the engines again; a chosen engine that went away while the other is there is
    // replaced by the other (and stored).
    void refreshEngines();
    // After a model change: the sidecar reads config.json only when it starts, so it must be
    // replaced; the application connects sidecarRestartNeeded() to the runtime's restart.
    void applyModelChange();

Q_SIGNALS:
    void changed();
    void enginesChanged();
    void sidecarRestartNeeded();
    // A write of config.json failed, or moved a broken file aside first: the sentence says which.
    void writeReported(const QString& sentence);

private:
    void write(const char* key, const QJsonValue& value);

    QString m_configFile;
    platform::Preferences& m_store;
    EngineDetection m_detect;
    QString m_engine;
    Effort m_effort;
    QString m_model;
    CodexEffort m_codexEffort;
    QString m_codexModel;
    Pamiec m_pamiec;
    VoiceEffort m_voiceEffort;
    std::array<EngineState, 2> m_engineStates;
};

template <typename E>
E ReasoningPreferences::at(double position)
{
    const QList<E> cases = allCases<E>();
    if (!(position > 0)) // below zero, and NaN
        return cases.first();
    const double nearest = std::floor(position + 0.5);
    return nearest >= double(cases.size() - 1) ? cases.last() : cases.at(qsizetype(nearest));
}

} // namespace selvina::settings

#include "settings/SpeechPreferences.h"

#include "platform/Preferences.h"
#include "settings/ReasoningPreferences.h"

#include <cmath>

namespace selvina::settings {

namespace {

constexpr const char* kModel = "speech.model";
constexpr const char* kVoice = "speech.voice";
constexpr const char* kSpeed = "speech.speed";
constexpr const char* kTurnDetection = "speech.turnDetection";
constexpr const char* kThreshold = "speech.threshold";
constexpr const char* kPrefixPadding = "speech.prefixPaddingMs";
constexpr const char* kSilenceDuration = "speech.silenceDurationMs";
constexpr const char* kEagerness = "speech.eagerness";
constexpr const char* kNoiseReduction = "speech.noiseReduction";

const QString kDefaultModel = QStringLiteral("gpt-realtime-2.1");
const QString kDefaultVoice = QStringLiteral("marin");

QString readText(const platform::Preferences& p, const char* key, const QString& fallback)
{
    const QVariant v = p.value(QLatin1String(key));
    return v.isValid() && v.canConvert<QString>() ? v.toString() : fallback;
}

// The INI store keeps numbers as text; a missing, non-numeric or non-finite value reads as the default.
double readNumber(const platform::Preferences& p, const char* key, double fallback)
{
    const QVariant v = p.value(QLatin1String(key));
    if (!v.isValid())
        return fallback;
    bool ok = false;
    const double d = v.toDouble(&ok);
    return ok && std::isfinite(d) ? d : fallback;
}

template <typename E, size_t N>
E readEnum(const platform::Preferences& p, const char* key, const std::array<E, N>& cases, E fallback)
{
    const QString stored = readText(p, key, QString());
    for (E c : cases)
        if (SpeechPreferences::text(c) == stored)
            return c;
    return fallback;
}

constexpr std::array kTurnDetections{SpeechPreferences::TurnDetection::serverVAD,
                                     SpeechPreferences::TurnDetection::semanticVAD,
                                     SpeechPreferences::TurnDetection::manual};
constexpr std::array kEagernesses{SpeechPreferences::Eagerness::low, SpeechPreferences::Eagerness::medium,
                                  SpeechPreferences::Eagerness::high, SpeechPreferences::Eagerness::automatic};
constexpr std::array kNoiseReductions{SpeechPreferences::NoiseReduction::off,
                                      SpeechPreferences::NoiseReduction::nearField,
                                      SpeechPreferences::NoiseReduction::farField};

// Truncation toward zero into the integer range; a value beyond it saturates.
qint64 truncated(double v)
{
    if (v >= 9.2e18)
        return std::numeric_limits<qint64>::max();
    if (v <= -9.2e18)
        return std::numeric_limits<qint64>::min();
    return qint64(std::trunc(v));
}

} // namespace

QString SpeechPreferences::text(TurnDetection v)
{
    switch (v) {
    case TurnDetection::serverVAD:
        return QStringLiteral("server_vad");
    case TurnDetection::semanticVAD:
        return QStringLiteral("semantic_vad");
    case TurnDetection::manual:
        return QStringLiteral("off");
    }
    return {};
}

QString SpeechPreferences::text(Eagerness v)
{
    switch (v) {
    case Eagerness::low:
        return QStringLiteral("low");
    case Eagerness::medium:
        return QStringLiteral("medium");
    case Eagerness::high:
        return QStringLiteral("high");
    case Eagerness::automatic:
        return QStringLiteral("auto");
    }
    return {};
}

QString SpeechPreferences::text(NoiseReduction v)
{
    switch (v) {
    case NoiseReduction::off:
        return QStringLiteral("off");
    case NoiseReduction::nearField:
        return QStringLiteral("near_field");
    case NoiseReduction::farField:
        return QStringLiteral("far_field");
    }
    return {};
}

const QStringList& SpeechPreferences::voiceChoices()
{
    static const QStringList voices{QStringLiteral("marin"), QStringLiteral("cedar"), QStringLiteral("alloy"),
                                    QStringLiteral("ash"),   QStringLiteral("ballad"), QStringLiteral("coral"),
                                    QStringLiteral("echo"),  QStringLiteral("sage"),  QStringLiteral("shimmer"),
                                    QStringLiteral("verse")};
    return voices;
}

const QStringList& SpeechPreferences::recommendedVoices()
{
    static const QStringList voices{QStringLiteral("marin"), QStringLiteral("cedar")};
    return voices;
}

SpeechPreferences::SpeechPreferences(platform::Preferences& store, QObject* parent) : QObject(parent), m_store(store)
{
    read();
}

void SpeechPreferences::reload()
{
    m_store.refresh();
    read();
}

void SpeechPreferences::read()
{
    m_model = readText(m_store, kModel, kDefaultModel);
    m_voice = readText(m_store, kVoice, kDefaultVoice);
    m_speed = readNumber(m_store, kSpeed, 1.0);
    m_turnDetection = readEnum(m_store, kTurnDetection, kTurnDetections, TurnDetection::serverVAD);
    m_threshold = readNumber(m_store, kThreshold, 0.5);
    m_prefixPaddingMs = readNumber(m_store, kPrefixPadding, 300);
    m_silenceDurationMs = readNumber(m_store, kSilenceDuration, 700);
    m_eagerness = readEnum(m_store, kEagerness, kEagernesses, Eagerness::automatic);
    m_noiseReduction = readEnum(m_store, kNoiseReduction, kNoiseReductions, NoiseReduction::off);
}

void SpeechPreferences::store(const char* key, const QVariant& value)
{
    m_store.setValue(QLatin1String(key), value);
    Q_EMIT changed();
}

void SpeechPreferences::setModel(const QString& v) { m_model = v; store(kModel, v); }
void SpeechPreferences::setVoice(const QString& v) { m_voice = v; store(kVoice, v); }
void SpeechPreferences::setSpeed(double v) { m_speed = v; store(kSpeed, v); }
void SpeechPreferences::setTurnDetection(TurnDetection v) { m_turnDetection = v; store(kTurnDetection, text(v)); }
void SpeechPreferences::setThreshold(double v) { m_threshold = v; store(kThreshold, v); }
void SpeechPreferences::setPrefixPaddingMs(double v) { m_prefixPaddingMs = v; store(kPrefixPadding, v); }
void SpeechPreferences::setSilenceDurationMs(double v) { m_silenceDurationMs = v; store(kSilenceDuration, v); }
void SpeechPreferences::setEagerness(Eagerness v) { m_eagerness = v; store(kEagerness, text(v)); }
void SpeechPreferences::setNoiseReduction(NoiseReduction v) { m_noiseReduction = v; store(kNoiseReduction, text(v)); }

voice::SpeechSettings SpeechPreferences::snapshot() const
{
    voice::SpeechSettings s;
    s.voice = m_voice;
    s.speed = std::clamp(m_speed, 0.25, 1.5);
    s.turnDetection = text(m_turnDetection);
    s.threshold = m_threshold;
    s.prefixPaddingMs = truncated(m_prefixPaddingMs);
    s.silenceDurationMs = truncated(m_silenceDurationMs);
    s.eagerness = text(m_eagerness);
    s.noiseReduction = text(m_noiseReduction);
    const auto effort = ReasoningPreferences::storedVoiceEffort(m_store);
    if (effort != ReasoningPreferences::VoiceEffort::automatic)
        s.reasoningEffort = ReasoningPreferences::rawValue(effort);
    return s;
}

void SpeechPreferences::restoreDefaults()
{
    setModel(kDefaultModel);
    setVoice(kDefaultVoice);
    setSpeed(1.0);
    setTurnDetection(TurnDetection::serverVAD);
    setThreshold(0.5);
    setPrefixPaddingMs(300);
    setSilenceDurationMs(700);
    setEagerness(Eagerness::automatic);
    setNoiseReduction(NoiseReduction::off);
}

std::optional<QString> SpeechPreferences::summaryOf(const std::optional<QString>& key)
{
    if (!key)
        return std::nullopt;
    return key->size() < 7 ? QStringLiteral("…") : QStringLiteral("…") + key->right(6);
}

void SpeechPreferences::refreshKeySummary(const std::optional<QString>& key)
{
    m_storedKeySummary = summaryOf(key);
    Q_EMIT changed();
}

} // namespace selvina::settings

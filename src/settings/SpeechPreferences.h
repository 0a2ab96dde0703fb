// SpeechPreferences: the user's voice-conversation choices, persisted as preferences and turned
// into the SpeechSettings of a session.
// Thread: main thread.
#pragma once

#include "voice/SpeechSettings.h"

#include <QObject>
#include <QStringList>

#include <optional>

namespace selvina::platform {
class Preferences;
}

namespace selvina::settings {

class SpeechPreferences : public QObject {
    Q_OBJECT
public:
    enum class TurnDetection { serverVAD, semanticVAD, manual };
    enum class Eagerness { low, medium, high, automatic };
    enum class NoiseReduction { off, nearField, farField };

    static QString text(TurnDetection v);
    static QString text(Eagerness v);
    static QString text(NoiseReduction v);

    static const QStringList& voiceChoices();
    static const QStringList& recommendedVoices();

    // Reads every stored value now; unknown or missing values read as the defaults.
    explicit SpeechPreferences(platform::Preferences& store, QObject* parent = nullptr);
    // Reads them again, edits made to the store from outside since included; each new conversation
    // starts from what is stored then.
    void reload();

    QString model() const { return m_model; }
    QString voice() const { return m_voice; }
    double speed() const { return m_speed; }
    TurnDetection turnDetection() const { return m_turnDetection; }
    double threshold() const { return m_threshold; }
    double prefixPaddingMs() const { return m_prefixPaddingMs; }
    double silenceDurationMs() const { return m_silenceDurationMs; }
    Eagerness eagerness() const { return m_eagerness; }
    NoiseReduction noiseReduction() const { return m_noiseReduction; }
    std::optional<QString> storedKeySummary() const { return m_storedKeySummary; }

    // Each setter writes the value back under its key at once.
    void setModel(const QString& v);
    void setVoice(const QString& v);
    void setSpeed(double v);
    void setTurnDetection(TurnDetection v);
    void setThreshold(double v);
    void setPrefixPaddingMs(double v);
    void setSilenceDurationMs(double v);
    void setEagerness(Eagerness v);
    void setNoiseReduction(NoiseReduction v);

    voice::SpeechSettings snapshot() const;
    void restoreDefaults();
    // "…" + the last six characters of the resolved key ("…" alone for a key under 7 characters).
    // "…" + the key's last 6 characters ("…" alone for a shorter key); none without a key.
    static std::optional<QString> summaryOf(const std::optional<QString>& key);
    void refreshKeySummary(const std::optional<QString>& resolvedKey);

Q_SIGNALS:
    void changed();

private:
    void read();
    void store(const char* key, const QVariant& value);

    platform::Preferences& m_store;
    QString m_model;
    QString m_voice;
    double m_speed;
    TurnDetection m_turnDetection;
    double m_threshold;
    double m_prefixPaddingMs;
    double m_silenceDurationMs;
    Eagerness m_eagerness;
    NoiseReduction m_noiseReduction;
    std::optional<QString> m_storedKeySummary;
};

} // namespace selvina::settings

// SpeechSettings: the user's speech preferences (voice, speed, turn detection, noise reduction,
// reasoning) as one value, read from the settings and turned into a session's configuration.
// Thread: any (plain data).
#pragma once

#include <QString>

#include <optional>

namespace selvina::voice {

struct SpeechSettings {
    QString voice = QStringLiteral("marin");
    double speed = 1.0;
    QString turnDetection = QStringLiteral("server_vad"); // "off", "server_vad", "semantic_vad"
    double threshold = 0.5;
    qint64 prefixPaddingMs = 300;
    qint64 silenceDurationMs = 700;
    QString eagerness = QStringLiteral("auto");
    QString noiseReduction = QStringLiteral("off"); // "off", "near_field", "far_field"
    std::optional<QString> reasoningEffort{};
};

} // namespace selvina::voice

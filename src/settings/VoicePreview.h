// VoicePreview: a short sample sentence in a chosen voice and speed, synthesised by the service's
// speech endpoint and played through the speakers, so that the user can hear a voice before
// choosing it.
// Thread: main thread; the request and the playback never block it.
#pragma once

#include "core/Clock.h"
#include "settings/ServiceRequest.h"

#include <QNetworkAccessManager>
#include <QObject>

#include <memory>
#include <optional>

namespace selvina::platform {
class AudioDevices;
class SystemLog;
}

namespace selvina::voice {
class SpeakerPlayback;
}

namespace selvina::settings {

class VoicePreviewError {
public:
    enum class Kind { rejected, noKey, noAnswer, unreachable, unplayable };

    // `message`: the service's own error message, when its answer had one.
    static VoicePreviewError rejected(int status, std::optional<QString> message)
    {
        return {Kind::rejected, status, message.value_or(QString())};
    }
    static VoicePreviewError noKey() { return {Kind::noKey, 0, {}}; }
    static VoicePreviewError noAnswer() { return {Kind::noAnswer, 0, {}}; }
    // `problem`: what went wrong with the connection, in Polish.
    static VoicePreviewError unreachable(QString problem) { return {Kind::unreachable, 0, std::move(problem)}; }
    // `cause`: why the speakers could not play it, in Polish.
    static VoicePreviewError unplayable(QString cause) { return {Kind::unplayable, 0, std::move(cause)}; }

    Kind kind() const { return m_kind; }
    QString description() const;
    bool operator==(const VoicePreviewError&) const = default;

private:
    VoicePreviewError(Kind kind, int status, QString detail) : m_kind(kind), m_status(status), m_detail(std::move(detail)) {}
    Kind m_kind;
    int m_status;
    QString m_detail;
};

class VoicePreview : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kTimeout{60'000};
    static constexpr const char* kSampleText = "Cześć, jestem Selvina. Tak brzmię, kiedy do Ciebie mówię.";

    VoicePreview(ServiceAccess service, platform::AudioDevices& devices, platform::SystemLog& log, Clock& clock,
                 QObject* parent = nullptr);
    ~VoicePreview() override;

    // The voice being fetched or played; none when idle.
    const std::optional<QString>& playingVoice() const { return m_playingVoice; }
    const std::optional<VoicePreviewError>& failure() const { return m_failure; }

    // Stops any sample first; the end (heard, stopped or failed) is announced by changed().
    void play(const QString& voice, double speed);
    void stop();

    // 16-bit PCM of any rate and channel count as 24 kHz mono PCM16; none when the file is no such WAV.
    static std::optional<QByteArray> speakerPcm(const QByteArray& wav);

Q_SIGNALS:
    void changed();

private:
    static QCoro::Task<> run(QPointer<VoicePreview> self, quint64 generation, QString voice, double speed);
    void finish(quint64 generation, std::optional<VoicePreviewError> failure);

    ServiceAccess m_service;
    platform::AudioDevices& m_devices;
    platform::SystemLog& m_log;
    Clock& m_clock;
    QNetworkAccessManager m_network;
    std::unique_ptr<voice::SpeakerPlayback> m_playback;
    std::shared_ptr<ServiceCancel> m_cancel;
    quint64 m_generation = 0; // the current sample; an older one that wakes up finds it moved on
    std::optional<QString> m_playingVoice;
    std::optional<VoicePreviewError> m_failure;
};

} // namespace selvina::settings

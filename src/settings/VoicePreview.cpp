#include "settings/VoicePreview.h"

#include "voice/audio/Pcm16.h"
#include "voice/audio/SampleRateConverter.h"
#include "voice/audio/SpeakerPlayback.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>

namespace selvina::settings {

namespace {

constexpr qint64 kMaxSampleBytes = 32 * 1024 * 1024;

std::optional<QString> errorMessage(const QByteArray& body)
{
    const QJsonValue message =
        QJsonDocument::fromJson(body).object().value(QLatin1String("error")).toObject().value(QLatin1String("message"));
    if (!message.isString() || message.toString().trimmed().isEmpty())
        return std::nullopt;
    return message.toString().trimmed();
}

} // namespace

QString VoicePreviewError::description() const
{
    switch (m_kind) {
    case Kind::rejected:
        return m_detail.isEmpty()
                   ? QStringLiteral("OpenAI odmówiło (%1).").arg(m_status)
                   : QStringLiteral("OpenAI odmówiło (%1): ").arg(m_status) + m_detail;
    case Kind::noKey:
        return QStringLiteral("Najpierw zapisz klucz OpenAI.");
    case Kind::noAnswer:
        return QStringLiteral("Brak odpowiedzi z OpenAI.");
    case Kind::unreachable:
        return QStringLiteral("Brak odpowiedzi z OpenAI: ") + m_detail + QLatin1Char('.');
    case Kind::unplayable:
        return QStringLiteral("Nie da się odtworzyć próbki głosu. ") + m_detail;
    }
    return {};
}

std::optional<QByteArray> VoicePreview::speakerPcm(const QByteArray& wav)
{
    if (wav.size() < 12 || !wav.startsWith("RIFF") || wav.mid(8, 4) != "WAVE")
        return std::nullopt;
    int channels = 0, rate = 0, bits = 0, format = 0;
    std::optional<QByteArray> data;
    for (qsizetype offset = 12; offset + 8 <= wav.size() && !data;) {
        const QByteArray id = wav.mid(offset, 4);
        const quint32 size = qFromLittleEndian<quint32>(wav.constData() + offset + 4);
        const qsizetype payload = offset + 8;
        if (id == "fmt " && size >= 16 && payload + 16 <= wav.size()) {
            format = qFromLittleEndian<quint16>(wav.constData() + payload);
            channels = qFromLittleEndian<quint16>(wav.constData() + payload + 2);
            rate = int(qFromLittleEndian<quint32>(wav.constData() + payload + 4));
            bits = qFromLittleEndian<quint16>(wav.constData() + payload + 14);
        } else if (id == "data") // written as a stream, the size may run past the end
            data = wav.mid(payload, std::min<qsizetype>(size, wav.size() - payload));
        offset = payload + qsizetype(size) + (size % 2);
    }
    if (!data || (format != 1 && format != 0xFFFE) || bits != 16 || channels < 1 || rate < 8000 || rate > 192000)
        return std::nullopt;
    if (channels == 1 && rate == voice::SpeakerPlayback::kSampleRate)
        return data;

    const std::vector<float> interleaved = voice::floatsFromPcm16(*data);
    std::vector<float> mono(interleaved.size() / std::size_t(channels));
    for (std::size_t frame = 0; frame < mono.size(); ++frame) {
        float sum = 0;
        for (int c = 0; c < channels; ++c)
            sum += interleaved[frame * std::size_t(channels) + std::size_t(c)];
        mono[frame] = sum / float(channels);
    }
    QString error;
    auto converter = voice::SampleRateConverter::make(rate, voice::SpeakerPlayback::kSampleRate, &error);
    if (!converter)
        return std::nullopt;
    std::vector<float> out(mono.size() * std::size_t(voice::SpeakerPlayback::kSampleRate) / std::size_t(rate) + 1024);
    std::size_t written = converter->process(mono.data(), mono.size(), out.data(), out.size());
    written += converter->process(nullptr, 0, out.data() + written, out.size() - written); // the tail
    QByteArray pcm(qsizetype(2 * written), Qt::Uninitialized);
    voice::toPcm16(out.data(), written, pcm.data());
    return pcm;
}

VoicePreview::VoicePreview(ServiceAccess service, platform::AudioDevices& devices, platform::SystemLog& log,
                           Clock& clock, QObject* parent)
    : QObject(parent), m_service(std::move(service)), m_devices(devices), m_log(log), m_clock(clock)
{
}

VoicePreview::~VoicePreview()
{
    if (m_cancel)
        m_cancel->cancel();
}

void VoicePreview::play(const QString& voice, double speed)
{
    stop();
    m_failure.reset();
    m_playingVoice = voice;
    const quint64 generation = m_generation;
    Q_EMIT changed();
    run(QPointer<VoicePreview>(this), generation, voice, speed);
}

void VoicePreview::stop()
{
    ++m_generation;
    if (m_cancel)
        m_cancel->cancel();
    m_cancel.reset();
    m_playback.reset(); // stops the stream at once; a sample still waiting on it ends untouched
    if (m_playingVoice) {
        m_playingVoice.reset();
        Q_EMIT changed();
    }
}

void VoicePreview::finish(quint64 generation, std::optional<VoicePreviewError> failure)
{
    if (generation != m_generation)
        return;
    m_failure = std::move(failure);
    m_playingVoice.reset();
    m_cancel.reset();
    Q_EMIT changed();
}

QCoro::Task<> VoicePreview::run(QPointer<VoicePreview> self, quint64 generation, QString voice, double speed)
{
    const std::optional<QString> key = self->m_service.apiKey();
    if (!key || key->isEmpty()) {
        self->finish(generation, VoicePreviewError::noKey());
        co_return;
    }
    QNetworkRequest request(self->m_service.endpoint(QStringLiteral("/v1/audio/speech")));
    request.setRawHeader("Authorization", "Bearer " + key->toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    const QJsonObject body{{QStringLiteral("model"), QStringLiteral("gpt-4o-mini-tts")},
                           {QStringLiteral("voice"), voice},
                           {QStringLiteral("input"), QString::fromUtf8(kSampleText)},
                           {QStringLiteral("response_format"), QStringLiteral("wav")},
                           {QStringLiteral("speed"), speed}};
    auto cancel = std::make_shared<ServiceCancel>();
    self->m_cancel = cancel;
    const ServiceReply reply = co_await exchange(self->m_network, request, "POST",
                                                 QJsonDocument(body).toJson(QJsonDocument::Compact), self->m_clock,
                                                 kTimeout, kMaxSampleBytes, cancel);
    if (!self || self->m_generation != generation || reply.outcome == ServiceReply::Outcome::cancelled)
        co_return;
    if (reply.outcome == ServiceReply::Outcome::unreachable) {
        self->finish(generation, VoicePreviewError::unreachable(reply.problem));
        co_return;
    }
    if (reply.outcome == ServiceReply::Outcome::answered && reply.status != 200) {
        self->finish(generation, VoicePreviewError::rejected(reply.status, errorMessage(reply.body)));
        co_return;
    }
    const std::optional<QByteArray> pcm =
        reply.outcome == ServiceReply::Outcome::answered ? speakerPcm(reply.body) : std::nullopt;
    if (!pcm || pcm->isEmpty()) {
        self->finish(generation, VoicePreviewError::noAnswer());
        co_return;
    }

    self->m_playback = std::make_unique<voice::SpeakerPlayback>(self->m_devices, nullptr, self->m_log);
    voice::SpeakerPlayback* playback = self->m_playback.get();
    // After each wait only `self` and the generation are trusted: stop() may have dropped the playback.
    const auto moved = [&] { return !self || self->m_generation != generation; };
    const auto started = co_await playback->start();
    if (moved())
        co_return;
    if (!started) {
        self->finish(generation, VoicePreviewError::unplayable(started.error().description()));
        co_return;
    }
    auto enqueued = playback->enqueue(*pcm); // not inside co_await: GCC 12 would destroy the copy twice
    co_await enqueued;
    if (moved())
        co_return;
    co_await playback->waitUntilDrained();
    if (moved())
        co_return;
    co_await playback->stop();
    if (moved())
        co_return;
    self->finish(generation, std::nullopt);
}

} // namespace selvina::settings

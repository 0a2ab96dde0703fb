#include "wake/VoiceProfile.h"

#include "wake/WakeModel.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cmath>

namespace selvina::wake {

QString VoiceProfileError::description() const
{
    switch (m_kind) {
    case Kind::missing:
        return QStringLiteral("Nie ma jeszcze nagrań twojego głosu; zawołanie działa w wersji ogólnej.");
    case Kind::unreadable:
        return QStringLiteral("Nie mogę odczytać pliku z nagraniami twojego głosu %1.").arg(m_path);
    case Kind::corrupt:
        return QStringLiteral("Plik z nagraniami twojego głosu jest uszkodzony; nagraj zawołanie jeszcze raz.");
    case Kind::otherModel:
        return QStringLiteral("Nagrania twojego głosu pochodzą z innej wersji modelu zawołania; nagraj je jeszcze raz.");
    case Kind::notWritten:
        return QStringLiteral("Nie mogę zapisać nagrań twojego głosu w pliku %1.").arg(m_path);
    }
    return {};
}

float cosineSimilarity(const float* a, const float* b, std::size_t n) noexcept
{
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ab += double(a[i]) * b[i];
        aa += double(a[i]) * a[i];
        bb += double(b[i]) * b[i];
    }
    if (aa <= 0 || bb <= 0)
        return 0.0f;
    return float(ab / std::sqrt(aa * bb));
}

float VoiceProfile::nearestSimilarity(const float* embedding) const noexcept
{
    float best = -1.0f;
    for (const auto& t : templates)
        best = std::max(best, cosineSimilarity(embedding, t.data(), t.size()));
    return best;
}

Status<VoiceProfileError> VoiceProfile::save(const QString& path) const
{
    QJsonArray list;
    for (const auto& t : templates) {
        QJsonArray values;
        for (float v : t)
            values.append(double(v));
        list.append(values);
    }
    const QJsonObject object{{QStringLiteral("format"), 1}, {QStringLiteral("model_sha256"), modelSha256},
        {QStringLiteral("similarity_threshold"), double(similarityThreshold)},
        {QStringLiteral("score_floor"), double(scoreFloor)}, {QStringLiteral("templates"), list}};
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(object).toJson(QJsonDocument::Compact)) < 0
        || !file.commit())
        return VoiceProfileError::notWritten(path);
    return Ok{};
}

Result<VoiceProfile, VoiceProfileError> VoiceProfile::load(const QString& path, const WakeModel& model)
{
    QFile file(path);
    if (!file.exists())
        return VoiceProfileError::missing();
    if (!file.open(QIODevice::ReadOnly))
        return VoiceProfileError::unreadable(path);
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    const QJsonObject object = document.object();
    if (parseError.error != QJsonParseError::NoError || object.value(QStringLiteral("format")).toInt() != 1)
        return VoiceProfileError::corrupt();
    VoiceProfile profile;
    profile.modelSha256 = object.value(QStringLiteral("model_sha256")).toString();
    if (profile.modelSha256 != model.blobSha256())
        return VoiceProfileError::otherModel();
    profile.similarityThreshold = float(object.value(QStringLiteral("similarity_threshold")).toDouble(2.0));
    profile.scoreFloor = float(object.value(QStringLiteral("score_floor")).toDouble(2.0));
    if (!(profile.similarityThreshold >= -1.0f && profile.similarityThreshold <= 1.0f)
        || !(profile.scoreFloor >= 0.0f && profile.scoreFloor <= 1.0f))
        return VoiceProfileError::corrupt();
    const QJsonArray list = object.value(QStringLiteral("templates")).toArray();
    if (list.isEmpty())
        return VoiceProfileError::corrupt();
    for (const QJsonValue& entry : list) {
        const QJsonArray values = entry.toArray();
        if (values.size() != model.embeddingSize())
            return VoiceProfileError::corrupt();
        std::vector<float> t;
        t.reserve(std::size_t(values.size()));
        for (const QJsonValue& v : values) {
            if (!v.isDouble())
                return VoiceProfileError::corrupt();
            t.push_back(float(v.toDouble()));
        }
        profile.templates.push_back(std::move(t));
    }
    return profile;
}

} // namespace selvina::wake

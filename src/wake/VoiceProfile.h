// VoiceProfile: what personal enrolment learned of one user's "hej Selvina" — the network's embedding
// of each recording and the similarity that counts as a match — and its small JSON file.
// Thread: any (plain value type).
#pragma once

#include "core/Result.h"

#include <QString>

#include <vector>

namespace selvina::wake {

class WakeModel;

class VoiceProfileError {
public:
    enum class Kind { missing, unreadable, corrupt, otherModel, notWritten };

    static VoiceProfileError missing() { return {Kind::missing, {}}; }
    static VoiceProfileError unreadable(QString path) { return {Kind::unreadable, std::move(path)}; }
    static VoiceProfileError corrupt() { return {Kind::corrupt, {}}; }
    static VoiceProfileError otherModel() { return {Kind::otherModel, {}}; }
    static VoiceProfileError notWritten(QString path) { return {Kind::notWritten, std::move(path)}; }

    Kind kind() const { return m_kind; }
    QString description() const;
    bool operator==(const VoiceProfileError&) const = default;

private:
    VoiceProfileError(Kind kind, QString path) : m_kind(kind), m_path(std::move(path)) {}
    Kind m_kind;
    QString m_path;
};

struct VoiceProfile {
    std::vector<std::vector<float>> templates; // one embedding per accepted recording
    float similarityThreshold = 1.0f; // cosine similarity to the nearest template that counts as a match
    float scoreFloor = 1.0f; // network score a window still needs for a voice match to count
    QString modelSha256; // the blob checksum of the model that made the embeddings

    Status<VoiceProfileError> save(const QString& path) const;
    // Refuses a file made with a model other than `model` (its embeddings would mean nothing).
    static Result<VoiceProfile, VoiceProfileError> load(const QString& path, const WakeModel& model);
    // The cosine similarity of `embedding` to the nearest template (−1 without templates).
    float nearestSimilarity(const float* embedding) const noexcept;
};

float cosineSimilarity(const float* a, const float* b, std::size_t n) noexcept;

} // namespace selvina::wake

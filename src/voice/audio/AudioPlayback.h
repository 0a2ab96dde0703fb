// AudioPlayback: what the conversation needs of the speakers — the model's voice queued in order, a
// looping work sound, a wait until everything queued has been heard, a flush, how much of the current
// answer item was heard, and the output level — and the error its start reports.
// Thread: the creating thread.
#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

namespace selvina::voice {

class SpeakerPlaybackError {
public:
    enum class Kind { engineFailed, noOutputDevice };

    static SpeakerPlaybackError engineFailed(QString cause) { return {Kind::engineFailed, std::move(cause)}; }
    static SpeakerPlaybackError noOutputDevice() { return {Kind::noOutputDevice, {}}; }

    Kind kind() const { return m_kind; }
    QString description() const;
    bool operator==(const SpeakerPlaybackError&) const = default;

private:
    SpeakerPlaybackError(Kind kind, QString detail) : m_kind(kind), m_detail(std::move(detail)) {}
    Kind m_kind;
    QString m_detail;
};

class AudioPlayback : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual std::optional<double> takeLevel() = 0;
    virtual QCoro::Task<> waitUntilDrained() = 0;
    virtual QCoro::Task<> enqueue(QByteArray pcm16) = 0;
    virtual QCoro::Task<> flush() = 0;
    virtual QCoro::Task<> startWorkSound(QByteArray pcm16) = 0;
    virtual QCoro::Task<> stopWorkSound() = 0;
    virtual QCoro::Task<Status<SpeakerPlaybackError>> start() = 0;
    virtual QCoro::Task<> stop() = 0;
    // The next chunk enqueued begins a new item of the model's answer (kept in order with enqueue()).
    virtual void markItemStart() {}
    // Milliseconds of the current item (what was enqueued since markItemStart()) the listener has heard;
    // audio a flush threw away never counts. Absent when the playback cannot know.
    virtual QCoro::Task<std::optional<qint64>> itemHeardMs() { co_return std::nullopt; }

Q_SIGNALS:
    void levelAvailable();
    // The sound server went away and came back (restarted): the stream has been reopened on it.
    // `connection`: the new server connection's number, the same for every stream reopened on it.
    void soundServerBack(quint64 connection);
    // It did not come back in time: the stream stays closed; `sentence` tells the user.
    void soundServerGone(const QString& sentence);
};

} // namespace selvina::voice

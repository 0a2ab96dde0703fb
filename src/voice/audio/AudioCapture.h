// AudioCapture: what the conversation needs of a microphone — PCM16 mono 24 kHz frames and an input
// level, taken when the signals say something is waiting — and the error its start reports.
// Thread: the creating thread.
#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

namespace selvina::voice {

// Errors follow one shape across the code: a class with a Kind, a named constructor per kind taking
// only what the sentence needs, and description() = the Polish sentence the user hears.
class MicrophoneCaptureError {
public:
    enum class Kind { unsupportedInputFormat, engineFailed, accessDenied, noInputDevice };

    static MicrophoneCaptureError unsupportedInputFormat(QString format) { return {Kind::unsupportedInputFormat, std::move(format)}; }
    static MicrophoneCaptureError engineFailed(QString cause) { return {Kind::engineFailed, std::move(cause)}; }
    static MicrophoneCaptureError accessDenied() { return {Kind::accessDenied, {}}; }
    static MicrophoneCaptureError noInputDevice() { return {Kind::noInputDevice, {}}; }

    Kind kind() const { return m_kind; }
    QString description() const;
    bool operator==(const MicrophoneCaptureError&) const = default;

private:
    MicrophoneCaptureError(Kind kind, QString detail) : m_kind(kind), m_detail(std::move(detail)) {}
    Kind m_kind;
    QString m_detail;
};

class AudioCapture : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual std::optional<QByteArray> takeFrame() = 0;
    virtual std::optional<double> takeLevel() = 0;
    virtual QCoro::Task<Status<MicrophoneCaptureError>> start() = 0;
    virtual QCoro::Task<> stop() = 0;

Q_SIGNALS:
    void framesAvailable();
    void levelAvailable();
    // The sound server went away and came back (restarted): the stream has been reopened on it.
    // `connection`: the new server connection's number, the same for every stream reopened on it.
    void soundServerBack(quint64 connection);
    // It did not come back in time: the stream stays closed; `sentence` tells the user.
    void soundServerGone(const QString& sentence);
};

} // namespace selvina::voice

// One HTTP exchange with the OpenAI service for the settings: the configured base address and
// key, a time limit on the caller's clock, a cap on the answer, and a way to call it off.
// Thread: main thread.
#pragma once

#include "core/Clock.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace selvina::settings {

// How the settings reach the service; the application builds it from its configuration.
struct ServiceAccess {
    std::function<QUrl(const QString& path)> endpoint; // the configured base address + path
    std::function<std::optional<QString>()> apiKey;    // the OpenAI key, resolved afresh on each call
};

struct ServiceReply {
    enum class Outcome { answered, unreachable, timedOut, oversized, cancelled };
    Outcome outcome = Outcome::cancelled;
    int status = 0;   // the HTTP status, when answered
    QByteArray body;  // when answered
    QString problem;  // for unreachable: what went wrong, in Polish
};

// Calls an exchange off: it then ends with Outcome::cancelled.
class ServiceCancel {
public:
    void cancel();
    bool cancelled() const { return m_cancelled; }

private:
    friend QCoro::Task<ServiceReply> exchange(QNetworkAccessManager&, QNetworkRequest, QByteArray, QByteArray, Clock&,
                                              std::chrono::milliseconds, qint64, std::shared_ptr<ServiceCancel>);
    QPointer<QNetworkReply> m_reply;
    bool m_cancelled = false;
};

// Sends `verb` with `body` (empty for GET). The exchange also ends (cancelled) when the manager goes.
QCoro::Task<ServiceReply> exchange(QNetworkAccessManager& network, QNetworkRequest request, QByteArray verb,
                                   QByteArray body, Clock& clock, std::chrono::milliseconds timeout, qint64 maxBytes,
                                   std::shared_ptr<ServiceCancel> cancel);

} // namespace selvina::settings

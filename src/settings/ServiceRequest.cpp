#include "settings/ServiceRequest.h"

#include "core/NetworkFailure.h"

#include <QFuture>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPromise>

#include <qcoro/qcorofuture.h>

namespace selvina::settings {

void ServiceCancel::cancel()
{
    m_cancelled = true;
    if (m_reply && !m_reply->isFinished())
        m_reply->abort();
}

QCoro::Task<ServiceReply> exchange(QNetworkAccessManager& network, QNetworkRequest request, QByteArray verb,
                                   QByteArray body, Clock& clock, std::chrono::milliseconds timeout, qint64 maxBytes,
                                   std::shared_ptr<ServiceCancel> cancel)
{
    auto result = std::make_shared<ServiceReply>();
    if (cancel->cancelled())
        co_return *result;
    const QString host = request.url().host();
    QNetworkReply* reply = verb == "GET" ? network.get(request) : network.sendCustomRequest(request, verb, body);
    cancel->m_reply = reply;

    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    QFuture<void> done = promise->future();
    auto timedOut = std::make_shared<bool>(false);
    auto oversized = std::make_shared<bool>(false);
    const auto take = [reply, result, oversized, maxBytes] {
        while (reply->bytesAvailable() > 0 && !*oversized) {
            result->body += reply->read(maxBytes + 1 - result->body.size());
            if (result->body.size() > maxBytes) {
                *oversized = true;
                result->body.clear();
                reply->abort();
            }
        }
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, take);
    QObject::connect(reply, &QNetworkReply::finished, reply, [=] {
        if (!*oversized)
            take();
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (cancel->cancelled())
            result->outcome = ServiceReply::Outcome::cancelled;
        else if (*timedOut)
            result->outcome = ServiceReply::Outcome::timedOut;
        else if (*oversized)
            result->outcome = ServiceReply::Outcome::oversized;
        else if (status.isValid() && reply->error() != QNetworkReply::OperationCanceledError) {
            result->outcome = ServiceReply::Outcome::answered;
            result->status = status.toInt();
        } else {
            result->outcome = ServiceReply::Outcome::unreachable;
            result->problem = networkFailureText(reply->error(), host);
            result->body.clear();
        }
        reply->deleteLater();
        promise->finish();
    });
    // The manager deletes its replies when it goes; the exchange then ends as cancelled.
    QObject::connect(reply, &QObject::destroyed, [promise] {
        if (!promise->future().isFinished())
            promise->finish();
    });
    const auto deadline = clock.after(timeout, [reply = QPointer<QNetworkReply>(reply), timedOut] {
        if (reply && !reply->isFinished()) {
            *timedOut = true;
            reply->abort();
        }
    });
    co_await done;
    co_return *result;
}

} // namespace selvina::settings

// An HTTP service on 127.0.0.1: records every request in full and answers it with what the test
// set, or keeps silent. Thread: the test's main thread.
#pragma once

#include "LoopbackRealtimeServer.h"

#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <functional>

namespace selvina::testing {

class LoopbackHttp {
public:
    struct Request {
        QByteArray method, path, body;
        QHash<QByteArray, QByteArray> headers; // names lower-cased
        // "METHOD path | authorization | content type", for one comparison.
        QByteArray head() const
        {
            return method + ' ' + path + " | " + headers.value("authorization") + " | " + headers.value("content-type");
        }
    };
    // The raw answer to the next requests; empty: no answer at all.
    QByteArray answer;
    // Raw answers by request path, given before `answer`.
    QHash<QByteArray, QByteArray> routes;
    // When set, writes the answer itself to the socket of a whole request instead.
    std::function<void(QTcpSocket*)> respond;
    QList<Request> requests;

    LoopbackHttp()
    {
        m_server.listen(QHostAddress::LocalHost);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection())
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] { read(s); });
        });
    }
    QUrl url(const QString& path = {}) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()) + path);
    }
    static QByteArray reply(int status, const QByteArray& type, const QByteArray& body)
    {
        return "HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Type: " + type + "\r\nContent-Length: "
               + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    }
    static QByteArray json(int status, const QJsonObject& body)
    {
        return reply(status, "application/json", QJsonDocument(body).toJson(QJsonDocument::Compact));
    }
    bool waitForRequests(qsizetype count)
    {
        return LoopbackRealtimeServer::waitFor([&] { return requests.size() >= count; }, std::chrono::seconds(10));
    }

private:
    void read(QTcpSocket* s)
    {
        QByteArray& data = m_pending[s];
        data += s->readAll();
        const qsizetype end = data.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        Request request;
        const QList<QByteArray> lines = data.left(end).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.path = first.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
        }
        const qsizetype length = request.headers.value("content-length", "0").toLongLong();
        if (data.size() - end - 4 < length)
            return;
        request.body = data.mid(end + 4, length);
        m_pending.remove(s);
        requests.append(request);
        if (respond) {
            respond(s);
        } else if (const QByteArray raw = routes.value(request.path, answer); !raw.isEmpty()) {
            s->write(raw);
            s->disconnectFromHost();
        }
    }
    QTcpServer m_server;
    QHash<QTcpSocket*, QByteArray> m_pending;
};

} // namespace selvina::testing

// Qt's network errors are English; a blind user hears what went wrong in Polish.
// Header-only: include it only where Qt Network is linked.
// Thread: any.
#pragma once

#include <QNetworkReply>
#include <QString>

namespace selvina {

inline QString networkFailureText(QNetworkReply::NetworkError error, const QString& host)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("serwer %1 odmówił połączenia").arg(host);
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("serwer %1 zerwał połączenie").arg(host);
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("nie znaleziono serwera %1").arg(host);
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("nie udało się nawiązać bezpiecznego połączenia z %1").arg(host);
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return QStringLiteral("brak połączenia z siecią");
    default:
        return QStringLiteral("połączenie z %1 nie powiodło się").arg(host);
    }
}

} // namespace selvina

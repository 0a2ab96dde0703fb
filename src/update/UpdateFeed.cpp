#include "update/UpdateFeed.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QVersionNumber>

#ifndef SELVINA_VERSION
#define SELVINA_VERSION "?"
#endif
#ifndef SELVINA_BUILD_NUMBER
#define SELVINA_BUILD_NUMBER "0"
#endif
#ifndef SELVINA_UPDATE_FEED_URL
#define SELVINA_UPDATE_FEED_URL ""
#endif
#ifndef SELVINA_UPDATE_PUBLIC_KEY
#define SELVINA_UPDATE_PUBLIC_KEY ""
#endif

namespace selvina::update {

bool BuildIdentity::isNewerThan(const BuildIdentity& other) const
{
    const int byVersion = QVersionNumber::compare(QVersionNumber::fromString(version), QVersionNumber::fromString(other.version));
    if (byVersion != 0)
        return byVersion > 0;
    return build.toULongLong() > other.build.toULongLong();
}

BuildIdentity currentBuild()
{
    const QString version = QStringLiteral(SELVINA_VERSION);
    const QString build = QStringLiteral(SELVINA_BUILD_NUMBER);
    return {version.isEmpty() ? QStringLiteral("?") : version, build.isEmpty() ? QStringLiteral("0") : build};
}

std::optional<QUrl> feedAddress()
{
    const QUrl url(QStringLiteral(SELVINA_UPDATE_FEED_URL));
    if (url.isEmpty() || !url.isValid() || !isAllowedAddress(url))
        return std::nullopt;
    return url;
}

QByteArray releaseKey()
{
    return QByteArrayLiteral(SELVINA_UPDATE_PUBLIC_KEY);
}

bool isAllowedAddress(const QUrl& url)
{
    if (url.scheme() == u"https")
        return !url.host().isEmpty();
    if (url.scheme() != u"http")
        return false;
    const QHostAddress host(url.host());
    return url.host() == u"localhost" || (!host.isNull() && host.isLoopback());
}

Result<UpdateOffer, UpdateError> UpdateOffer::parse(const QByteArray& document)
{
    QJsonParseError parseError;
    const QJsonDocument json = QJsonDocument::fromJson(document, &parseError);
    if (!json.isObject())
        return UpdateError::feedUnreadable(QStringLiteral("to nie jest dokument JSON"));
    const QJsonObject o = json.object();
    static const QRegularExpression kBuild(QStringLiteral("^[0-9]{1,18}$"));
    static const QRegularExpression kVersion(QStringLiteral("^[0-9]+(\\.[0-9]+){0,3}$"));
    UpdateOffer offer;
    offer.release.version = o.value(u"version").toString();
    offer.release.build = o.value(u"build").toString();
    offer.archive = QUrl(o.value(u"url").toString());
    offer.size = o.value(u"size").toInteger(-1);
    offer.signature = o.value(u"signature").toString().toUtf8();
    if (!kVersion.match(offer.release.version).hasMatch() || !kBuild.match(offer.release.build).hasMatch())
        return UpdateError::feedUnreadable(QStringLiteral("brak wersji albo numeru budowy"));
    if (!offer.archive.isValid() || !isAllowedAddress(offer.archive))
        return UpdateError::feedUnreadable(QStringLiteral("adres archiwum nie jest adresem https"));
    if (offer.size <= 0)
        return UpdateError::feedUnreadable(QStringLiteral("brak rozmiaru archiwum"));
    if (offer.signature.isEmpty())
        return UpdateError::feedUnreadable(QStringLiteral("brak podpisu"));
    return offer;
}

bool trustedCommentNames(const QByteArray& comment, const BuildIdentity& release)
{
    const QStringList words = QString::fromUtf8(comment).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return words.contains(QStringLiteral("version:") + release.version) && words.contains(QStringLiteral("build:") + release.build);
}

} // namespace selvina::update

#include "platform/linux/dbus/PortalScreenshot.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QUrl>

namespace selvina::platform {

using capture::ScreenCaptureError;

namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
constexpr int kCallTimeoutMs = 10'000;

// KDE's portal asks nothing for a non-interactive screenshot: it writes the picture into the
// user's Pictures folder, and answers as if the request were cancelled when it cannot.
bool kdePortal()
{
    return QProcessEnvironment::systemEnvironment().value(QStringLiteral("XDG_CURRENT_DESKTOP")).toUpper().split(QLatin1Char(':')).contains(
        QStringLiteral("KDE"));
}

} // namespace

QString PortalScreenshot::notSavedText(const QString& pictures)
{
    return QStringLiteral("portal KDE nie zapisał zrzutu w folderze obrazów (%1). Sprawdź, czy ten folder istnieje i czy "
                          "możesz w nim zapisywać, i poproś o zrzut jeszcze raz.")
        .arg(pictures);
}

const QString PortalScreenshot::kDismissed = QStringLiteral(
    "pytanie pulpitu o zrzut ekranu zamknięto bez odpowiedzi. Poproś o zrzut jeszcze raz i wybierz w pytaniu Zezwól.");

PortalScreenshot::PortalScreenshot(QObject* parent) : QObject(parent) {}

QString PortalScreenshot::windowsUnavailableText()
{
    return QStringLiteral("W sesji Wayland pulpit pozwala przechwycić tylko cały ekran, nie pojedyncze okno. "
                          "Użyj zakresu full_screen.");
}

// The portal keeps the user's answer for applications outside a sandbox in its permission store;
// only a stored "no" refuses (no entry yet: the portal will ask).
bool PortalScreenshot::accessGranted()
{
    QDBusMessage lookup = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.impl.portal.PermissionStore"), QStringLiteral("/org/freedesktop/impl/portal/PermissionStore"),
        QStringLiteral("org.freedesktop.impl.portal.PermissionStore"), QStringLiteral("Lookup"));
    lookup << QStringLiteral("screenshot") << QStringLiteral("screenshot");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(lookup, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return true;
    const QDBusArgument permissions = reply.arguments().first().value<QDBusArgument>();
    QMap<QString, QStringList> table;
    permissions >> table;
    return table.value(QString()) != QStringList{QStringLiteral("no")};
}

Result<capture::ShareableContent, ScreenCaptureError> PortalScreenshot::content()
{
    capture::ShareableContent content;
    content.displays.push_back({0, QRect()}); // its size is the picture's
    content.mainDisplayId = 0;
    content.windowsUnavailable = windowsUnavailableText();
    return content;
}

Result<QImage, ScreenCaptureError> PortalScreenshot::captureDisplay(const capture::CaptureDisplay&, QSize)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return ScreenCaptureError::captureFailed(QStringLiteral("brak połączenia z magistralą sesji"));
    // The request's object path is known in advance, so its answer is listened for before asking.
    const QString token = QStringLiteral("selvina%1").arg(QRandomGenerator::global()->generate());
    const QString sender = bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString requestPath = kPortalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    {
        std::lock_guard lock(m_mutex);
        m_answer.reset();
    }
    bus.connect(kPortal, requestPath, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"), this,
                SLOT(response(uint, QVariantMap)));
    const auto forget = qScopeGuard([&] {
        bus.disconnect(kPortal, requestPath, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"),
                       this, SLOT(response(uint, QVariantMap)));
    });

    // A fresh home has no Pictures folder yet; the picture is removed from it once read.
    const bool kde = kdePortal();
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (kde && !pictures.isEmpty())
        QDir().mkpath(pictures);

    QDBusMessage call = QDBusMessage::createMethodCall(kPortal, kPortalPath, QStringLiteral("org.freedesktop.portal.Screenshot"),
                                                       QStringLiteral("Screenshot"));
    call << QString() << QVariantMap{{QStringLiteral("handle_token"), token}, {QStringLiteral("interactive"), false}};
    const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return ScreenCaptureError::captureFailed(QStringLiteral("portal pulpitu nie wykonał zrzutu ekranu (") + reply.errorName()
                                                 + QLatin1Char(')'));

    std::unique_lock lock(m_mutex);
    if (!m_answered.wait_for(lock, kAnswerTimeout, [this] { return m_answer.has_value(); }))
        return ScreenCaptureError::captureFailed(QStringLiteral("portal pulpitu nie odpowiedział w ciągu minuty"));
    const auto [code, results] = *m_answer;
    lock.unlock();
    // 1: the question was closed without an answer (nothing is stored, the next request asks
    // again), or on KDE the picture could not be saved; 2: refused, now or by an answer stored earlier.
    if (code == 1)
        return ScreenCaptureError::captureFailed(kde ? notSavedText(pictures) : kDismissed);
    if (code != 0)
        return ScreenCaptureError::permissionDenied();
    const QString file = QUrl(results.value(QStringLiteral("uri")).toString()).toLocalFile();
    QImage image(file);
    QFile::remove(file); // the portal leaves the picture in a temporary file that is ours to remove
    if (image.isNull())
        return ScreenCaptureError::captureFailed(QStringLiteral("nie udało się odczytać obrazu od portalu pulpitu"));
    return image.convertToFormat(QImage::Format_RGB32);
}

Result<QImage, ScreenCaptureError> PortalScreenshot::captureWindow(const capture::CaptureWindow&, QSize)
{
    return ScreenCaptureError::noWindowFound(windowsUnavailableText());
}

void PortalScreenshot::response(uint code, const QVariantMap& results)
{
    {
        std::lock_guard lock(m_mutex);
        m_answer = std::pair(code, results);
    }
    m_answered.notify_all();
}

} // namespace selvina::platform

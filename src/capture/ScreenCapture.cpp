#include "capture/ScreenCapture.h"

#include <QBuffer>
#include <QImageWriter>

#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <cmath>

namespace selvina::capture {

namespace {

QString sizeText(QSize size)
{
    return QString::number(size.width()) + QChar(u'×') + QString::number(size.height());
}

QString windowLabel(const QString& label, const CaptureWindow& window)
{
    const QString application = window.applicationName.value_or(QStringLiteral("nieznana aplikacja"));
    if (!window.title.isEmpty())
        return label + QStringLiteral(" „") + window.title + QStringLiteral("” (") + application + QLatin1Char(')');
    return label + QStringLiteral(" aplikacji ") + application;
}

// Composed and decomposed letters must match alike: a query typed or spoken arrives in either form.
QString folded(const QString& text)
{
    return text.normalized(QString::NormalizationForm_C).toLower();
}

CaptureTarget windowTarget(const QString& label, const CaptureWindow& window)
{
    const QSize size(std::max(1, window.frame.width()), std::max(1, window.frame.height()));
    return {window, size, windowLabel(label, window)};
}

} // namespace

QString fullScreenDescription(QSize size)
{
    return QStringLiteral("cały ekran (wyświetlacz główny, ") + sizeText(size) + QStringLiteral(" px)");
}

Result<CaptureTarget, ScreenCaptureError> chooseTarget(const ShareableContent& content, const ScreenCaptureScope& scope)
{
    if (scope.kind == ScreenCaptureScope::Kind::fullScreen) {
        if (content.displays.empty())
            return ScreenCaptureError::noDisplayFound();
        auto display = std::find_if(content.displays.begin(), content.displays.end(),
                                    [&](const CaptureDisplay& d) { return d.id == content.mainDisplayId; });
        if (display == content.displays.end())
            display = content.displays.begin();
        if (display->geometry.isEmpty())
            return CaptureTarget{*display, QSize(), QString()};
        const QSize size = display->geometry.size();
        return CaptureTarget{*display, size, fullScreenDescription(size)};
    }
    if (content.windowsUnavailable)
        return ScreenCaptureError::noWindowFound(*content.windowsUnavailable);

    const auto eligible = [](const CaptureWindow& w) { return w.onScreen && w.normalLayer; };
    if (scope.kind == ScreenCaptureScope::Kind::activeWindow) {
        // Without the owner's process id the active window itself stands for its application.
        if (!content.frontmostPid && !content.activeWindowId)
            return ScreenCaptureError::noWindowFound(QStringLiteral("Nie udało się ustalić aplikacji na pierwszym planie."));
        for (const CaptureWindow& w : content.windows) {
            const bool owned = content.frontmostPid ? w.pid == content.frontmostPid : w.id == content.activeWindowId;
            if (owned && eligible(w))
                return windowTarget(QStringLiteral("aktywne okno"), w);
        }
        return ScreenCaptureError::noWindowFound(
            QStringLiteral("Aplikacja na pierwszym planie nie ma żadnego widocznego okna do przechwycenia."));
    }

    const QString query = folded(scope.query);
    const CaptureWindow* match = nullptr;
    for (const CaptureWindow& w : content.windows) {
        if (!eligible(w))
            continue;
        if (folded(w.title).contains(query)
            || (w.applicationName && folded(*w.applicationName).contains(query))) {
            match = &w;
            break;
        }
    }
    if (!match)
        return ScreenCaptureError::noWindowFound(QStringLiteral("Nie znaleziono żadnego okna pasującego do „") + scope.query
                                                 + QStringLiteral("”."));
    return windowTarget(QStringLiteral("okno"), *match);
}

Result<CapturedImage, ScreenCaptureError> encodeCapture(const QImage& image)
{
    if (image.isNull())
        return ScreenCaptureError::encodingFailed();
    const int w = image.width(), h = image.height();
    const double scale = std::min(double(kLongestSide) / std::max(w, h), 1.0);
    CapturedImage out;
    out.originalWidth = w;
    out.originalHeight = h;
    out.pixelWidth = std::max(1, int(std::lround(w * scale)));
    out.pixelHeight = std::max(1, int(std::lround(h * scale)));
    QImage scaled = image;
    if (scale < 1.0) {
        scaled = image.scaled(out.pixelWidth, out.pixelHeight, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        if (scaled.isNull())
            return ScreenCaptureError::encodingFailed();
    }
    QBuffer buffer(&out.jpegData);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(kJpegQuality);
    if (!writer.write(scaled) || out.jpegData.isEmpty())
        return ScreenCaptureError::encodingFailed();
    return out;
}

Result<CapturedImage, ScreenCaptureError> captureWith(ScreenCaptureProvider& provider, const ScreenCaptureScope& scope)
{
    if (!provider.accessGranted())
        return ScreenCaptureError::permissionDenied();
    auto content = provider.content();
    if (!content)
        return content.error();
    auto target = chooseTarget(content.value(), scope);
    if (!target)
        return target.error();
    const CaptureTarget& t = target.value();
    auto image = std::holds_alternative<CaptureDisplay>(t.source)
                     ? provider.captureDisplay(std::get<CaptureDisplay>(t.source), t.size)
                     : provider.captureWindow(std::get<CaptureWindow>(t.source), t.size);
    if (!image)
        return image.error();
    auto encoded = encodeCapture(image.value());
    if (!encoded)
        return encoded.error();
    encoded.value().sourceDescription =
        t.sourceDescription.isEmpty() ? fullScreenDescription(image.value().size()) : t.sourceDescription;
    return encoded;
}

ScreenCapture::ScreenCapture(std::unique_ptr<ScreenCaptureProvider> provider) : m_provider(std::move(provider)) {}

QCoro::Task<Result<CapturedImage, ScreenCaptureError>> ScreenCapture::capture(ScreenCaptureScope scope)
{
    using Outcome = Result<CapturedImage, ScreenCaptureError>;
    if (m_capturing++ == 0 && m_overlay.withdraw)
        m_withdrawn = m_overlay.withdraw();
    ScreenCaptureProvider* provider = m_provider.get();
    auto future = m_worker.run(
        [provider, scope, withdrawn = m_withdrawn]() -> Outcome {
            if (!withdrawn.empty())
                provider->awaitRedrawBelow(withdrawn);
            return captureWith(*provider, scope);
        },
        []() -> Outcome { return ScreenCaptureError::captureFailed(QStringLiteral("błąd wewnętrzny")); });
    Outcome outcome = co_await future;
    if (--m_capturing == 0) {
        m_withdrawn.clear();
        if (m_overlay.restore)
            m_overlay.restore();
    }
    co_return outcome;
}

} // namespace selvina::capture

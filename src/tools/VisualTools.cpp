#include "tools/VisualTools.h"

#include "core/NetworkFailure.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QPromise>

#include <qcoro/qcorofuture.h>

namespace selvina::tools {

using capture::CapturedImage;
using capture::ScreenCaptureError;
using capture::ScreenCaptureScope;

namespace {

const QString kDataURLPrefix = QStringLiteral("data:image/jpeg;base64,");

// The two visual tools let a capture error through with its own sentence.
ToolError passedThrough(const ScreenCaptureError& error)
{
    return ToolError::described(error.description());
}

QString decodeFailure(const QString& detail)
{
    return QStringLiteral("Nie udało się odczytać argumentów: ") + detail;
}

// The two visual tools' schema: scope, window_query and one text of their own, as pretty JSON.
QString visualSchema(const QString& key, const QString& description)
{
    return QStringLiteral(R"json({
  "type": "object",
  "properties": {
    "scope": {
      "type": "string",
      "enum": [
        "full_screen",
        "active_window",
        "window"
      ],
      "description": "Zakres zrzutu."
    },
    "window_query": {
      "type": "string",
      "description": "Fragment tytułu okna lub nazwy aplikacji — tylko dla scope równego window."
    },
    "%1": {
      "type": "string",
      "description": "%2"
    }
  },
  "required": [
    "scope"
  ],
  "additionalProperties": false
})json")
        .arg(key, description);
}

} // namespace

ToolDefinition ScreenshotTool::definition() const
{
    return {
        QStringLiteral("take_screenshot"),
        QStringLiteral(
            "Robi zrzut ekranu (cały ekran, aktywne okno na pierwszym planie albo konkretne okno wskazane fragmentem "
            "tytułu lub nazwy aplikacji) i zwraca opis techniczny przechwyconego obrazu — rozmiar i zakres. To "
            "narzędzie NIE opisuje treści obrazu. Użyj go, gdy sam obraz ma trafić dalej poza rozmowę modelu; do "
            "uzyskania opisu treści po polsku w jednym kroku użyj zamiast tego describe_visual."),
        QStringLiteral(R"json({
  "type": "object",
  "properties": {
    "scope": {
      "type": "string",
      "enum": [
        "full_screen",
        "active_window",
        "window"
      ],
      "description": "Zakres przechwytywania: cały ekran, aktywne okno albo konkretne okno wskazane przez window_query."
    },
    "window_query": {
      "type": "string",
      "description": "Fragment tytułu okna lub nazwy aplikacji — wymagany, gdy scope = \"window\"."
    }
  },
  "required": [
    "scope"
  ]
})json"),
        ActionClass::read,
    };
}

// The strict decoder: "scope" is a required string, "window_query" an optional one.
Result<ScreenCaptureScope, ToolError> ScreenshotTool::decode(const QString& argumentsJSON)
{
    if (!argumentsJSON.isValidUtf16())
        return ToolError::invalidArguments(QStringLiteral("Argumenty nie są poprawnym tekstem UTF-8."));
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(argumentsJSON.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return ToolError::invalidArguments(
            decodeFailure(QStringLiteral("to nie jest poprawny JSON (błąd przy znaku %1).").arg(parseError.offset)));
    if (!document.isObject())
        return ToolError::invalidArguments(decodeFailure(QStringLiteral("oczekiwano obiektu JSON.")));
    const QJsonObject object = document.object();
    const QJsonValue scope = object.value(QStringLiteral("scope"));
    if (scope.isUndefined() || scope.isNull())
        return ToolError::invalidArguments(decodeFailure(QStringLiteral("brak wymaganego pola „scope”.")));
    if (!scope.isString())
        return ToolError::invalidArguments(decodeFailure(QStringLiteral("pole „scope” musi być tekstem.")));
    const QJsonValue query = object.value(QStringLiteral("window_query"));
    if (!query.isUndefined() && !query.isNull() && !query.isString())
        return ToolError::invalidArguments(decodeFailure(QStringLiteral("pole „window_query” musi być tekstem.")));

    const QString raw = scope.toString();
    if (raw == u"full_screen")
        return ScreenCaptureScope::fullScreen();
    if (raw == u"active_window")
        return ScreenCaptureScope::activeWindow();
    if (raw == u"window") {
        const QString text = query.toString();
        if (text.trimmed().isEmpty())
            return ToolError::invalidArguments(QStringLiteral("window_query jest wymagany, gdy scope = \"window\"."));
        return ScreenCaptureScope::window(text);
    }
    return ToolError::invalidArguments(QStringLiteral("Nieznany zakres \"") + raw
                                       + QStringLiteral("\". Dozwolone: full_screen, active_window, window."));
}

ToolError ScreenshotTool::asToolError(const ScreenCaptureError& error)
{
    switch (error.kind()) {
    case ScreenCaptureError::Kind::permissionDenied:
        return ToolError::notPermitted(error.description());
    case ScreenCaptureError::Kind::noWindowFound:
    case ScreenCaptureError::Kind::captureFailed:
    case ScreenCaptureError::Kind::noDisplayFound:
    case ScreenCaptureError::Kind::encodingFailed:
        break;
    }
    return ToolError::failed(error.description());
}

QString ScreenshotTool::report(const CapturedImage& image)
{
    const auto size = [](int w, int h) { return QString::number(w) + QChar(u'×') + QString::number(h); };
    const qint64 kilobytes = std::max<qint64>(image.jpegData.size(), 1024) / 1024;
    return QStringLiteral("Zrzut ekranu: ") + image.sourceDescription + QStringLiteral(". Rozmiar po skalowaniu: ")
           + size(image.pixelWidth, image.pixelHeight) + QStringLiteral(" px (oryginalnie ")
           + size(image.originalWidth, image.originalHeight) + QStringLiteral(" px), JPEG ok. ")
           + QString::number(kilobytes) + QStringLiteral(" KB.");
}

QCoro::Task<ToolOutcome> ScreenshotTool::execute(QString argumentsJSON)
{
    const auto scope = decode(argumentsJSON);
    if (!scope)
        co_return scope.error();
    auto capture = m_capture;
    const auto image = co_await capture->capture(scope.value());
    if (!image)
        co_return asToolError(image.error());
    co_return report(image.value());
}

Result<VisualArguments, ToolError> VisualArguments::decode(const QString& argumentsJSON)
{
    const QJsonDocument document = QJsonDocument::fromJson(argumentsJSON.toUtf8());
    if (!document.isObject())
        return ToolError::invalidArguments(QStringLiteral("nieprawidłowy JSON"));
    const QJsonObject object = document.object();
    const auto text = [&](const char* key) -> std::optional<QString> {
        const QJsonValue v = object.value(QLatin1String(key));
        return v.isString() ? std::optional(v.toString().trimmed()) : std::nullopt;
    };
    VisualArguments a;
    a.focus = text("focus");
    a.question = text("question");
    const std::optional<QString> query = text("window_query");
    const std::optional<QString> scope = text("scope");
    if (!scope || *scope == u"full_screen") {
        a.scope = ScreenCaptureScope::fullScreen();
    } else if (*scope == u"active_window") {
        a.scope = ScreenCaptureScope::activeWindow();
    } else if (*scope == u"window") {
        if (!query || query->isEmpty())
            return ToolError::invalidArguments(QStringLiteral("dla zakresu „window” trzeba podać window_query"));
        a.scope = ScreenCaptureScope::window(*query);
    } else {
        return ToolError::invalidArguments(QStringLiteral("nieznany zakres „") + object.value(QStringLiteral("scope")).toString()
                                           + QStringLiteral("”"));
    }
    return a;
}

ToolDefinition DescribeVisualTool::definition() const
{
    return {
        QStringLiteral("describe_visual"),
        QStringLiteral(
            "Pokazuje Ci zawartość ekranu jako obraz, żebyś mógł ją opisać własnymi słowami i odpowiadać na dalsze "
            "pytania o to samo ujęcie. Użyj, gdy treść jest graficzna (wykres, zdjęcie, mapa, skan) albo gdy "
            "aplikacja nie udostępnia drzewa dostępności. Jeśli informację da się odczytać narzędziem read_screen, "
            "zrób to zamiast tego — jest szybsze i dokładniejsze dla samego tekstu interfejsu. Do gęstych tabel, "
            "drobnego druku i dokumentów wymagających precyzji użyj analyze_visual_precisely."),
        visualSchema(QStringLiteral("focus"), QStringLiteral("Na czym się skupić, w kontekście tego, co użytkownik akurat robi.")),
        ActionClass::read,
    };
}

QString DescribeVisualTool::prompt(const VisualArguments& arguments)
{
    if (arguments.focus)
        return QStringLiteral("Opisz ten obraz, skupiając się na: ") + *arguments.focus + QLatin1Char('.');
    return QStringLiteral("Opisz, co widać na tym obrazie.");
}

QCoro::Task<ToolOutcome> DescribeVisualTool::execute(QString argumentsJSON)
{
    const auto arguments = VisualArguments::decode(argumentsJSON);
    if (!arguments)
        co_return arguments.error();
    auto capture = m_capture;
    const auto image = co_await capture->capture(arguments.value().scope);
    if (!image)
        co_return passedThrough(image.error());
    // The engine sends nothing for an empty image; the answer is the same either way.
    if (m_voice)
        m_voice->sendImage(image.value().jpegData, prompt(arguments.value()));
    co_return QStringLiteral("Obraz z ekranu dołączony do rozmowy. Opisz, co na nim widzisz.");
}

struct AnalyzeVisualTool::Reply {
    int status = 0; // 0: no HTTP answer
    QByteArray body;
    bool oversized = false;
    bool timedOut = false;
    bool cancelled = false;
    QString transportError; // set when there was no HTTP answer
};

AnalyzeVisualTool::AnalyzeVisualTool(std::shared_ptr<capture::ScreenCapture> capture, Options options)
    : m_capture(std::move(capture)), m_options(std::move(options))
{
}

ToolDefinition AnalyzeVisualTool::definition() const
{
    return {
        QStringLiteral("analyze_visual_precisely"),
        QStringLiteral(
            "Analizuje zawartość ekranu osobnym, dokładniejszym modelem wizyjnym i zwraca opis tekstowy. Użyj do "
            "treści gęstych i wymagających precyzji: tabel, wykresów z liczbami, drobnego druku, skanów dokumentów, "
            "formularzy. Nie nadaje się do dopytywania — obraz nie zostaje w rozmowie, więc na kolejne pytanie o to "
            "samo ujęcie trzeba wywołać narzędzie ponownie. Do zwykłego pytania „co jest na ekranie” użyj "
            "describe_visual albo read_screen."),
        visualSchema(QStringLiteral("question"),
                     QStringLiteral("Konkretne pytanie o zawartość obrazu. Im węższe, tym dokładniejsza odpowiedź.")),
        ActionClass::read,
    };
}

QString AnalyzeVisualTool::prompt(const VisualArguments& arguments)
{
    return arguments.question.value_or(QStringLiteral("Opisz rzeczowo i zwięźle, co widać na tym obrazie."))
           + QStringLiteral(" Odpowiadaj po polsku, bez znaczników formatowania — tekst zostanie odczytany na głos.");
}

QByteArray AnalyzeVisualTool::requestBody(const QString& model, const QString& prompt, const QByteArray& jpeg)
{
    const QJsonObject text{{"type", "text"}, {"text", prompt}};
    const QJsonObject image{{"type", "image_url"},
                            {"image_url", QJsonObject{{"url", kDataURLPrefix + QString::fromLatin1(jpeg.toBase64())}}}};
    const QJsonObject message{{"role", "user"}, {"content", QJsonArray{text, image}}};
    return QJsonDocument(QJsonObject{{"model", model}, {"messages", QJsonArray{message}}}).toJson(QJsonDocument::Compact);
}

ToolOutcome AnalyzeVisualTool::interpret(int status, const QByteArray& body)
{
    const QString code = QString::number(status);
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonObject object = document.object();
    if (document.isObject() && object.value(QStringLiteral("error")).isObject()) {
        const QJsonValue message = object.value(QStringLiteral("error")).toObject().value(QStringLiteral("message"));
        return ToolError::failed(QStringLiteral("model wizyjny odmówił (HTTP ") + code + QStringLiteral("): ")
                                 + (message.isString() ? message.toString() : QStringLiteral("brak szczegółów")));
    }
    const QJsonValue content = object.value(QStringLiteral("choices"))
                                   .toArray()
                                   .at(0)
                                   .toObject()
                                   .value(QStringLiteral("message"))
                                   .toObject()
                                   .value(QStringLiteral("content"));
    if (document.isObject() && content.isString())
        return content.toString();
    return ToolError::failed(QStringLiteral("nieoczekiwana odpowiedź modelu wizyjnego (HTTP ") + code + QLatin1Char(')'));
}

QCoro::Task<ToolOutcome> AnalyzeVisualTool::execute(QString argumentsJSON)
{
    return execute(std::move(argumentsJSON), std::make_shared<CallCancellation>());
}

QCoro::Task<ToolOutcome> AnalyzeVisualTool::execute(QString argumentsJSON, std::shared_ptr<CallCancellation> cancellation)
{
    const auto arguments = VisualArguments::decode(argumentsJSON);
    if (!arguments)
        co_return arguments.error();
    auto capture = m_capture;
    const auto image = co_await capture->capture(arguments.value().scope);
    if (!image)
        co_return passedThrough(image.error());
    if (cancellation->isCancelled())
        co_return QStringLiteral("Analiza obrazu została przerwana.");
    const Reply reply =
        co_await post(requestBody(m_options.model, prompt(arguments.value()), image.value().jpegData), cancellation);
    if (reply.cancelled)
        co_return QStringLiteral("Analiza obrazu została przerwana.");
    if (reply.timedOut)
        co_return ToolError::described(QStringLiteral("Model wizyjny nie odpowiedział w ciągu %1 s.")
                                           .arg(std::chrono::duration_cast<std::chrono::seconds>(m_options.timeout).count()));
    if (reply.oversized)
        co_return interpret(reply.status, QByteArray());
    if (reply.status == 0)
        co_return ToolError::described(QStringLiteral("Nie udało się połączyć z modelem wizyjnym: ") + reply.transportError);
    co_return interpret(reply.status, reply.body);
}

// The body is read as it arrives and the request is dropped once it passes the cap, so that a
// runaway answer costs neither memory nor time.
QCoro::Task<AnalyzeVisualTool::Reply> AnalyzeVisualTool::post(QByteArray body, std::shared_ptr<CallCancellation> cancellation)
{
    QNetworkRequest request(m_options.endpoint);
    request.setRawHeader("Authorization", "Bearer " + m_options.apiKey.toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    QNetworkReply* network = m_network.post(request, body);
    network->setReadBufferSize(256 * 1024);

    auto reply = std::make_shared<Reply>();
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    QFuture<void> done = promise->future();
    QPointer<QNetworkReply> guard(network);
    const auto take = [network, reply] {
        while (network->bytesAvailable() > 0 && !reply->oversized) {
            reply->body += network->read(kMaxResponseBytes + 1 - reply->body.size());
            if (reply->body.size() > kMaxResponseBytes) {
                reply->oversized = true;
                reply->body.clear();
                network->abort();
            }
        }
    };
    QObject::connect(network, &QNetworkReply::readyRead, network, take);
    QObject::connect(network, &QNetworkReply::finished, network, [network, reply, promise, take] {
        const QVariant status = network->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        reply->status = status.isValid() ? status.toInt() : 0;
        if (!reply->oversized)
            take();
        if (reply->status == 0)
            reply->transportError = networkFailureText(network->error(), network->url().host());
        network->deleteLater();
        promise->finish();
    });
    const auto stop = [guard, reply](bool Reply::*why) {
        if (!guard || guard->isFinished())
            return;
        reply.get()->*why = true;
        guard->abort();
    };
    const auto deadline = m_options.clock->after(m_options.timeout, [stop] { stop(&Reply::timedOut); });
    const auto cancelled = QObject::connect(cancellation.get(), &CallCancellation::cancelled, network,
                                            [stop] { stop(&Reply::cancelled); });
    if (cancellation->isCancelled())
        stop(&Reply::cancelled);
    co_await done;
    QObject::disconnect(cancelled);
    co_return *reply;
}

} // namespace selvina::tools

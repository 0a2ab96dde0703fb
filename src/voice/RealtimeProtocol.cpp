#include "voice/RealtimeProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace selvina::voice {

namespace {

using Object = JSONValue::Object;
using Array = JSONValue::Array;

JSONValue audioFormat()
{
    const RealtimeAudioFormat format;
    return Object{{QStringLiteral("type"), format.type}, {QStringLiteral("rate"), qint64(format.rate)}};
}

JSONValue turnDetectionJson(const RealtimeTurnDetection& td)
{
    Object o{{QStringLiteral("type"), td.type}, {QStringLiteral("create_response"), td.createResponse}};
    if (td.type == QLatin1String("semantic_vad")) {
        if (td.eagerness)
            o.insert(QStringLiteral("eagerness"), *td.eagerness);
    } else {
        o.insert(QStringLiteral("threshold"), td.threshold);
        o.insert(QStringLiteral("prefix_padding_ms"), qint64(td.prefixPaddingMs));
        o.insert(QStringLiteral("silence_duration_ms"), qint64(td.silenceDurationMs));
    }
    return o;
}

JSONValue userMessage(Array content)
{
    return Object{{QStringLiteral("type"), "message"},
                  {QStringLiteral("role"), "user"},
                  {QStringLiteral("content"), std::move(content)}};
}

JSONValue inputText(const QString& text)
{
    return Object{{QStringLiteral("type"), "input_text"}, {QStringLiteral("text"), text}};
}

Object typed(const char* type)
{
    return Object{{QStringLiteral("type"), type}};
}

const QString kAsidePrefix = QStringLiteral("Powiedz krótko i spokojnie, PO POLSKU, treść tego zdania: ");
const QString kAsideSuffix =
    QStringLiteral("Nie dodawaj nic od siebie. Jeśli zdanie jest w innym języku, podaj jego polski odpowiednik.");

struct ToJson {
    JSONValue operator()(const client::SessionUpdate& e) const
    {
        Object o = typed("session.update");
        o.insert(QStringLiteral("session"), e.session.toJson());
        return o;
    }
    JSONValue operator()(const client::AppendAudio& e) const
    {
        Object o = typed("input_audio_buffer.append");
        o.insert(QStringLiteral("audio"), QString::fromLatin1(e.base64));
        return o;
    }
    JSONValue operator()(const client::FunctionCallOutput& e) const
    {
        Object o = typed("conversation.item.create");
        o.insert(QStringLiteral("item"), Object{{QStringLiteral("type"), "function_call_output"},
                                                {QStringLiteral("call_id"), e.callID},
                                                {QStringLiteral("output"), e.output}});
        return o;
    }
    JSONValue operator()(const client::UserImage& e) const
    {
        Object o = typed("conversation.item.create");
        Object image{{QStringLiteral("type"), "input_image"},
                     {QStringLiteral("image_url"), QStringLiteral("data:image/jpeg;base64,") + e.jpegBase64}};
        o.insert(QStringLiteral("item"), userMessage(Array{inputText(e.prompt), JSONValue(image)}));
        return o;
    }
    JSONValue operator()(const client::UserText& e) const
    {
        Object o = typed("conversation.item.create");
        o.insert(QStringLiteral("item"), userMessage(Array{inputText(e.text)}));
        return o;
    }
    JSONValue operator()(const client::CreateResponse& e) const
    {
        Object o = typed("response.create");
        if (e.instructions)
            o.insert(QStringLiteral("response"),
                     Object{{QStringLiteral("output_modalities"), Array{JSONValue("audio")}},
                            {QStringLiteral("instructions"), *e.instructions}});
        return o;
    }
    JSONValue operator()(const client::SpeakAside& e) const
    {
        Object o = typed("response.create");
        o.insert(QStringLiteral("response"),
                 Object{{QStringLiteral("conversation"), "none"},
                        {QStringLiteral("output_modalities"), Array{JSONValue("audio")}},
                        {QStringLiteral("instructions"), kAsidePrefix + e.text + QLatin1Char(' ') + kAsideSuffix}});
        return o;
    }
    JSONValue operator()(const client::ClearAudioBuffer&) const { return typed("input_audio_buffer.clear"); }
    JSONValue operator()(const client::CancelResponse& e) const
    {
        Object o = typed("response.cancel");
        if (e.responseID)
            o.insert(QStringLiteral("response_id"), *e.responseID);
        return o;
    }
    JSONValue operator()(const client::TurnDetectionUpdate& e) const
    {
        Object o = typed("session.update");
        o.insert(QStringLiteral("session"),
                 Object{{QStringLiteral("type"), "realtime"},
                        {QStringLiteral("audio"),
                         Object{{QStringLiteral("input"),
                                 Object{{QStringLiteral("turn_detection"),
                                         e.turnDetection ? turnDetectionJson(*e.turnDetection) : JSONValue()}}}}}});
        return o;
    }
    JSONValue operator()(const client::TruncateItem& e) const
    {
        Object o = typed("conversation.item.truncate");
        o.insert(QStringLiteral("item_id"), e.itemID);
        o.insert(QStringLiteral("content_index"), qint64(0));
        o.insert(QStringLiteral("audio_end_ms"), qint64(e.audioEndMs));
        return o;
    }
    JSONValue operator()(const client::AssistantText& e) const
    {
        Object o = typed("conversation.item.create");
        o.insert(QStringLiteral("item"),
                 Object{{QStringLiteral("type"), "message"},
                        {QStringLiteral("role"), "assistant"},
                        {QStringLiteral("content"),
                         Array{Object{{QStringLiteral("type"), "output_text"}, {QStringLiteral("text"), e.text}}}}});
        return o;
    }
    JSONValue operator()(const client::FunctionCall& e) const
    {
        Object o = typed("conversation.item.create");
        o.insert(QStringLiteral("item"), Object{{QStringLiteral("type"), "function_call"},
                                                {QStringLiteral("call_id"), e.callID},
                                                {QStringLiteral("name"), e.name},
                                                {QStringLiteral("arguments"), e.arguments}});
        return o;
    }
};

// Reads an optional string key. Returns false when the key is present with another type.
bool readString(const QJsonObject& o, QLatin1String key, std::optional<QString>& out)
{
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull())
        return true;
    if (!v.isString())
        return false;
    out = v.toString();
    return true;
}

bool readError(const QJsonObject& o, QLatin1String key, std::optional<RealtimeErrorPayload>& out)
{
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull())
        return true;
    if (!v.isObject())
        return false;
    const QJsonObject e = v.toObject();
    RealtimeErrorPayload payload;
    if (!readString(e, QLatin1String("type"), payload.type) || !readString(e, QLatin1String("code"), payload.code) ||
        !readString(e, QLatin1String("message"), payload.message) ||
        !readString(e, QLatin1String("param"), payload.param))
        return false;
    out = payload;
    return true;
}

bool readResponse(const QJsonObject& o, std::optional<RealtimeResponsePayload>& out)
{
    const QJsonValue v = o.value(QLatin1String("response"));
    if (v.isUndefined() || v.isNull())
        return true;
    if (!v.isObject())
        return false;
    const QJsonObject r = v.toObject();
    RealtimeResponsePayload payload;
    if (!readString(r, QLatin1String("id"), payload.id) || !readString(r, QLatin1String("status"), payload.status) ||
        !readString(r, QLatin1String("conversation_id"), payload.conversationID))
        return false;
    const QJsonValue d = r.value(QLatin1String("status_details"));
    if (!d.isUndefined() && !d.isNull()) {
        if (!d.isObject())
            return false;
        const QJsonObject details = d.toObject();
        RealtimeResponsePayload::StatusDetails sd;
        if (!readString(details, QLatin1String("type"), sd.type) ||
            !readString(details, QLatin1String("reason"), sd.reason) ||
            !readError(details, QLatin1String("error"), sd.error))
            return false;
        payload.statusDetails = sd;
    }
    out = payload;
    return true;
}

} // namespace

RealtimeSessionConfig RealtimeSessionConfig::make(const QString& instructions, const QString& voice,
                                                  const QList<RealtimeToolSpec>& tools)
{
    RealtimeSessionConfig c;
    c.instructions = instructions;
    c.voice = voice;
    c.tools = tools;
    c.turnDetection = RealtimeTurnDetection{};
    return c;
}

RealtimeSessionConfig RealtimeSessionConfig::fromSettings(const QString& instructions,
                                                          const QList<RealtimeToolSpec>& tools,
                                                          const SpeechSettings& s)
{
    RealtimeSessionConfig c = make(instructions, s.voice, tools);
    c.speed = s.speed;
    if (s.turnDetection == QLatin1String("off")) {
        c.turnDetection.reset();
    } else if (s.turnDetection == QLatin1String("semantic_vad")) {
        RealtimeTurnDetection td;
        td.type = QStringLiteral("semantic_vad");
        if (s.eagerness != QLatin1String("auto"))
            td.eagerness = s.eagerness;
        c.turnDetection = td;
    } else {
        RealtimeTurnDetection td;
        td.threshold = s.threshold;
        td.prefixPaddingMs = s.prefixPaddingMs;
        td.silenceDurationMs = s.silenceDurationMs;
        c.turnDetection = td;
    }
    if (s.noiseReduction != QLatin1String("off"))
        c.noiseReduction = s.noiseReduction;
    if (s.reasoningEffort && !s.reasoningEffort->isEmpty())
        c.reasoningEffort = s.reasoningEffort;
    return c;
}

JSONValue RealtimeSessionConfig::toJson() const
{
    Object input{{QStringLiteral("format"), audioFormat()}};
    if (turnDetection)
        input.insert(QStringLiteral("turn_detection"), turnDetectionJson(*turnDetection));
    else if (turnDetectionClearedExplicitly)
        input.insert(QStringLiteral("turn_detection"), JSONValue());
    if (noiseReduction)
        input.insert(QStringLiteral("noise_reduction"), Object{{QStringLiteral("type"), *noiseReduction}});
    if (transcription)
        input.insert(QStringLiteral("transcription"), Object{{QStringLiteral("model"), transcription->model},
                                                             {QStringLiteral("language"), transcription->language}});
    const Object output{{QStringLiteral("format"), audioFormat()},
                        {QStringLiteral("voice"), voice},
                        {QStringLiteral("speed"), speed}};
    Array toolArray;
    for (const RealtimeToolSpec& t : tools)
        toolArray.append(Object{{QStringLiteral("type"), t.type},
                                {QStringLiteral("name"), t.name},
                                {QStringLiteral("description"), t.description},
                                {QStringLiteral("parameters"), t.parameters}});
    Object session{{QStringLiteral("type"), "realtime"},
                   {QStringLiteral("output_modalities"), Array{JSONValue("audio")}},
                   {QStringLiteral("instructions"), instructions},
                   {QStringLiteral("audio"), Object{{QStringLiteral("input"), input}, {QStringLiteral("output"), output}}},
                   {QStringLiteral("tools"), toolArray},
                   {QStringLiteral("tool_choice"), "auto"}};
    if (reasoningEffort)
        session.insert(QStringLiteral("reasoning"), Object{{QStringLiteral("effort"), *reasoningEffort}});
    return session;
}

QString RealtimeProtocolError::description() const
{
    return QStringLiteral("Nie udało się przygotować danych dla OpenAI.");
}

JSONValue toJson(const RealtimeClientEvent& event)
{
    return std::visit(ToJson{}, event);
}

Result<QByteArray, RealtimeProtocolError> encode(const RealtimeClientEvent& event)
{
    // Microphone audio goes out fifty times a second; its frame is Base64 only, so it is written
    // directly.
    if (const auto* audio = std::get_if<client::AppendAudio>(&event)) {
        static const QByteArray head = QByteArrayLiteral(R"({"type":"input_audio_buffer.append","audio":")");
        QByteArray out;
        out.reserve(head.size() + audio->base64.size() + 2);
        out.append(head).append(audio->base64).append("\"}");
        return out;
    }
    const JSONValue json = toJson(event);
    if (!json.isEncodable())
        return RealtimeProtocolError::encodingFailed();
    return json.toJson();
}

QString closeReasonCode(const QString& reason)
{
    const QStringList pieces = reason.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    return pieces.isEmpty() ? reason : pieces.last();
}

namespace {

const QString kSessionExpired = QStringLiteral("Sesja rozmowy wygasła. Nawiązuję ją od nowa.");

// The sentence for a code the service is known to send; none for any other.
std::optional<QString> knownCodeSentence(const QString& c)
{
    if (c == QLatin1String("invalid_api_key") || c == QLatin1String("invalid_authentication"))
        return QStringLiteral("OpenAI odrzuciło klucz API. Sprawdź zmienną OPENAI_API_KEY albo plik konfiguracyjny.");
    if (c == QLatin1String("insufficient_quota") || c == QLatin1String("billing_hard_limit_reached"))
        return QStringLiteral("Konto OpenAI nie ma środków na prowadzenie rozmowy.");
    if (c == QLatin1String("rate_limit_exceeded"))
        return QStringLiteral("Przekroczono limit zapytań do OpenAI. Spróbuj za chwilę.");
    if (c == QLatin1String("session_expired"))
        return kSessionExpired;
    if (c == QLatin1String("beta_api_shape_disabled"))
        return QStringLiteral("OpenAI nie obsługuje już sposobu łączenia, którego używa ta wersja Selvina Voice. "
                              "Potrzebna jest nowsza wersja programu.");
    if (c == QLatin1String("server_error"))
        return QStringLiteral("Serwer OpenAI zgłosił błąd wewnętrzny.");
    return std::nullopt;
}

} // namespace

QString RealtimeErrorPayload::readableMessage() const
{
    const QString c = code.value_or(QString());
    if (const auto known = knownCodeSentence(c))
        return *known;
    if (!c.isEmpty())
        return QStringLiteral("OpenAI zgłosiło błąd o kodzie %1.").arg(c);
    return QStringLiteral("OpenAI zgłosiło błąd bez opisu.");
}

bool RealtimeErrorPayload::isBenign() const
{
    if (code == QLatin1String("response_cancel_not_active") || isActiveResponseConflict())
        return true;
    return message && message->contains(QLatin1String("no active response"), Qt::CaseInsensitive);
}

bool RealtimeErrorPayload::isActiveResponseConflict() const
{
    if (code == QLatin1String("conversation_already_has_active_response"))
        return true;
    // Older servers left the code out.
    return !code && message && message->contains(QLatin1String("already has an active response"), Qt::CaseInsensitive);
}

const QSet<QString>& RealtimeErrorPayload::recognizedCodes()
{
    static const QSet<QString> codes{QStringLiteral("invalid_api_key"),    QStringLiteral("invalid_authentication"),
                                     QStringLiteral("insufficient_quota"), QStringLiteral("billing_hard_limit_reached"),
                                     QStringLiteral("rate_limit_exceeded"), QStringLiteral("session_expired"),
                                     QStringLiteral("beta_api_shape_disabled"), QStringLiteral("server_error")};
    return codes;
}

QString closeSentence(int code, const QString& reason)
{
    if (const auto known = knownCodeSentence(closeReasonCode(reason).trimmed()))
        return *known;
    // The 60-minute cap closes with 1001 and a sentence of prose.
    if (reason.contains(QLatin1String("maximum duration"), Qt::CaseInsensitive))
        return kSessionExpired;
    switch (code) {
    case 1000:
        return QStringLiteral("Serwer OpenAI zakończył sesję.");
    case 1011:
        return QStringLiteral("Serwer OpenAI zgłosił błąd wewnętrzny.");
    case 1012:
        return QStringLiteral("Serwer OpenAI jest właśnie uruchamiany ponownie.");
    case 1013:
        return QStringLiteral("Serwer OpenAI jest chwilowo przeciążony.");
    default:
        return QStringLiteral("OpenAI zamknęło połączenie z kodem %1.").arg(code);
    }
}

QString responseFailureCause(const RealtimeResponsePayload& response)
{
    const auto& details = response.statusDetails;
    if (details && details->error)
        return details->error->readableMessage();
    if (!details || !details->reason)
        return QStringLiteral("bez podanej przyczyny");
    const QString& reason = *details->reason;
    if (reason == QLatin1String("content_filter"))
        return QStringLiteral("zatrzymał ją filtr treści");
    if (reason == QLatin1String("max_output_tokens"))
        return QStringLiteral("przekroczyła dopuszczalną długość");
    return QStringLiteral("przyczyna o kodzie ") + reason;
}

std::optional<RealtimeServerEventType> serverEventType(QStringView type)
{
    static const char* const names[] = {
        "session.created",
        "session.updated",
        "error",
        "input_audio_buffer.speech_started",
        "input_audio_buffer.speech_stopped",
        "response.created",
        "response.done",
        "response.output_audio.delta",
        "response.audio.delta",
        "response.output_audio_transcript.delta",
        "response.audio_transcript.delta",
        "response.output_audio_transcript.done",
        "response.audio_transcript.done",
        "response.output_text.delta",
        "response.text.delta",
        "response.function_call_arguments.done",
        "conversation.item.input_audio_transcription.completed",
    };
    for (int i = 0; i < int(std::size(names)); ++i)
        if (type == QLatin1String(names[i]))
            return RealtimeServerEventType(i);
    return std::nullopt;
}

std::optional<RealtimeServerEvent> RealtimeServerEvent::decode(const QByteArray& utf8)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(utf8, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    const QJsonValue type = o.value(QLatin1String("type"));
    if (!type.isString())
        return std::nullopt;
    RealtimeServerEvent e;
    e.type = type.toString();
    if (!readString(o, QLatin1String("delta"), e.delta) || !readString(o, QLatin1String("transcript"), e.transcript) ||
        !readString(o, QLatin1String("text"), e.text) || !readString(o, QLatin1String("call_id"), e.callID) ||
        !readString(o, QLatin1String("name"), e.name) || !readString(o, QLatin1String("arguments"), e.arguments) ||
        !readString(o, QLatin1String("response_id"), e.responseID) || !readString(o, QLatin1String("item_id"), e.itemID) ||
        !readError(o, QLatin1String("error"), e.error) || !readResponse(o, e.response))
        return std::nullopt;
    return e;
}

} // namespace selvina::voice

#include "agent/SidecarProtocol.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QStringDecoder>
#include <QUuid>

namespace selvina::agent {

QStringList LineBuffer::consume(QByteArrayView bytes)
{
    QStringList lines;
    while (m_skipping && !bytes.isEmpty()) {
        const qsizetype end = bytes.indexOf('\n');
        if (end < 0)
            return lines;
        m_skipping = false;
        bytes = bytes.sliced(end + 1);
    }
    m_pending.append(bytes);
    qsizetype start = 0;
    qsizetype from = m_scanned;
    for (;;) {
        const qsizetype end = m_pending.indexOf('\n', from);
        if (end < 0)
            break;
        const QByteArrayView raw(m_pending.constData() + start, end - start);
        if (!raw.isEmpty() && raw.size() <= m_limit) {
            QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            QString text = decoder.decode(raw);
            if (!decoder.hasError())
                lines.append(std::move(text));
        } else if (raw.size() > m_limit) {
            ++m_oversized;
        }
        start = end + 1;
        from = start;
    }
    if (start > 0)
        m_pending.remove(0, start);
    if (m_pending.size() > m_limit) {
        ++m_oversized;
        m_pending.clear();
        m_skipping = true;
    }
    // A long line arriving in many reads is scanned once, not once per read.
    m_scanned = m_pending.size();
    return lines;
}

namespace message {

QJsonObject run(const QString& id, const QString& task)
{
    return {{QStringLiteral("type"), QStringLiteral("run")}, {QStringLiteral("id"), id}, {QStringLiteral("task"), task}};
}

QJsonObject confirm(const QString& id, bool approved)
{
    return {{QStringLiteral("type"), QStringLiteral("confirm")},
            {QStringLiteral("id"), id},
            {QStringLiteral("approved"), approved}};
}

QJsonObject cancel(const QString& id)
{
    return {{QStringLiteral("type"), QStringLiteral("cancel")}, {QStringLiteral("id"), id}};
}

QJsonObject shutdown()
{
    return {{QStringLiteral("type"), QStringLiteral("shutdown")}};
}

} // namespace message

namespace {

bool validUtf16(const QString& text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 >= text.size() || !text.at(i + 1).isLowSurrogate())
                return false;
            ++i;
        } else if (c.isLowSurrogate()) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<QByteArray> encodeLine(const QJsonObject& message)
{
    for (auto it = message.begin(); it != message.end(); ++it)
        if (it.value().isString() && !validUtf16(it.value().toString()))
            return std::nullopt;
    QByteArray line = QJsonDocument(message).toJson(QJsonDocument::Compact);
    if (line.isEmpty())
        return std::nullopt;
    line.append('\n');
    return line;
}

QString makeTaskId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

std::optional<IncomingLine> IncomingLine::decode(const QString& line)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue type = object.value(QStringLiteral("type"));
    if (!type.isString())
        return std::nullopt;

    IncomingLine decoded;
    decoded.type = type.toString();
    bool wellTyped = true;
    const auto field = [&](const char* key) -> std::optional<QString> {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined() || value.isNull())
            return std::nullopt;
        if (!value.isString()) {
            wellTyped = false;
            return std::nullopt;
        }
        return value.toString();
    };
    decoded.id = field("id");
    decoded.text = field("text");
    decoded.intent = field("intent");
    decoded.error = field("error");
    if (!wellTyped)
        return std::nullopt;
    return decoded;
}

bool mentionsTerminalType(const QString& line)
{
    return line.contains(QLatin1String("\"finished\"")) || line.contains(QLatin1String("\"failed\""));
}

} // namespace selvina::agent

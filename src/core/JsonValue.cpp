#include "core/JsonValue.h"

#include <QCborValue>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace selvina {

std::optional<JSONValue> JSONValue::parse(const QByteArray& utf8)
{
    // QJsonDocument refuses bare scalars at top level; wrapping keeps one parser for all shapes.
    QByteArray wrapped;
    wrapped.reserve(utf8.size() + 2);
    wrapped.append('[').append(utf8).append(']');
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(wrapped, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray() || doc.array().size() != 1)
        return std::nullopt;
    return fromQt(doc.array().at(0));
}

JSONValue JSONValue::fromQt(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        return JSONValue();
    case QJsonValue::Bool:
        return JSONValue(value.toBool());
    case QJsonValue::Double: {
        // The parser keeps numbers written without fraction or exponent as 64-bit integers when they
        // fit; everything else is a float.
        const QCborValue cbor = QCborValue::fromJsonValue(value);
        if (cbor.isInteger())
            return JSONValue(std::int64_t(cbor.toInteger()));
        return JSONValue(value.toDouble());
    }
    case QJsonValue::String:
        return JSONValue(value.toString());
    case QJsonValue::Array: {
        Array out;
        const QJsonArray array = value.toArray();
        out.reserve(array.size());
        for (const QJsonValue& element : array)
            out.append(fromQt(element));
        return JSONValue(std::move(out));
    }
    case QJsonValue::Object: {
        Object out;
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            out.insert(it.key(), fromQt(it.value()));
        return JSONValue(std::move(out));
    }
    }
    return JSONValue();
}

QJsonValue JSONValue::toQt() const
{
    switch (kind()) {
    case Kind::Null:
        return QJsonValue(QJsonValue::Null);
    case Kind::Bool:
        return QJsonValue(*asBool());
    case Kind::Integer:
        return QJsonValue(qint64(*asInteger()));
    case Kind::Number:
        return QJsonValue(*asNumber());
    case Kind::String:
        return QJsonValue(*asString());
    case Kind::Array: {
        QJsonArray out;
        for (const JSONValue& element : *asArray())
            out.append(element.toQt());
        return out;
    }
    case Kind::Object: {
        QJsonObject out;
        const Object& object = *asObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            out.insert(it.key(), it.value().toQt());
        return out;
    }
    }
    return QJsonValue();
}

QByteArray JSONValue::toJson() const
{
    QJsonArray wrapper{toQt()};
    QByteArray text = QJsonDocument(wrapper).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2);
}

bool JSONValue::isEncodable() const
{
    switch (kind()) {
    case Kind::Number:
        return std::isfinite(*asNumber());
    case Kind::String:
        return asString()->isValidUtf16();
    case Kind::Array:
        for (const JSONValue& element : *asArray())
            if (!element.isEncodable())
                return false;
        return true;
    case Kind::Object: {
        const Object& object = *asObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            if (!it.key().isValidUtf16() || !it.value().isEncodable())
                return false;
        return true;
    }
    default:
        return true;
    }
}

const JSONValue& JSONValue::emptyObjectSchema()
{
    static const JSONValue schema(Object{{QStringLiteral("type"), JSONValue("object")},
                                         {QStringLiteral("properties"), JSONValue(Object{})}});
    return schema;
}

} // namespace selvina

// JSONValue: a JSON value with separate integer and float cases, for schemas and protocol payloads.
// Thread: any (plain value type).
#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QString>

#include <cstdint>
#include <optional>
#include <variant>

namespace selvina {

class JSONValue {
public:
    struct Null {
        bool operator==(const Null&) const = default;
    };
    using Array = QList<JSONValue>;
    using Object = QMap<QString, JSONValue>;
    enum class Kind { Bool, Integer, Number, String, Array, Object, Null };

    JSONValue() : m_v(Null{}) {}
    JSONValue(Null) : m_v(Null{}) {}
    JSONValue(bool b) : m_v(b) {}
    JSONValue(int i) : m_v(std::int64_t(i)) {}
    JSONValue(long i) : m_v(std::int64_t(i)) {}
    JSONValue(long long i) : m_v(std::int64_t(i)) {}
    JSONValue(double d) : m_v(d) {}
    JSONValue(const char* s) : m_v(QString::fromUtf8(s)) {}
    JSONValue(QString s) : m_v(std::move(s)) {}
    JSONValue(Array a) : m_v(std::move(a)) {}
    JSONValue(Object o) : m_v(std::move(o)) {}

    Kind kind() const { return Kind(m_v.index()); }
    bool isNull() const { return kind() == Kind::Null; }
    const bool* asBool() const { return std::get_if<bool>(&m_v); }
    const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&m_v); }
    const double* asNumber() const { return std::get_if<double>(&m_v); }
    const QString* asString() const { return std::get_if<QString>(&m_v); }
    const Array* asArray() const { return std::get_if<Array>(&m_v); }
    const Object* asObject() const { return std::get_if<Object>(&m_v); }

    bool operator==(const JSONValue& other) const { return m_v == other.m_v; }

    // Decodes one JSON text (any value at top level). Absent when the text is not JSON.
    static std::optional<JSONValue> parse(const QByteArray& utf8);
    // Converts in the fixed order null, bool, integer, float, string, array, object.
    static JSONValue fromQt(const QJsonValue& value);
    QJsonValue toQt() const;
    QByteArray toJson() const; // compact

    // True when the value can be written as JSON text without loss: every number finite and
    // every string well-formed UTF-16 (a lone surrogate has no UTF-8 form).
    bool isEncodable() const;

    // {"type": "object", "properties": {}}: the schema of a tool whose own schema is unusable.
    static const JSONValue& emptyObjectSchema();

private:
    std::variant<bool, std::int64_t, double, QString, Array, Object, Null> m_v;
};

} // namespace selvina

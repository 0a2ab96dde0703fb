#include "safety/HostAllowlist.h"

#include "core/Paths.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace selvina::safety {

namespace {

QString quoted(const QString& s)
{
    return QStringLiteral("„") + s + QStringLiteral("”");
}

// Reads a required array of objects, each with a required string field; `take` gets every element
// with its number.
template <typename Take>
std::optional<AllowlistError> readList(const QJsonObject& root, const QString& key, const QString& field, Take take)
{
    const auto it = root.find(key);
    if (it == root.end())
        return AllowlistError::missingKey(key);
    if (!it->isArray())
        return AllowlistError::notArray(key);
    const QJsonArray array = it->toArray();
    for (qsizetype i = 0; i < array.size(); ++i) {
        if (!array[i].isObject())
            return AllowlistError::elementNotObject(key, int(i + 1));
        const QJsonObject element = array[i].toObject();
        const QJsonValue value = element.value(field);
        if (!value.isString())
            return AllowlistError::missingField(key, int(i + 1), field);
        if (auto error = take(element, value.toString(), int(i + 1)))
            return error;
    }
    return std::nullopt;
}

QList<QString> lowered(const QList<QString>& list)
{
    QList<QString> out;
    out.reserve(list.size());
    for (const QString& s : list)
        out.append(s.toLower());
    return out;
}

} // namespace

QString AllowlistError::description() const
{
    const QString element = QStringLiteral("element %1 tablicy ").arg(m_number) + quoted(m_text);
    switch (m_kind) {
    case Kind::unreadable:
        return QStringLiteral("nie można odczytać pliku: ") + m_text;
    case Kind::notJSON:
        return QStringLiteral("to nie jest poprawny JSON: %1 przy znaku %2").arg(m_text).arg(m_number);
    case Kind::notObject:
        return QStringLiteral("dokument nie jest obiektem JSON");
    case Kind::missingKey:
        return QStringLiteral("brak wymaganego klucza ") + quoted(m_text);
    case Kind::notArray:
        return QStringLiteral("klucz ") + quoted(m_text) + QStringLiteral(" nie jest tablicą");
    case Kind::elementNotObject:
        return element + QStringLiteral(" nie jest obiektem");
    case Kind::missingField:
        return element + QStringLiteral(" nie ma tekstowego pola ") + quoted(m_field);
    case Kind::noteNotText:
        break;
    }
    return element + QStringLiteral(": pole „note” nie jest tekstem");
}

Result<AllowlistDocument, AllowlistError> AllowlistDocument::decode(const QByteArray& json)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return AllowlistError::notJSON(parseError.errorString(), parseError.offset);
    if (!doc.isObject())
        return AllowlistError::notObject();
    const QJsonObject root = doc.object();

    AllowlistDocument out;
    using Problem = std::optional<AllowlistError>;
    Problem error = readList(root, QStringLiteral("hosts"), QStringLiteral("host"),
                             [&out](const QJsonObject& element, const QString& host, int number) {
                                 AllowedHost h{host, std::nullopt};
                                 const QJsonValue note = element.value(QStringLiteral("note"));
                                 if (note.isString())
                                     h.note = note.toString();
                                 else if (!note.isNull() && !note.isUndefined())
                                     return Problem(AllowlistError::noteNotText(number));
                                 out.hosts.append(h);
                                 return Problem();
                             });
    for (auto [key, list] : {std::pair{"alwaysConfirm", &out.alwaysConfirm}, std::pair{"alwaysBlock", &out.alwaysBlock}}) {
        if (error)
            break;
        error = readList(root, QLatin1String(key), QStringLiteral("pattern"), [list = list](const QJsonObject&, const QString& p, int) {
            list->append(p);
            return Problem();
        });
    }
    if (error)
        return *error;
    return out;
}

QString AllowlistDocument::exampleText()
{
    return QStringLiteral("{\n"
                          "  \"hosts\": [\n"
                          "    {\"host\": \"192.168.1.20\", \"note\": \"serwer produkcyjny\"}\n"
                          "  ],\n"
                          "  \"alwaysConfirm\": [\n"
                          "    {\"pattern\": \"systemctl restart\"}\n"
                          "  ],\n"
                          "  \"alwaysBlock\": [\n"
                          "    {\"pattern\": \"rm -rf /\"}\n"
                          "  ]\n"
                          "}");
}

HostAllowlist::HostAllowlist(AllowlistDocument document, QString statusMessage)
    : m_document(std::move(document)), m_statusMessage(std::move(statusMessage))
{
    for (const AllowedHost& h : m_document.hosts)
        m_lowerHosts.append(h.host.toLower());
    m_lowerConfirm = lowered(m_document.alwaysConfirm);
    m_lowerBlock = lowered(m_document.alwaysBlock);
}

static HostAllowlist load(const QString& path)
{
    if (!QFileInfo::exists(path))
        return HostAllowlist({}, QStringLiteral("Brak pliku allowlisty (") + path +
                                     QStringLiteral("). Wszystkie hosty SSH są zablokowane, dopóki plik nie "
                                                    "zostanie utworzony. Aby dodać host, utwórz plik o tej treści:\n") +
                                     AllowlistDocument::exampleText());
    QFile file(path);
    const Result<AllowlistDocument, AllowlistError> decoded = file.open(QIODevice::ReadOnly)
        ? AllowlistDocument::decode(file.readAll())
        : Result<AllowlistDocument, AllowlistError>(AllowlistError::unreadable(file.errorString()));
    if (!decoded)
        return HostAllowlist({}, QStringLiteral("Plik allowlisty (") + path +
                                     QStringLiteral(") jest uszkodzony lub ma zły format (") + decoded.error().description() +
                                     QStringLiteral("). Do czasu naprawy wszystkie hosty SSH są zablokowane. "
                                                    "Oczekiwany format:\n") +
                                     AllowlistDocument::exampleText());
    const AllowlistDocument& d = decoded.value();
    const QString status = QStringLiteral("Allowlista wczytana: %1 hostów, %2 wzorców wymagających potwierdzenia, "
                                          "%3 wzorców zablokowanych na stałe.")
                               .arg(d.hosts.size())
                               .arg(d.alwaysConfirm.size())
                               .arg(d.alwaysBlock.size());
    return HostAllowlist(d, status);
}

HostAllowlist::HostAllowlist(const QString& configPath) : HostAllowlist(load(configPath)) {}

QString HostAllowlist::defaultConfigPath()
{
    return paths::configFile(QStringLiteral("allowlist.json"));
}

HostAllowlist::Decision HostAllowlist::evaluate(const QString& host) const
{
    const QString wanted = host.trimmed().toLower();
    if (wanted.isEmpty())
        return {false, QStringLiteral("Nie udało się jednoznacznie ustalić hosta docelowego z polecenia — "
                                      "połączenie zablokowane. ") +
                           m_statusMessage};
    if (m_lowerHosts.contains(wanted))
        return {true, {}};
    return {false, QStringLiteral("Host „") + host + QStringLiteral("” nie jest na allowliście. ") + m_statusMessage};
}

HostAllowlist::CommandVerdict HostAllowlist::commandVerdict(const QString& command) const
{
    const QString lower = command.toLower();
    for (qsizetype i = 0; i < m_lowerBlock.size(); ++i)
        if (lower.contains(m_lowerBlock[i]))
            return {VerdictKind::block, m_document.alwaysBlock[i]};
    for (qsizetype i = 0; i < m_lowerConfirm.size(); ++i)
        if (lower.contains(m_lowerConfirm[i]))
            return {VerdictKind::confirm, m_document.alwaysConfirm[i]};
    return {};
}

} // namespace selvina::safety

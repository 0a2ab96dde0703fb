#include "tools/SystemInfoTool.h"

#include "core/JsonValue.h"

#include <QFileInfo>
#include <QProcess>
#include <QStringDecoder>

#include <qcoro/qcoroprocess.h>

#include <memory>

namespace selvina::tools {

QString SystemInfoTool::rawValue(Query q)
{
    switch (q) {
    case Query::battery:
        return QStringLiteral("battery");
    case Query::storage:
        return QStringLiteral("storage");
    case Query::network:
        return QStringLiteral("network");
    case Query::memory:
        return QStringLiteral("memory");
    case Query::uptime:
        return QStringLiteral("uptime");
    case Query::volume:
        return QStringLiteral("volume");
    case Query::datetime:
        return QStringLiteral("datetime");
    }
    return {};
}

std::optional<SystemInfoTool::Query> SystemInfoTool::queryFromRaw(const QString& raw)
{
    for (Query q : kQueries)
        if (rawValue(q) == raw)
            return q;
    return std::nullopt;
}

SystemInfoTool::Command SystemInfoTool::command(Query q)
{
    switch (q) {
    case Query::battery: // UPower's display device: the combined battery the desktop shows
        return {QStringLiteral("/usr/bin/upower"), {QStringLiteral("-i"), QStringLiteral("/org/freedesktop/UPower/devices/DisplayDevice")}};
    case Query::storage:
        return {QStringLiteral("/bin/df"), {QStringLiteral("-h"), QStringLiteral("/")}};
    case Query::network: // every interface with its state and addresses
        return {QStringLiteral("/bin/ip"), {QStringLiteral("-brief"), QStringLiteral("address")}};
    case Query::memory:
        return {QStringLiteral("/usr/bin/free"), {QStringLiteral("-h")}};
    case Query::uptime:
        return {QStringLiteral("/usr/bin/uptime"), {}};
    case Query::volume: // PulseAudio or PipeWire's pulse server
        return {QStringLiteral("/usr/bin/pactl"), {QStringLiteral("get-sink-volume"), QStringLiteral("@DEFAULT_SINK@")}};
    case Query::datetime: // names of days and months follow the user's locale
        return {QStringLiteral("/bin/date"), {QStringLiteral("+%A, %-d %B %Y, godzina %-H:%M")}};
    }
    return {};
}

ToolDefinition SystemInfoTool::definition() const
{
    return {
        QStringLiteral("system_info"),
        QStringLiteral(
            "Odpowiada na pytania o stan komputera, których NIE widać na ekranie: poziom naładowania baterii i czy "
            "jest podłączony zasilacz, wolne miejsce na dysku, połączenie sieciowe i adres IP, zużycie pamięci, czas "
            "pracy systemu, poziom głośności, bieżąca data i godzina. Użyj tego, gdy użytkownik pyta o stan maszyny "
            "— NIE próbuj takich rzeczy odczytywać z ekranu ani opisywać wizualnie, bo zwykle nie ma ich w żadnym "
            "otwartym oknie. Działa natychmiast."),
        QStringLiteral(R"({
  "type": "object",
  "properties": {
    "query": {
      "type": "string",
      "enum": [
        "battery",
        "storage",
        "network",
        "memory",
        "uptime",
        "volume",
        "datetime"
      ],
      "description": "Czego dotyczy pytanie."
    }
  },
  "required": [
    "query"
  ],
  "additionalProperties": false
})"),
        ActionClass::read,
    };
}

QCoro::Task<ToolOutcome> SystemInfoTool::execute(QString argumentsJSON)
{
    const auto parsed = JSONValue::parse(argumentsJSON.toUtf8());
    const JSONValue::Object* object = parsed ? parsed->asObject() : nullptr;
    std::optional<Query> query;
    if (object) {
        const auto field = object->constFind(QStringLiteral("query"));
        if (field != object->constEnd() && field->asString())
            query = queryFromRaw(*field->asString());
    }
    if (!query) {
        QStringList names;
        for (Query q : kQueries)
            names.append(rawValue(q));
        co_return ToolError::invalidArguments(QStringLiteral("pole „query” musi być jednym z: ") +
                                              names.join(QStringLiteral(", ")));
    }
    Command cmd = command(*query);
    if (m_options.override && m_options.override->first == *query)
        cmd = m_options.override->second;
    co_return co_await run(std::move(cmd), m_options.timeout);
}

namespace {

QString startFailure(const QString& executable, const QProcess& process)
{
    const QFileInfo info(executable);
    QString reason;
    if (!info.exists())
        reason = QStringLiteral("nie ma takiego programu (pakiet nie jest zainstalowany)");
    else if (!info.isExecutable() || info.isDir())
        reason = QStringLiteral("plik nie jest programem wykonywalnym");
    else
        reason = process.errorString();
    return QStringLiteral("nie udało się uruchomić ") + executable + QStringLiteral(": ") + reason;
}

} // namespace

QCoro::Task<ToolOutcome> SystemInfoTool::run(Command command, std::chrono::milliseconds timeout)
{
    // Owned by the frame: if the caller goes away, the destructor kills the child.
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->setProgram(command.executable);
    process->setArguments(command.arguments);
    // A missing program is found without starting anything: the start error of QProcess arrives
    // as a signal that the awaited start does not watch, so it would wait for the whole time-out.
    const QFileInfo info(command.executable);
    if (!info.exists() || info.isDir() || !info.isExecutable())
        co_return ToolError::failed(startFailure(command.executable, *process));
    const bool started = co_await qCoro(*process).start(QIODevice::ReadWrite, timeout);
    if (!started)
        co_return ToolError::failed(startFailure(command.executable, *process));
    process->closeWriteChannel(); // a command that reads its input sees the end at once

    const bool finished = co_await qCoro(*process).waitForFinished(timeout);
    if (!finished) {
        process->kill();
        co_await qCoro(*process).waitForFinished(std::chrono::milliseconds(1000));
        co_return ToolError::failed(QStringLiteral("polecenie %1 nie odpowiedziało w ciągu %2 s")
                                        .arg(command.executable)
                                        .arg(timeout.count() / 1000.0));
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8(process->readAllStandardOutput());
    text = utf8.hasError() ? QString() : text.trimmed(); // undecodable output counts as empty
    if (text.isEmpty())
        co_return ToolError::failed(QStringLiteral("polecenie nie zwróciło odpowiedzi"));
    co_return text;
}

} // namespace selvina::tools

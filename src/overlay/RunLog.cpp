#include "overlay/RunLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace selvina::overlay {

namespace {

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz");
const QString kLineBreak = QStringLiteral("⏎");

} // namespace

QString panelLabel(ChatKind kind)
{
    switch (kind) {
    case ChatKind::user:
        return QStringLiteral("TY");
    case ChatKind::assistant:
        return QStringLiteral("REALTIME");
    case ChatKind::toolCall:
        return QStringLiteral("NARZĘDZIE");
    case ChatKind::toolResult:
        return QStringLiteral("WYNIK");
    case ChatKind::state:
        return QStringLiteral("stan");
    case ChatKind::error:
        return QStringLiteral("BŁĄD");
    case ChatKind::ready:
        return QStringLiteral("—");
    }
    return {};
}

DebugFileLog::DebugFileLog(QString filePath, Switch runLogOn)
    : m_path(std::move(filePath)), m_on(std::move(runLogOn)), m_worker(QStringLiteral("pl.korlund.selvinavoice.debuglog"))
{
}

QByteArray DebugFileLog::line(const DebugEntry& entry)
{
    QString body = entry.body;
    body.replace(QStringLiteral("\r\n"), kLineBreak).replace(QLatin1Char('\n'), kLineBreak);
    return (entry.time.toString(kTimeFormat) + QLatin1Char('\t') + chatKindWireValue(entry.kind) + QLatin1Char('\t')
            + body)
        .toUtf8();
}

void DebugFileLog::append(const DebugEntry& entry)
{
    if (m_on && !m_on())
        return;
    // A body may be megabytes: it is flattened on the worker, not here.
    m_worker.run([this, entry] { write(line(entry)); });
}

void DebugFileLog::appendMarker(const QString& marker)
{
    const QString text = QDateTime::currentDateTime().toString(kTimeFormat) + QStringLiteral("\t—\t") + marker;
    m_worker.run([this, text] { write(text.toUtf8()); });
}

QFuture<void> DebugFileLog::written()
{
    return m_worker.run([] {});
}

// On the worker. The log never reports a failure of its own: a line that cannot be written is dropped.
void DebugFileLog::write(QByteArray line)
{
    line.append('\n');
    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
            return;
    }
    file.write(line);
}

DebugLog::DebugLog(DebugFileLog* file, QObject* parent) : QObject(parent), m_file(file) {}

void DebugLog::append(ChatKind kind, const QString& body)
{
    m_entries.push_back({QUuid::createUuid(), QDateTime::currentDateTime(), kind, body});
    while (m_entries.size() > kLimit)
        m_entries.pop_front();
    if (m_file != nullptr)
        m_file->append(m_entries.back());
    Q_EMIT appended();
}

} // namespace selvina::overlay

#include "overlay/RunLog.h"

#include "core/WriteFailure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

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

DebugFileLog::DebugFileLog(QString filePath, Switch runLogOn, WriteFailureNotice* failures)
    : m_path(std::move(filePath)), m_on(std::move(runLogOn)), m_failures(failures),
      m_worker(QStringLiteral("pl.korlund.selvinavoice.debuglog"))
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

// On the worker. A line that cannot be written is dropped whole: the file keeps whole lines only.
void DebugFileLog::write(QByteArray line)
{
    line.append('\n');
    const QByteArray path = QFile::encodeName(m_path);
    int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT && QDir().mkpath(QFileInfo(m_path).absolutePath()))
        fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    std::optional<int> error = fd < 0 ? std::optional<int>(errno) : appendWhole(fd, line);
    if (fd >= 0)
        ::close(fd);
    if (m_failures == nullptr)
        return;
    if (error)
        m_failures->failed(QStringLiteral("dziennika rozmowy"), m_path, *error);
    else
        m_failures->succeeded(m_path);
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

#include "core/SidecarLog.h"

#include "core/Paths.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

namespace selvina {

SidecarLog& SidecarLog::shared()
{
    static SidecarLog log(paths::logFile(QStringLiteral("sidecar.log")));
    return log;
}

SidecarLog::SidecarLog(QString filePath)
    : m_path(std::move(filePath)), m_worker(std::make_unique<SerialWorker>(QStringLiteral("selvina.log")))
{
}

SidecarLog::~SidecarLog()
{
    // The worker runs the drains still queued (or, when the process log ends at exit after Qt has
    // shut down, stops at once); what they did not take is written here.
    m_worker.reset();
    drain();
}

void SidecarLog::append(const QString& message)
{
    const QString trimmed = message.trimmed();
    if (trimmed.isEmpty())
        return;
    // The stamp is taken at the call, so lines keep the time of the event, not of the write.
    const QByteArray line =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toUtf8() + ' ' +
        trimmed.toUtf8() + '\n';
    {
        std::lock_guard lock(m_mutex);
        m_queued += line;
        if (m_drainPosted)
            return; // the drain already queued takes this line too
        m_drainPosted = true;
    }
    m_worker->run([this] { drain(); });
}

void SidecarLog::flush()
{
    // Every line appended so far is taken by a drain queued before this job.
    m_worker->runAndWait([] {});
}

void SidecarLog::drain()
{
    QByteArray batch;
    {
        std::lock_guard lock(m_mutex);
        batch.swap(m_queued);
        m_drainPosted = false;
    }
    if (!batch.isEmpty())
        write(batch);
}

void SidecarLog::write(const QByteArray& bytes)
{
    // Plain POSIX calls: this must never throw, and a failure to open the file only loses the lines.
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    const QByteArray path = QFile::encodeName(m_path);
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0)
            break;
        done += n;
    }
    ::close(fd);
}

void logLine(const QString& message)
{
    SidecarLog::shared().append(message);
}

} // namespace selvina

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

SidecarLog::SidecarLog(QString filePath) : m_path(std::move(filePath))
{
    m_worker = std::thread([this] { run(); });
}

SidecarLog::~SidecarLog()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_worker.join();
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
        m_queue.push_back(line);
    }
    m_wake.notify_one();
}

void SidecarLog::flush()
{
    std::unique_lock lock(m_mutex);
    m_drained.wait(lock, [this] { return m_queue.empty() && !m_busy; });
}

void SidecarLog::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty() && m_stopping)
            break;
        QByteArray batch;
        while (!m_queue.empty()) {
            batch += m_queue.front();
            m_queue.pop_front();
        }
        m_busy = true;
        lock.unlock();
        write(batch);
        lock.lock();
        m_busy = false;
        if (m_queue.empty())
            m_drained.notify_all();
    }
    m_drained.notify_all();
}

void SidecarLog::write(const QByteArray& bytes)
{
    // Plain POSIX calls: this runs on a non-Qt thread and must never throw or block on Qt state.
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

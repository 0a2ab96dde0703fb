#include "core/WriteFailure.h"

#include "core/HandOff.h"
#include "core/SidecarLog.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace selvina {

QString diskProblem(const QString& folder, int error)
{
    struct statvfs fs = {};
    const bool known = ::statvfs(QFile::encodeName(folder).constData(), &fs) == 0;
    if (error == EROFS || (error == 0 && known && (fs.f_flag & ST_RDONLY) != 0))
        return QStringLiteral("dysk jest tylko do odczytu");
    if (error == ENOSPC || error == EDQUOT || error == EFBIG || (error == 0 && known && fs.f_bavail == 0))
        return QStringLiteral("na dysku nie ma miejsca");
    if (error == EACCES || error == EPERM)
        return QStringLiteral("brak uprawnień do zapisu");
    if (error != 0)
        return QString::fromLocal8Bit(std::strerror(error));
    return QStringLiteral("zapis się nie udał");
}

std::optional<int> appendWhole(int fd, const QByteArray& bytes)
{
    struct stat before = {};
    if (::fstat(fd, &before) != 0)
        return errno;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            // The part written would be read as a line of its own, or glued to the next one.
            if (done > 0 && ::ftruncate(fd, before.st_size) != 0)
                logLine(QStringLiteral("[zapis] nie mogę cofnąć niepełnego wpisu: ") + QString::fromLocal8Bit(std::strerror(errno)));
            return error;
        }
        done += n;
    }
    return std::nullopt;
}

void WriteFailureNotice::setSay(std::function<void(const QString&)> say)
{
    QMutexLocker lock(&m_mutex);
    m_say = std::move(say);
}

QString WriteFailureNotice::sentence(const QString& what, const QString& problem)
{
    return QStringLiteral("Nie udało się zapisać %1: %2. Pracuję dalej.").arg(what, problem);
}

void WriteFailureNotice::failed(const QString& what, const QString& path, int error)
{
    const QString problem = diskProblem(QFileInfo(path).absolutePath(), error);
    {
        QMutexLocker lock(&m_mutex);
        if (m_told.contains(path))
            return;
        m_told.insert(path);
    }
    logLine(QStringLiteral("[zapis] %1: %2").arg(path, problem));
    QMetaObject::invokeMethod(
        this,
        handoff::queued(this,
                        [this, text = sentence(what, problem)] {
                            std::function<void(const QString&)> say;
                            {
                                QMutexLocker lock(&m_mutex);
                                say = m_say;
                            }
                            if (say)
                                say(text);
                        }),
        Qt::QueuedConnection);
}

void WriteFailureNotice::succeeded(const QString& path)
{
    QMutexLocker lock(&m_mutex);
    m_told.remove(path);
}

} // namespace selvina

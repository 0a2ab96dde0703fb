#include "safety/AuditLog.h"

#include "core/Paths.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <qcoro/qcorofuture.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace selvina::safety {

namespace {

QString systemError(const char* what, const QString& path)
{
    return QString::fromUtf8(what) + QLatin1Char(' ') + path + QStringLiteral(": ") +
           QString::fromLocal8Bit(std::strerror(errno));
}

bool writeAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Appends to an existing file. Absent file: the line is written to a private temporary file that
// is then linked into place, so a reader never sees a half-written first entry and a file that
// another process created meanwhile is appended to, never replaced.
std::optional<QString> appendLine(const QString& path, const QByteArray& line)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        return QStringLiteral("nie można utworzyć folderu ") + folder;
    const QByteArray file = QFile::encodeName(path);

    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(file.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd >= 0) {
            const bool written = writeAll(fd, line);
            const QString error = written ? QString() : systemError("zapis do", path);
            ::close(fd);
            return written ? std::nullopt : std::optional<QString>(error);
        }
        if (errno != ENOENT)
            return systemError("nie można otworzyć", path);

        QByteArray temporary = QFile::encodeName(folder) + "/.audit.log.XXXXXX";
        const int tfd = ::mkostemp(temporary.data(), O_CLOEXEC); // mode 0600
        if (tfd < 0)
            return systemError("nie można utworzyć pliku tymczasowego w", folder);
        const bool written = writeAll(tfd, line) && ::fsync(tfd) == 0;
        const QString writeError = written ? QString() : systemError("zapis do", path);
        ::close(tfd);
        if (!written) {
            ::unlink(temporary.constData());
            return writeError;
        }
        const int linked = ::link(temporary.constData(), file.constData());
        const int linkErrno = errno;
        ::unlink(temporary.constData());
        if (linked == 0)
            return std::nullopt;
        if (linkErrno != EEXIST) {
            errno = linkErrno;
            return systemError("nie można utworzyć", path);
        }
        // Someone created the file in between: append to it on the next round.
    }
    return QStringLiteral("plik ") + path + QStringLiteral(" zmienia się w trakcie zapisu");
}

} // namespace

QByteArray AuditEntry::encoded() const
{
    QJsonObject o{
        {QStringLiteral("timestamp"), timestamp.toUTC().toString(Qt::ISODate)},
        {QStringLiteral("tool"), tool},
        {QStringLiteral("argumentsJSON"), argumentsJSON},
        {QStringLiteral("actionClass"), actionClass},
        {QStringLiteral("outcome"), outcome},
    };
    if (confirmationText)
        o.insert(QStringLiteral("confirmationText"), *confirmationText);
    if (confirmationGranted)
        o.insert(QStringLiteral("confirmationGranted"), *confirmationGranted);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

AuditLog::AuditLog(QString filePath) : m_path(std::move(filePath)) {}

QString AuditLog::defaultFilePath()
{
    return paths::logFile(QStringLiteral("audit.log"));
}

QFuture<void> AuditLog::post(AuditEntry entry)
{
    return m_worker.run([path = m_path, entry = std::move(entry)] {
        const std::optional<QString> error = appendLine(path, entry.encoded() + '\n');
        if (error) {
            const QByteArray text = "SelvinaVoice AuditLog: nie udało się zapisać wpisu — " + error->toUtf8() + '\n';
            std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
            std::fflush(stderr);
        }
    });
}

QCoro::Task<> AuditLog::append(AuditEntry entry)
{
    // The job is built outside the coroutine: GCC 12 destroys lambda captures made inside a
    // co_await expression twice.
    const QFuture<void> written = post(std::move(entry));
    co_await written;
}

} // namespace selvina::safety

#include "safety/AuditLog.h"

#include "core/Paths.h"
#include "core/WriteFailure.h"

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

struct WriteError {
    QString message;
    int error = 0; // errno
};

WriteError systemError(const char* what, const QString& path, int error = errno)
{
    return {QString::fromUtf8(what) + QLatin1Char(' ') + path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error)),
            error};
}

// Appends to an existing file. Absent file: the line is written to a private temporary file that
// is then linked into place, so a reader never sees a half-written first entry and a file that
// another process created meanwhile is appended to, never replaced.
std::optional<WriteError> appendLine(const QString& path, const QByteArray& line)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        return WriteError{QStringLiteral("nie można utworzyć folderu ") + folder, errno};
    const QByteArray file = QFile::encodeName(path);

    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(file.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd >= 0) {
            const std::optional<int> failed = appendWhole(fd, line);
            ::close(fd);
            if (failed)
                return systemError("zapis do", path, *failed);
            return std::nullopt;
        }
        if (errno != ENOENT)
            return systemError("nie można otworzyć", path);

        QByteArray temporary = QFile::encodeName(folder) + "/.audit.log.XXXXXX";
        const int tfd = ::mkostemp(temporary.data(), O_CLOEXEC); // mode 0600
        if (tfd < 0)
            return systemError("nie można utworzyć pliku tymczasowego w", folder);
        std::optional<int> failed = appendWhole(tfd, line);
        if (!failed && ::fsync(tfd) != 0)
            failed = errno;
        ::close(tfd);
        if (failed) {
            ::unlink(temporary.constData());
            return systemError("zapis do", path, *failed);
        }
        const int linked = ::link(temporary.constData(), file.constData());
        const int linkErrno = errno;
        ::unlink(temporary.constData());
        if (linked == 0)
            return std::nullopt;
        if (linkErrno != EEXIST)
            return systemError("nie można utworzyć", path, linkErrno);
        // Someone created the file in between: append to it on the next round.
    }
    return WriteError{QStringLiteral("plik ") + path + QStringLiteral(" zmienia się w trakcie zapisu"), 0};
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

AuditLog::AuditLog(QString filePath, WriteFailureNotice* failures) : m_path(std::move(filePath)), m_failures(failures) {}

QString AuditLog::defaultFilePath()
{
    return paths::logFile(QStringLiteral("audit.log"));
}

QFuture<void> AuditLog::post(AuditEntry entry)
{
    return m_worker.run([path = m_path, failures = m_failures, entry = std::move(entry)] {
        const std::optional<WriteError> error = appendLine(path, entry.encoded() + '\n');
        if (error) {
            const QByteArray text = "SelvinaVoice AuditLog: nie udało się zapisać wpisu — " + error->message.toUtf8() + '\n';
            std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
            std::fflush(stderr);
        }
        if (failures == nullptr)
            return;
        if (error)
            failures->failed(QStringLiteral("dziennika bezpieczeństwa"), path, error->error);
        else
            failures->succeeded(path);
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

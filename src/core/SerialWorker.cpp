#include "core/SerialWorker.h"

#include "core/SidecarLog.h"

namespace selvina {

void SerialWorker::logThrownJob(const QString& workerName, const std::exception_ptr& exception)
{
    QString what;
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception& x) {
        what = QString::fromUtf8(x.what());
    } catch (...) {
        what = QStringLiteral("nieznany wyjątek");
    }
    logLine(QStringLiteral("[") + workerName + QStringLiteral("] zadanie przerwane wyjątkiem: ") + what);
}

} // namespace selvina

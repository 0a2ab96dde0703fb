#include "core/Trace.h"

#include <QByteArray>

#include <cstdio>

namespace selvina {

bool traceEnabled()
{
    static const bool enabled = qgetenv("SELVINA_TRACE") == "1";
    return enabled;
}

void trace(const QString& message)
{
    if (!traceEnabled())
        return;
    const QByteArray line = QByteArrayLiteral("[trace] ") + message.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace selvina

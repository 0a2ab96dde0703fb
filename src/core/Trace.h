// The developer trace on standard error, switched on by SELVINA_TRACE=1.
// Thread: any.
#pragma once

#include <QString>

namespace selvina {

bool traceEnabled();             // SELVINA_TRACE read once per process
void trace(const QString& message); // "[trace] " + message + "\n" when enabled

} // namespace selvina

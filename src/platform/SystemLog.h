// SystemLog: the desktop's general system log, for lines an administrator may look for later.
// Thread: any.
#pragma once

#include <QString>

namespace selvina::platform {

class SystemLog {
public:
    virtual ~SystemLog() = default;
    // Never fails outward; a backend without a log falls back to standard error.
    virtual void write(const QString& line) = 0;
};

} // namespace selvina::platform

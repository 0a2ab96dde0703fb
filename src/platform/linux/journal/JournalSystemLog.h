// JournalSystemLog: lines for journald, or for standard error where no journal is running.
// Thread: any (sd_journal_print is thread-safe; standard error is written in one call per line).
#pragma once

#include "platform/SystemLog.h"

namespace selvina::platform {

// Stateless: the assembly makes the one the process hands around.
class JournalSystemLog final : public SystemLog {
public:
    void write(const QString& line) override;
};

} // namespace selvina::platform

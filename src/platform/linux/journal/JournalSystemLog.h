// JournalSystemLog: lines for journald, or for standard error where no journal is running.
// Thread: any (sd_journal_print is thread-safe; standard error is written in one call per line).
#pragma once

#include "platform/SystemLog.h"

namespace selvina::platform {

class JournalSystemLog final : public SystemLog {
public:
    static JournalSystemLog& shared();
    void write(const QString& line) override;
};

} // namespace selvina::platform

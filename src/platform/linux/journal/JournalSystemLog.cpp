#include "platform/linux/journal/JournalSystemLog.h"

#include <QByteArray>
#include <QFileInfo>

#include <cstdio>
#include <syslog.h>
#include <systemd/sd-journal.h>

namespace selvina::platform {

void JournalSystemLog::write(const QString& line)
{
    const QByteArray text = line.toUtf8();
    // Without a journal socket sd_journal_print fails; the line must still land somewhere.
    static const bool journal = QFileInfo::exists(QStringLiteral("/run/systemd/journal/socket"));
    if (journal &&
        sd_journal_send("MESSAGE=%s", text.constData(), "PRIORITY=%i", LOG_NOTICE, "SYSLOG_IDENTIFIER=selvina-voice",
                        nullptr) == 0)
        return;
    const QByteArray withBreak = text + '\n';
    std::fwrite(withBreak.constData(), 1, size_t(withBreak.size()), stderr);
    std::fflush(stderr);
}

} // namespace selvina::platform

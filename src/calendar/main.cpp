// selvina-calendar: prints the user's calendar events for a range of days as one JSON object.
// Always exits 0; nothing goes to standard error, which its callers treat as a failure signal.
#include "calendar/CalendarReport.h"
#include "calendar/eds/EdsCalendarStore.h"

#include <QDate>

#include <glib.h>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using namespace selvina::calendar;

namespace {

GLogWriterOutput dropLog(GLogLevelFlags, const GLogField*, gsize, gpointer)
{
    return G_LOG_WRITER_HANDLED;
}

void silenceStandardError()
{
    g_log_set_writer_func(dropLog, nullptr, nullptr);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    // Libraries may still write to the descriptor directly.
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
}

int print(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    silenceStandardError();
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    const std::optional<DayRange> range = rangeFor(DayOptions::parse(arguments), QDate::currentDate());
    if (!range)
        return print(errorJSON(CalendarError::badRange()));

    EdsCalendarStore store;
    auto listing = store.list(range->from, range->to);
    if (!listing)
        return print(errorJSON(listing.error()));
    return print(successJSON(*range, std::move(listing.value())));
}

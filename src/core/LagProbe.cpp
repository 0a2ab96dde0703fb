#include "core/LagProbe.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace selvina {

std::unique_ptr<LagProbe> LagProbe::fromEnvironment()
{
    const QString path = qEnvironmentVariable("SELVINA_LAG_PROBE");
    if (path.isEmpty())
        return nullptr;
    auto probe = std::make_unique<LagProbe>(path);
    return probe->isOpen() ? std::move(probe) : nullptr;
}

LagProbe::LagProbe(const QString& filePath, QObject* parent) : QObject(parent), m_file(filePath)
{
    // Unbuffered: the reader sees each line as soon as it is written, also of a process killed later.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return;
    m_schedstat = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    m_lastQueuedNs = queuedNs();
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(kPeriod);
    connect(&m_timer, &QTimer::timeout, this, &LagProbe::tick);
    m_clock.start();
    m_timer.start();
}

LagProbe::~LagProbe()
{
    if (m_schedstat >= 0)
        ::close(m_schedstat);
}

// "<ns on a CPU> <ns waiting on a run queue> <time slices>"; 0 where the kernel does not keep it.
qint64 LagProbe::queuedNs() const
{
    char text[96] = {};
    if (m_schedstat < 0 || ::pread(m_schedstat, text, sizeof text - 1, 0) <= 0)
        return 0;
    long long running = 0, queued = 0;
    return std::sscanf(text, "%lld %lld", &running, &queued) == 2 ? queued : 0;
}

void LagProbe::tick()
{
    const qint64 now = m_clock.elapsed();
    const qint64 late = now - m_lastMs - kPeriod.count();
    const qint64 queued = queuedNs();
    const qint64 queuedMs = (queued - m_lastQueuedNs) / 1000000;
    m_lastMs = now;
    m_lastQueuedNs = queued;
    if (late <= kReported.count())
        return;
    m_file.write(QByteArray::number(now) + ' ' + QByteArray::number(late) + ' ' + QByteArray::number(std::min(queuedMs, late))
                 + '\n');
}

} // namespace selvina

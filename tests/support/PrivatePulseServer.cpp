#include "PrivatePulseServer.h"
#include "Processes.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <cmath>

namespace selvina::testing {

PrivatePulseServer::PrivatePulseServer(const QString& modules)
{
    m_socket = m_dir.filePath(QStringLiteral("native"));
    const QString runtime = m_dir.filePath(QStringLiteral("runtime"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString config = m_dir.filePath(QStringLiteral("default.pa"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write((modules + QStringLiteral("\nload-module module-native-protocol-unix auth-anonymous=1 socket=%1\n")
                              .arg(m_socket))
                   .toUtf8());
    file.close();
    m_env.insert(QStringLiteral("PULSE_SERVER"), address());
    m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    start();
}

void PrivatePulseServer::start()
{
    const QString config = m_dir.filePath(QStringLiteral("default.pa"));
    QProcessEnvironment serverEnv = m_env;
    serverEnv.insert(QStringLiteral("HOME"), m_dir.path());
    // Off the session bus: a server there takes the bus name org.PulseAudio1, and one started while
    // the last case's server still held it gave up ("D-Bus name org.PulseAudio1 already taken").
    serverEnv.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent"));
    m_server.setProcessEnvironment(serverEnv);
    m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_server.start(QStringLiteral("pulseaudio"),
                   {QStringLiteral("-n"), QStringLiteral("-F"), config, QStringLiteral("--daemonize=no"),
                    QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--realtime=no"),
                    QStringLiteral("--high-priority=no"), QStringLiteral("--log-level=error")});
    for (int i = 0; i < 500 && !QFile::exists(m_socket) && m_server.state() != QProcess::NotRunning; ++i)
        QThread::msleep(20);
    m_up = QFile::exists(m_socket);
}

void PrivatePulseServer::kill()
{
    if (m_keeper)
        stopProcess(*m_keeper);
    m_server.kill();
    m_server.waitForFinished(3000);
    QFile::remove(m_socket); // a killed server leaves its socket behind
    m_up = false;
}

bool PrivatePulseServer::restart()
{
    kill();
    start();
    if (m_up && m_keeper)
        keepAwake();
    return m_up;
}

PrivatePulseServer::~PrivatePulseServer()
{
    if (m_keeper)
        stopProcess(*m_keeper);
    m_server.terminate();
    if (!m_server.waitForFinished(3000)) {
        m_server.kill();
        m_server.waitForFinished(2000);
    }
}

void PrivatePulseServer::useInThisProcess() const
{
    qputenv("PULSE_SERVER", address().toUtf8());
    qputenv("XDG_RUNTIME_DIR", m_env.value(QStringLiteral("XDG_RUNTIME_DIR")).toUtf8());
}

void PrivatePulseServer::keepAwake()
{
    m_keeper = std::make_unique<QProcess>();
    m_keeper->setProcessEnvironment(m_env);
    m_keeper->setStandardInputFile(QStringLiteral("/dev/zero"));
    m_keeper->start(QStringLiteral("pacat"), QStringLiteral("--playback --raw --latency-msec=10").split(u' '));
    QThread::msleep(2500);
}

std::unique_ptr<QProcess> PrivatePulseServer::pacat(const QStringList& arguments) const
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(m_env);
    process->start(QStringLiteral("pacat"), arguments);
    process->waitForStarted(3000);
    return process;
}

std::unique_ptr<QProcess> PrivatePulseServer::recordMono(const QString& source) const
{
    return pacat(QStringList{QStringLiteral("--record"), QStringLiteral("-d"), source} +
                 QStringLiteral("--raw --format=float32le --rate=24000 --channels=1 --latency-msec=10").split(u' '));
}

void PrivatePulseServer::loadModule(const QStringList& arguments) const
{
    QProcess pactl;
    pactl.setProcessEnvironment(m_env);
    pactl.start(QStringLiteral("pactl"), QStringList{QStringLiteral("load-module")} + arguments);
    pactl.waitForFinished(3000);
}

long loudSpan(const QByteArray& floats, float threshold)
{
    const auto* samples = reinterpret_cast<const float*>(floats.constData());
    const long n = floats.size() / long(sizeof(float));
    long first = -1, last = -1;
    for (long i = 0; i < n; ++i)
        if (std::fabs(samples[i]) > threshold) {
            if (first < 0)
                first = i;
            last = i;
        }
    return first < 0 ? 0 : last - first + 1;
}

} // namespace selvina::testing

// A PulseAudio server of the caller's own, on a socket in a temporary folder, with the sinks and
// sources its caller loads. The pacat children it starts play and record on it; useInThisProcess()
// points this process's own streams at it.
// Thread: the test's main thread.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace selvina::testing {

class PrivatePulseServer {
public:
    // `modules`: default.pa lines (load-module, set-default-sink ...); the native socket is added.
    explicit PrivatePulseServer(const QString& modules);
    ~PrivatePulseServer();
    PrivatePulseServer(const PrivatePulseServer&) = delete;
    PrivatePulseServer& operator=(const PrivatePulseServer&) = delete;

    bool up() const { return m_up; }
    QString address() const { return QStringLiteral("unix:") + m_socket; }
    QString filePath(const QString& name) const { return m_dir.filePath(name); }
    void useInThisProcess() const;

    // An idle null sink sleeps for up to two seconds before it notices a new stream; a sound card
    // does not. A silent low-latency stream keeps it awake; returns after its first wake-up.
    void keepAwake();
    // pacat on this server with the given arguments, started.
    std::unique_ptr<QProcess> pacat(const QStringList& arguments) const;
    // pacat recording `source` as raw mono float at 24 kHz, the playback format.
    std::unique_ptr<QProcess> recordMono(const QString& source) const;
    void loadModule(const QStringList& arguments) const;
    // SIGKILL, as a crash; restart() then starts it again on the same socket with the same devices.
    void kill();
    bool restart();

private:
    void start();
    QTemporaryDir m_dir;
    QString m_socket;
    QProcessEnvironment m_env = QProcessEnvironment::systemEnvironment();
    QProcess m_server;
    std::unique_ptr<QProcess> m_keeper;
    bool m_up = false;
};

// Frames between the first and the last sample above `threshold` in raw mono float.
long loudSpan(const QByteArray& floats, float threshold = 0.05f);

} // namespace selvina::testing

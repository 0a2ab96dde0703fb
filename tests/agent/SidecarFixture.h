// A runtime on a manual clock over the puppet sidecar (tests/support/puppet_sidecar.cjs), which
// reports every line it is sent and writes what the test tells it to.
// Thread: the test's main thread.
#pragma once

#include "ManualClock.h"
#include "TestSupport.h"
#include "agent/SidecarRuntime.h"
#include "core/SidecarLog.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace selvina::testing {

class SidecarFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        qunsetenv("PUPPET_MODE"); qunsetenv("SELVINA_NODE_BINARY");
        m_sidecar = m_dir.filePath(QStringLiteral("Sidecar"));
        writeFile(m_sidecar + QStringLiteral("/dist/index.js"),
                  QByteArray("require('" SELVINA_PUPPET_SIDECAR "');\n"));
        const QString socketPath = m_dir.filePath(QStringLiteral("puppet.sock"));
        ASSERT_TRUE(m_server.listen(socketPath));
        qputenv("PUPPET_SOCKET", QFile::encodeName(socketPath));
        QObject::connect(&m_server, &QLocalServer::newConnection, [this] {
            while (QLocalSocket* s = m_server.nextPendingConnection()) {
                m_puppet = s;
                QObject::connect(s, &QLocalSocket::readyRead, [this, s] {
                    while (s->canReadLine())
                        m_reports.append(QJsonDocument::fromJson(s->readLine()).object());
                });
            }
        });
        SidecarLog::shared().flush();
        m_logStart = QFileInfo(SidecarLog::shared().filePath()).size();
        m_runtime = std::make_unique<agent::SidecarRuntime>(m_clock, agent::SidecarRuntime::Options{{m_sidecar}});
    }

    void TearDown() override
    {
        m_runtime.reset();
        qunsetenv("PUPPET_MODE"); qunsetenv("SELVINA_NODE_BINARY");
    }

    struct Task {
        QString id;
        std::unique_ptr<agent::AgentEventStream> stream = std::make_unique<agent::AgentEventStream>();
        std::vector<agent::AgentEvent> events = {};
        // Everything delivered so far; true once the stream has ended.
        bool drain()
        {
            while (auto e = stream->takeReady())
                events.push_back(*e);
            return stream->hasEnded();
        }
        // The events so far as "kind:text" ("confirm:intent:id" for a confirmation).
        QStringList summary()
        {
            drain();
            QStringList out;
            for (const auto& e : events)
                out.append(QStringList{"progress", "activity", "confirm", "finished", "failed"}[int(e.kind)] + ':' + e.text +
                           (e.id.isEmpty() ? QString() : ':' + e.id));
            return out;
        }
        QStringList failures() { return summary().filter(QRegularExpression("^failed:")).replaceInStrings("failed:", ""); }
    };

    Task start(const QString& id, const QString& text = QStringLiteral("zadanie"))
    {
        Task task{id};
        m_runtime->start(id, text, task.stream->sink());
        return task;
    }

    // The puppet of the current process, once the process has started and the puppet said hello.
    bool awaitPuppet()
    {
        return waitUntil([&] {
            const qint64 pid = m_runtime->processId();
            return pid > 0 && std::any_of(m_reports.begin(), m_reports.end(), [&](const QJsonObject& r) {
                       return r.value("hello").toInteger() == pid;
                   });
        }, 10000);
    }

    void tell(const QJsonObject& command)
    {
        ASSERT_NE(m_puppet, nullptr);
        m_puppet->write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
        m_puppet->flush();
    }
    void say(const QByteArray& line) { tell({{"out", QString::fromUtf8(line + '\n')}}); }

    // Lines the runtime wrote to the sidecar, as JSON objects.
    QList<QJsonObject> received() const
    {
        QList<QJsonObject> out;
        for (const auto& r : m_reports)
            if (r.contains("got"))
                out.append(QJsonDocument::fromJson(r.value("got").toString().toUtf8()).object());
        return out;
    }
    qsizetype receivedCount(const QString& type) const
    {
        const auto all = received();
        return std::count_if(all.begin(), all.end(), [&](const QJsonObject& o) { return o.value("type").toString() == type; });
    }
    bool waitReceived(const QString& type, int count = 1) { return waitUntil([&] { return receivedCount(type) >= count; }); }
    // The latest report of the key.
    std::optional<qint64> reported(const char* key) const
    {
        for (auto r = m_reports.rbegin(); r != m_reports.rend(); ++r)
            if (r->contains(QLatin1String(key)))
                return r->value(QLatin1String(key)).toInteger();
        return std::nullopt;
    }

    // How many lines written to the log since the test began hold the fragment.
    qsizetype logCount(const QString& fragment) const
    {
        SidecarLog::shared().flush();
        QFile f(SidecarLog::shared().filePath());
        if (!f.open(QIODevice::ReadOnly) || !f.seek(m_logStart))
            return 0;
        const QList<QByteArray> lines = f.readAll().split('\n');
        return std::count_if(lines.begin(), lines.end(), [&](const QByteArray& l) { return QString::fromUtf8(l).contains(fragment); });
    }

    static bool waitUntil(const std::function<bool()>& condition, int ms = 5000)
    {
        return LoopbackRealtimeServer::waitFor(condition, std::chrono::milliseconds(ms));
    }
    static bool gone(qint64 pid)
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return true;
        const QByteArray s = stat.readAll();
        return s.mid(s.lastIndexOf(')') + 2, 1) == "Z";
    }

    QTemporaryDir m_dir;
    QString m_sidecar;
    QLocalServer m_server;
    QLocalSocket* m_puppet = nullptr;
    QList<QJsonObject> m_reports;
    qint64 m_logStart = 0;
    ManualClock m_clock;
    std::unique_ptr<agent::SidecarRuntime> m_runtime;
};

} // namespace selvina::testing

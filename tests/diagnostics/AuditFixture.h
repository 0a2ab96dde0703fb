// The audit's test session: a private D-Bus daemon, stand-in programs in a folder of their own,
// and the audit run over it.
// Thread: the test's main thread.
#pragma once

#include "Processes.h"
#include "TestSupport.h"
#include "diagnostics/LinuxPrerequisites.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <map>

namespace selvina::diagnostics {

class LinuxAudit : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir().mkpath(bin());
        env.insert(QStringLiteral("HOME"), m_home.path());
        // Services the bus starts keep their settings in memory, away from any user's.
        env.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("memory"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path());
        m_bus.setProcessEnvironment(env);
        address = selvina::testing::startSessionBus(m_bus);
        ASSERT_FALSE(address.isEmpty());
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    }
    void TearDown() override
    {
        selvina::testing::stopProcess(m_service);
        selvina::testing::stopProcess(m_bus);
    }

    QString bin() const { return m_home.filePath(QStringLiteral("bin")); }
    // A stand-in program on PATH: a shell script with this body.
    void program(const QString& name, const QByteArray& body)
    {
        selvina::testing::writeExecutable(QDir(bin()).filePath(name), "#!/bin/sh\n" + body + "\n");
        env.insert(QStringLiteral("PATH"), bin());
    }
    // A long-running helper on the private bus (a keyring daemon); ended with the test.
    QProcess& service() { return m_service; }

    LinuxAuditOptions options() const
    {
        LinuxAuditOptions o;
        o.environment = env;
        o.home = m_home.path();
        return o;
    }
    // Every entry's answer from one whole check, or the answer of one entry's probe run here and now.
    std::map<QString, std::optional<bool>> check(const LinuxAuditOptions& o)
    {
        PermissionAudit audit(linuxPrerequisites(o), o.environment);
        std::map<QString, std::optional<bool>> out;
        for (const Permission& p : selvina::testing::runTask(audit.check(), std::chrono::seconds(10)).value_or(std::vector<Permission>()))
            out[p.name] = p.granted;
        EXPECT_EQ(out.size(), 13u);
        return out;
    }
    std::map<QString, std::optional<bool>> check() { return check(options()); }
    std::optional<bool> probe(const QString& name, const LinuxAuditOptions& o)
    {
        for (const Prerequisite& p : linuxPrerequisites(o))
            if (p.name == name)
                return p.probe();
        ADD_FAILURE() << "no entry " << name.toStdString();
        return std::nullopt;
    }
    std::optional<bool> probe(const QString& name) { return probe(name, options()); }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QString address;

private:
    QTemporaryDir m_home;
    QProcess m_bus;
    QProcess m_service;
};

} // namespace selvina::diagnostics

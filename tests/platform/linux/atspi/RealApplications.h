// The real applications the screen-tool tests and benchmark start: a process of one of them, and
// what Firefox needs to run lean and offline with its accessibility on.
// Thread: the test's main thread.
#pragma once

#include "Processes.h"
#include "TestSupport.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include <csignal>
#include <memory>

namespace selvina::testing {

// A real application of the distribution, started once; its case is skipped when the package that
// scripts/setup installs for it is missing.
class Application {
public:
    Application(const QString& program, const QStringList& arguments, const QStringList& environment = {})
    {
        if (QStandardPaths::findExecutable(program).isEmpty())
            return;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString& pair : environment)
            env.insert(pair.section('=', 0, 0), pair.section('=', 1));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.start(program, arguments);
        m_started = m_process.waitForStarted(10000);
    }
    ~Application()
    {
        if (m_started) {
            ::kill(pid_t(m_process.processId()), SIGCONT);
            m_process.terminate();
            if (!m_process.waitForFinished(5000))
                stopProcess(m_process);
        }
    }
    bool started() const { return m_started; }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
    bool m_started = false;
};

// Firefox in a fresh profile, lean and offline: only loopback, no updates, no telemetry, no first-run
// pages; accessibility on from the start, as a screen reader's session has it.
inline QString firefoxProfile(const QTemporaryDir& home)
{
    const QString profile = home.filePath(QStringLiteral("profile"));
    writeFile(profile + QStringLiteral("/user.js"), R"(user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("browser.aboutwelcome.enabled", false);
user_pref("browser.newtabpage.enabled", false);
user_pref("browser.startup.page", 0);
user_pref("browser.tabs.warnOnClose", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("datareporting.healthreport.uploadEnabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("app.update.enabled", false);
user_pref("app.normandy.enabled", false);
user_pref("extensions.update.enabled", false);
user_pref("extensions.getAddons.cache.enabled", false);
user_pref("browser.safebrowsing.malware.enabled", false);
user_pref("browser.safebrowsing.phishing.enabled", false);
user_pref("browser.safebrowsing.downloads.enabled", false);
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
user_pref("network.dns.disablePrefetch", true);
user_pref("network.prefetch-next", false);
user_pref("network.proxy.type", 1);
user_pref("network.proxy.http", "127.0.0.1");
user_pref("network.proxy.http_port", 9);
user_pref("network.proxy.ssl", "127.0.0.1");
user_pref("network.proxy.ssl_port", 9);
user_pref("network.proxy.no_proxies_on", "127.0.0.1");
user_pref("network.proxy.allow_hijacking_localhost", false);
user_pref("services.settings.server", "http://127.0.0.1:9/");
user_pref("browser.region.network.url", "");
user_pref("geo.enabled", false);
user_pref("media.autoplay.default", 5);
user_pref("accessibility.force_disabled", -1);
user_pref("ui.prefersReducedMotion", 1);
user_pref("dom.ipc.processCount", 1);
user_pref("fission.autostart", false);
user_pref("browser.sessionstore.resume_from_crash", false);
)");
    return profile;
}

inline const QByteArray kPage = R"(<!doctype html><html lang="pl"><head><meta charset="utf-8"><title>Sklep testowy</title></head>
<body><nav aria-label="Menu sklepu"><a href="/owoce">Owoce</a> <a href="/warzywa">Warzywa</a></nav>
<main><h1>Zamówienie</h1><p>Przeczytaj <a href="/regulamin">regulamin sklepu</a> przed wysłaniem.</p>
<form action="/send" method="get"><label>Imię <input name="imie" type="text"></label>
<label><input type="checkbox" name="zgoda"> Zgoda na kontakt</label> <button type="submit">Wyślij</button></form>
<p><a href="/dlugi">Długa strona</a></p></main></body></html>)";

// Firefox on `url`, in a fresh profile under `home`.
inline std::unique_ptr<Application> startFirefox(const QTemporaryDir& home, const QString& url)
{
    return std::make_unique<Application>(
        QStringLiteral("firefox-esr"), QStringList{QStringLiteral("--no-remote"), QStringLiteral("--profile"), firefoxProfile(home), url},
        QStringList{QStringLiteral("GNOME_ACCESSIBILITY=1"), QStringLiteral("MOZ_CRASHREPORTER_DISABLE=1"),
                    QStringLiteral("HOME=") + home.path()});
}

// LibreOffice Calc on its GTK 3 plug-in with a new sheet, its user profile under `home`.
inline std::unique_ptr<Application> startCalc(const QTemporaryDir& home)
{
    return std::make_unique<Application>(
        QStringLiteral("soffice"),
        QStringList{QStringLiteral("--calc"), QStringLiteral("--norestore"), QStringLiteral("--nologo"),
                    QStringLiteral("--nofirststartwizard"), QStringLiteral("--nolockcheck"),
                    QStringLiteral("-env:UserInstallation=") + QUrl::fromLocalFile(home.filePath("lo")).toString()},
        QStringList{QStringLiteral("SAL_USE_VCLPLUGIN=gtk3"), QStringLiteral("GNOME_ACCESSIBILITY=1"),
                    QStringLiteral("HOME=") + home.path()});
}

// GNOME Calculator (GTK 4), kept offline: it fetches no exchange rates.
inline std::unique_ptr<Application> startCalculator(const QTemporaryDir& home)
{
    writeFile(home.filePath("config/glib-2.0/settings/keyfile"), "[org/gnome/calculator]\nrefresh-interval=0\n");
    return std::make_unique<Application>(
        QStringLiteral("gnome-calculator"), QStringList{},
        QStringList{QStringLiteral("GSETTINGS_BACKEND=keyfile"), QStringLiteral("XDG_CONFIG_HOME=") + home.filePath("config"),
                    QStringLiteral("HOME=") + home.path(), QStringLiteral("GTK_A11Y=atspi")});
}

// FeatherPad (Qt 5) editing `file`.
inline std::unique_ptr<Application> startFeatherPad(const QTemporaryDir& home, const QString& file)
{
    return std::make_unique<Application>(
        QStringLiteral("featherpad"), QStringList{file},
        QStringList{QStringLiteral("HOME=") + home.path(), QStringLiteral("XDG_CONFIG_HOME=") + home.filePath("config"),
                    QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1")});
}

} // namespace selvina::testing

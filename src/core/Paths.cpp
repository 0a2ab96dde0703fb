#include "core/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#ifndef SELVINA_INSTALL_PREFIX
#define SELVINA_INSTALL_PREFIX "/usr/local"
#endif

namespace selvina::paths {

namespace {

QString home()
{
    return QDir::homePath();
}

} // namespace

QString configDirectoryFor(const QString& homeFolder)
{
    return QDir(homeFolder).filePath(QStringLiteral(".config/selvina-voice"));
}

QString logDirectoryFor(const QString& homeFolder, const QString& xdgStateHome)
{
    // The XDG rule: a relative $XDG_STATE_HOME is invalid and must be ignored.
    const QString base = (!xdgStateHome.isEmpty() && QDir::isAbsolutePath(xdgStateHome))
                             ? xdgStateHome
                             : QDir(homeFolder).filePath(QStringLiteral(".local/state"));
    return QDir(base).filePath(QStringLiteral("selvina-voice"));
}

QString configDirectory()
{
    static const QString dir = configDirectoryFor(home());
    return dir;
}

QString logDirectory()
{
    static const QString dir = logDirectoryFor(home(), qEnvironmentVariable("XDG_STATE_HOME"));
    return dir;
}

QString resourceDirectory()
{
    static const QString dir = [] {
        QString exeDir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath()
                                                      : QFileInfo(QStringLiteral("/proc/self/exe"))
                                                            .canonicalFilePath()
                                                            .section(QLatin1Char('/'), 0, -2);
        const QString beside = QDir(exeDir).filePath(QStringLiteral("../share/selvina-voice"));
        if (QFileInfo(beside).isDir())
            return QDir::cleanPath(beside);
        return QDir(QStringLiteral(SELVINA_INSTALL_PREFIX)).filePath(QStringLiteral("share/selvina-voice"));
    }();
    return dir;
}

bool runsFromBuildTree()
{
    return QFileInfo::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/../CMakeCache.txt"));
}

QString wakeModelFile()
{
    return QDir(resourceDirectory()).filePath(QStringLiteral("wake/hej-selvina.model"));
}

QString wakeProfileFile()
{
    return configFile(QStringLiteral("wake-profile.json"));
}

QString autostartDirectory()
{
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    const QString base = QDir::isAbsolutePath(xdg) ? xdg : QDir(home()).filePath(QStringLiteral(".config"));
    return QDir(base).filePath(QStringLiteral("autostart"));
}

QStringList systemAutostartDirectories()
{
    QStringList out;
    for (const QString& dir : qEnvironmentVariable("XDG_CONFIG_DIRS", QStringLiteral("/etc/xdg")).split(QLatin1Char(':')))
        if (QDir::isAbsolutePath(dir))
            out.append(QDir(dir).filePath(QStringLiteral("autostart")));
    return out;
}

QString configFile(const QString& name)
{
    return QDir(configDirectory()).filePath(name);
}

QString logFile(const QString& name)
{
    return QDir(logDirectory()).filePath(name);
}

QString stableProgram(const QString& program, const QString& home)
{
    const QString root = QDir(home).filePath(QStringLiteral(".local/lib/selvina-voice"));
    // The folder decides: the binary itself may be a link to elsewhere.
    const QString resolved = QFileInfo(QFileInfo(program).absolutePath()).canonicalFilePath();
    const QString canonicalRoot = QFileInfo(root).canonicalFilePath();
    const bool userInstall = !canonicalRoot.isEmpty() && !resolved.isEmpty()
                             && resolved.startsWith(canonicalRoot + QLatin1Char('/'));
    if (!userInstall)
        return program;
    for (const QString& launcher : {QDir(home).filePath(QStringLiteral(".local/bin/selvina-voice")), root + QStringLiteral("/launch")})
        if (QFileInfo(launcher).isExecutable())
            return launcher;
    return program;
}

} // namespace selvina::paths

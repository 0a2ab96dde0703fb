#include "platform/linux/autostart/XdgAutostart.h"

#include "core/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSaveFile>
#include <QStandardPaths>

namespace selvina::platform {

namespace {

// The keys of the [Desktop Entry] group; later duplicates win, other groups are ignored.
QMap<QString, QString> desktopEntry(const QString& path)
{
    QMap<QString, QString> keys;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return keys;
    bool inEntry = false;
    for (const QByteArray& raw : f.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inEntry = line == u"[Desktop Entry]";
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (inEntry && eq > 0)
            keys.insert(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
    return keys;
}

QStringList listOf(const QString& value)
{
    return value.split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

bool startsHere(const QMap<QString, QString>& entry)
{
    if (entry.value(QStringLiteral("Hidden")) == u"true")
        return false;
    if (entry.value(QStringLiteral("X-GNOME-Autostart-enabled")) == u"false")
        return false;
    const QStringList desktops = qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    const auto meets = [&desktops](const QString& key, const QMap<QString, QString>& e) {
        for (const QString& d : listOf(e.value(key)))
            if (desktops.contains(d, Qt::CaseInsensitive))
                return true;
        return false;
    };
    if (entry.contains(QStringLiteral("OnlyShowIn")) && !meets(QStringLiteral("OnlyShowIn"), entry))
        return false;
    return !meets(QStringLiteral("NotShowIn"), entry);
}

// The program of an Exec line (its first word, quotes undone) can be started: an absolute path that
// exists and is executable, or a bare name found on PATH.
bool programExists(QString exec)
{
    // Inside the file a backslash is escaped once more than in the command.
    exec.replace(QLatin1String("\\\\"), QLatin1String("\\"));
    QString first;
    bool quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
        } else if (c == QLatin1Char('\\') && quoted && i + 1 < exec.size()) {
            first += exec.at(++i);
        } else if (c.isSpace() && !quoted) {
            if (!first.isEmpty())
                break;
        } else {
            first += c;
        }
    }
    if (first.isEmpty())
        return false;
    if (!first.contains(QLatin1Char('/')))
        return !QStandardPaths::findExecutable(first).isEmpty();
    return QFileInfo(first).isExecutable();
}

QString systemEntry()
{
    for (const QString& dir : paths::systemAutostartDirectories()) {
        const QString path = QDir(dir).filePath(QLatin1String(XdgAutostart::kFileName));
        if (QFileInfo::exists(path))
            return path;
    }
    return {};
}

// The argument of Exec as the desktop entry format quotes it.
QString execArgument(const QString& program)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`=%");
    if (std::none_of(program.begin(), program.end(), [](QChar c) { return reserved.contains(c); }))
        return program;
    QString quoted = program;
    for (const char* c : {"\\", "\"", "`", "$"})
        quoted.replace(QLatin1String(c), QLatin1String("\\") + QLatin1String(c));
    quoted.replace(QLatin1String("%"), QLatin1String("%%"));
    // Inside the file a backslash is itself escaped once more.
    quoted.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString shown(const QString& path)
{
    const QString home = QDir::homePath();
    return path.startsWith(home + QLatin1Char('/')) ? QStringLiteral("~") + path.mid(home.size()) : path;
}

std::optional<QString> unwritable(const QString& dir)
{
    return QStringLiteral("brak prawa zapisu do katalogu %1").arg(shown(dir));
}

} // namespace

XdgAutostart::XdgAutostart(QString program) : m_program(std::move(program)) {}

bool XdgAutostart::isEnabled()
{
    // An entry whose program went (a build an update removed, an uninstalled package) starts nothing.
    const auto starts = [](const QMap<QString, QString>& entry) {
        return startsHere(entry) && programExists(entry.value(QStringLiteral("Exec")));
    };
    const QString user = QDir(paths::autostartDirectory()).filePath(QLatin1String(kFileName));
    if (QFileInfo::exists(user))
        return starts(desktopEntry(user));
    const QString system = systemEntry();
    return !system.isEmpty() && starts(desktopEntry(system));
}

std::optional<QString> XdgAutostart::setEnabled(bool enabled)
{
    const QString dir = paths::autostartDirectory();
    const QString user = QDir(dir).filePath(QLatin1String(kFileName));
    const bool systemCopy = !systemEntry().isEmpty();
    if (!enabled && !systemCopy) {
        if (!QFileInfo::exists(user) || QFile::remove(user))
            return std::nullopt;
        return unwritable(dir);
    }
    if (!QDir().mkpath(dir))
        return QStringLiteral("nie można utworzyć katalogu %1").arg(shown(dir));
    QByteArray text = "[Desktop Entry]\nType=Application\nName=Selvina Voice\n";
    if (enabled) {
        text += "Exec=" + execArgument(m_program).toUtf8() + "\nIcon=selvina-voice\nTerminal=false\n"
                "X-GNOME-Autostart-enabled=true\n";
    } else {
        // The system's entry would start it: a user entry of the same name hides it.
        text += "Hidden=true\n";
    }
    QSaveFile file(user);
    if (!file.open(QIODevice::WriteOnly))
        return QFileInfo(dir).isWritable() ? QStringLiteral("nie można zapisać pliku %1").arg(shown(user)) : unwritable(dir);
    file.write(text);
    if (!file.commit())
        return QStringLiteral("nie można zapisać pliku %1").arg(shown(user));
    return std::nullopt;
}

} // namespace selvina::platform

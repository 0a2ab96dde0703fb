#include "update/InstallLocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <unistd.h>

namespace selvina::update {

InstallLocation InstallLocation::of(const QString& binaryDirectory)
{
    InstallLocation out;
    const QDir build(QDir::cleanPath(QFileInfo(binaryDirectory + QStringLiteral("/..")).canonicalFilePath()));
    out.buildDirectory = build.path();
    out.root = build.path();
    const QFileInfo current(QDir(QFileInfo(build.path()).path()).filePath(QStringLiteral("current")));
    if (current.isSymLink() && build.dirName() != u"current") {
        out.kind = Kind::userLocal;
        out.root = QFileInfo(build.path()).path();
    } else if ((build.path().startsWith(QStringLiteral("/usr/")) || build.path() == u"/usr")
               && build.path() != u"/usr/local" && !build.path().startsWith(QStringLiteral("/usr/local/"))) {
        // /usr/local belongs to the administrator, not to the package manager.
        out.kind = Kind::packageManaged;
    }
    return out;
}

bool InstallLocation::isWritable() const
{
    return kind == Kind::userLocal && ::access(QFile::encodeName(root).constData(), W_OK) == 0;
}

QString InstallLocation::launcher() const
{
    return QDir(root).filePath(QStringLiteral("launch"));
}

bool replaceLink(const QString& link, const QString& target)
{
    const QString temporary = link + QStringLiteral(".new");
    QFile::remove(temporary);
    if (!QFile::link(target, temporary))
        return false;
    return std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(link).constData()) == 0;
}

Status<UpdateError> InstallLocation::switchTo(const QString& build) const
{
    if (kind != Kind::userLocal)
        return UpdateError::folderNotWritable();
    const QDir dir(root);
    if (!QFileInfo(dir.filePath(build + QStringLiteral("/bin/selvina-voice"))).isExecutable())
        return UpdateError::switchFailed(QStringLiteral("nowa wersja nie ma programu"));
    if (!replaceLink(dir.filePath(QStringLiteral("previous")), QDir(buildDirectory).dirName()))
        return UpdateError::switchFailed(QStringLiteral("nie mogę zapamiętać obecnej wersji"));
    if (!replaceLink(dir.filePath(QStringLiteral("current")), build)) {
        QFile::remove(dir.filePath(QStringLiteral("previous")));
        return UpdateError::switchFailed(QStringLiteral("nie mogę przestawić dowiązania current"));
    }
    return Ok{};
}

void InstallLocation::markStarted() const
{
    if (kind != Kind::userLocal)
        return;
    QFile marker(QDir(buildDirectory).filePath(QStringLiteral(".started")));
    if (marker.open(QIODevice::WriteOnly))
        marker.write("1\n");
}

} // namespace selvina::update

#include "agent/SidecarLocator.h"

#include "core/Paths.h"

#include <QDir>
#include <QFileInfo>

namespace selvina::agent {

QString SidecarLaunchError::description() const
{
    switch (m_kind) {
    case Kind::processLaunchFailed:
        return QStringLiteral("Nie udało się uruchomić agenta: ") + m_detail;
    case Kind::sidecarNotFound:
        break;
    }
    return QStringLiteral("Nie znaleziono procesu pomocniczego agenta. Sprawdź, czy katalog Sidecar został "
                          "zbudowany poleceniem npm install i npm run build.");
}

QString SidecarLocator::bundledSidecarDirectory()
{
    return QDir(paths::resourceDirectory()).filePath(QStringLiteral("Sidecar"));
}

Result<QString, SidecarLaunchError> SidecarLocator::resolveEntryPoint(const QStringList& candidates)
{
    const QStringList folders = candidates.isEmpty()
        ? QStringList{bundledSidecarDirectory(), QDir::current().filePath(QStringLiteral("Sidecar"))}
        : candidates;
    for (const QString& folder : folders) {
        const QString entry = QDir(folder).filePath(QStringLiteral("dist/index.js"));
        if (QFileInfo(entry).isFile())
            return QFileInfo(entry).absoluteFilePath();
    }
    return SidecarLaunchError::sidecarNotFound();
}

SidecarLocator::NodeCommand SidecarLocator::resolveNodeExecutable()
{
    if (qEnvironmentVariableIsSet("SELVINA_NODE_BINARY"))
        return {qEnvironmentVariable("SELVINA_NODE_BINARY"), {}};
    const QFileInfo bundled(QDir(paths::resourceDirectory()).filePath(QStringLiteral("node")));
    if (bundled.isFile() && bundled.isExecutable())
        return {bundled.filePath(), {}};
    for (const char* path : {"/usr/local/bin/node", "/usr/bin/node"})
        if (QFileInfo::exists(QString::fromLatin1(path)))
            return {QString::fromLatin1(path), {}};
    return {QStringLiteral("/usr/bin/env"), {QStringLiteral("node")}};
}

} // namespace selvina::agent

// SidecarLocator: where the agent sidecar and Node.js are. SidecarLaunchError: why the sidecar
// could not be found or started.
// Thread: any (reads the file system).
#pragma once

#include "core/Result.h"

#include <QString>
#include <QStringList>

namespace selvina::agent {

class SidecarLaunchError {
public:
    enum class Kind { processLaunchFailed, sidecarNotFound };
    // `detail`: why the system would not start the program, in Polish.
    static SidecarLaunchError processLaunchFailed(QString detail) { return {Kind::processLaunchFailed, std::move(detail)}; }
    static SidecarLaunchError sidecarNotFound() { return {Kind::sidecarNotFound, {}}; }

    Kind kind() const { return m_kind; }
    QString description() const;
    bool operator==(const SidecarLaunchError&) const = default;

private:
    SidecarLaunchError(Kind kind, QString detail) : m_kind(kind), m_detail(std::move(detail)) {}
    Kind m_kind;
    QString m_detail;
};

namespace SidecarLocator {

// <resources>/Sidecar
QString bundledSidecarDirectory();
// The first of the given folders holding dist/index.js; the bundled folder and ./Sidecar when
// none are given.
Result<QString, SidecarLaunchError> resolveEntryPoint(const QStringList& candidates = {});

struct NodeCommand {
    QString executable;
    QStringList leadingArguments;
};
// SELVINA_NODE_BINARY (not checked), an executable "node" among the resources, the usual
// absolute paths, else /usr/bin/env node.
NodeCommand resolveNodeExecutable();

} // namespace SidecarLocator

} // namespace selvina::agent

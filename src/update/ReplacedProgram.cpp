#include "update/ReplacedProgram.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace selvina::update {

std::optional<QString> ReplacedProgram::replacement() const
{
    const QString running = QFile::symLinkTarget(m_options.programLink);
    const QString suffix = QStringLiteral(" (deleted)");
    if (!running.endsWith(suffix))
        return std::nullopt;
    const QString program = running.chopped(suffix.size());
    // Mid-upgrade the new file may not be there yet: the next look finds it.
    if (!QFileInfo(program).isExecutable())
        return std::nullopt;
    return program;
}

ReplacedProgram::RestartAction ReplacedProgram::restartInto(const QString& program,
                                                             std::function<void(const UpdateError&)> onError) const
{
    return [options = m_options, program, onError = std::move(onError)] {
        if (options.releaseInstance)
            options.releaseInstance();
        const qint64 pid = options.processId != 0 ? options.processId : QCoreApplication::applicationPid();
        // The new program starts once this process has gone, so that it finds the keys and the name free.
        const QString wait = QStringLiteral("while kill -0 \"$1\" 2>/dev/null; do sleep 0.2; done; exec \"$0\"");
        if (!QFileInfo(program).isExecutable()
            || !QProcess::startDetached(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), wait, program, QString::number(pid)})) {
            // This process goes on: without the name, the next start would run a second assistant.
            if (options.reclaimInstance)
                options.reclaimInstance();
            if (onError)
                onError(UpdateError::switchFailed(QStringLiteral("nie mogę uruchomić ") + program));
            return;
        }
        if (options.quit)
            options.quit();
    };
}

} // namespace selvina::update

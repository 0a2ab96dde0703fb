#include "platform/linux/speech/CommandSpeech.h"

#include <QProcess>
#include <QStandardPaths>

namespace selvina::platform {

CommandSpeech::CommandSpeech(QStringList searchPath) : m_searchPath(std::move(searchPath)) {}

namespace {

// Detached, with its chatter (ALSA probing and the like) kept out of our standard error.
bool startQuietly(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    return process.startDetached();
}

} // namespace

bool CommandSpeech::speak(const QString& text)
{
    const QString spd = QStandardPaths::findExecutable(QStringLiteral("spd-say"), m_searchPath);
    if (!spd.isEmpty())
        return startQuietly(spd, {QStringLiteral("-l"), QStringLiteral("pl"), QStringLiteral("--"), text});
    const QString espeak = QStandardPaths::findExecutable(QStringLiteral("espeak-ng"), m_searchPath);
    if (!espeak.isEmpty())
        return startQuietly(espeak, {QStringLiteral("-v"), QStringLiteral("pl"), QStringLiteral("--"), text});
    return false;
}

} // namespace selvina::platform

#include "platform/linux/speech/CommandSpeech.h"

#include <QProcess>
#include <QStandardPaths>

namespace selvina::platform {

CommandSpeech::CommandSpeech(QStringList searchPath) : m_searchPath(std::move(searchPath)) {}

bool CommandSpeech::speak(const QString& text)
{
    const QString spd = QStandardPaths::findExecutable(QStringLiteral("spd-say"), m_searchPath);
    if (!spd.isEmpty())
        return QProcess::startDetached(spd, {QStringLiteral("-l"), QStringLiteral("pl"), QStringLiteral("--"), text});
    const QString espeak = QStandardPaths::findExecutable(QStringLiteral("espeak-ng"), m_searchPath);
    if (!espeak.isEmpty())
        return QProcess::startDetached(espeak, {QStringLiteral("-v"), QStringLiteral("pl"), QStringLiteral("--"), text});
    return false;
}

} // namespace selvina::platform

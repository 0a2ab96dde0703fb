#include "platform/linux/settings/IniPreferences.h"

#include "core/SidecarLog.h"
#include "core/WriteFailure.h"

#include <QFile>

#include <optional>
#include <utility>

#include <sys/stat.h>

namespace selvina::platform {

IniPreferences::IniPreferences(const QString& filePath, WriteFailureNotice* failures)
    : m_settings(filePath, QSettings::IniFormat), m_failures(failures)
{
}

QVariant IniPreferences::value(const QString& key) const
{
    return m_settings.value(key);
}

void IniPreferences::setValue(const QString& key, const QVariant& value)
{
    m_settings.setValue(key, value);
    written();
}

void IniPreferences::remove(const QString& key)
{
    m_settings.remove(key);
    written();
}

namespace {

// The file as a write leaves it: a new one is renamed over the old, so its inode changes.
std::optional<std::pair<ino_t, std::int64_t>> identity(const QString& path)
{
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return std::pair{st.st_ino, std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

} // namespace

void IniPreferences::written()
{
    const auto before = identity(m_settings.fileName());
    m_settings.sync();
    bool ok = m_settings.status() == QSettings::NoError;
    // QSettings keeps its error once it has one (and another QSettings of the file would read this
    // one's cache): whether the file has been written since, the file system says.
    if (!ok && m_failing)
        ok = identity(m_settings.fileName()) != before;
    if (!ok) {
        m_failing = true;
        if (m_failures != nullptr)
            m_failures->failed(QStringLiteral("ustawień"), m_settings.fileName());
        else
            logLine(QStringLiteral("[ustawienia] nie mogę zapisać ") + m_settings.fileName());
        return;
    }
    if (std::exchange(m_failing, false) && m_failures != nullptr)
        m_failures->succeeded(m_settings.fileName());
}

} // namespace selvina::platform

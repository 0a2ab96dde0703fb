#include "platform/linux/settings/IniPreferences.h"

namespace selvina::platform {

IniPreferences::IniPreferences(const QString& filePath) : m_settings(filePath, QSettings::IniFormat) {}

QVariant IniPreferences::value(const QString& key) const
{
    return m_settings.value(key);
}

void IniPreferences::setValue(const QString& key, const QVariant& value)
{
    m_settings.setValue(key, value);
    m_settings.sync();
}

void IniPreferences::remove(const QString& key)
{
    m_settings.remove(key);
    m_settings.sync();
}

} // namespace selvina::platform

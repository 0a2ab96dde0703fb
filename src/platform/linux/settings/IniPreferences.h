// Preferences in an INI file (~/.config/selvina-voice/preferences.ini) through QSettings.
// Thread: main thread.
#pragma once

#include "platform/Preferences.h"

#include <QSettings>

namespace selvina::platform {

class IniPreferences final : public Preferences {
public:
    explicit IniPreferences(const QString& filePath);

    QVariant value(const QString& key) const override;
    void setValue(const QString& key, const QVariant& value) override;
    void remove(const QString& key) override;
    void refresh() override { m_settings.sync(); } // reads the file again when it changed

private:
    mutable QSettings m_settings;
};

} // namespace selvina::platform

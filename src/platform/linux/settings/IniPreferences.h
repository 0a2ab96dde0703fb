// Preferences in an INI file (~/.config/selvina-voice/preferences.ini) through QSettings. Each
// change is written at once, atomically (a new file renamed over the old): a full or read-only
// disk leaves the old file whole, the change holds in memory for this run and is written with the
// next one that succeeds.
// Thread: main thread.
#pragma once

#include "platform/Preferences.h"

#include <QSettings>

namespace selvina {
class WriteFailureNotice;
}

namespace selvina::platform {

class IniPreferences final : public Preferences {
public:
    // `failures`: told when a change cannot be written, and when one can be again; none: only logged.
    explicit IniPreferences(const QString& filePath, WriteFailureNotice* failures = nullptr);

    QVariant value(const QString& key) const override;
    void setValue(const QString& key, const QVariant& value) override;
    void remove(const QString& key) override;
    void refresh() override { m_settings.sync(); } // reads the file again when it changed

private:
    void written();

    mutable QSettings m_settings;
    WriteFailureNotice* m_failures;
    bool m_failing = false;
};

} // namespace selvina::platform

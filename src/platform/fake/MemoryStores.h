// In-memory secret store, preferences and system log for unit tests.
// Thread: the test's thread; the system log any.
#pragma once

#include "platform/Preferences.h"
#include "platform/SecretStore.h"
#include "platform/SystemLog.h"

#include <QMap>
#include <QStringList>

#include <mutex>

namespace selvina::platform::fake {

class MemorySecretStore final : public SecretStore {
public:
    std::optional<QString> read(const QString& account) override
    {
        const QString v = items.value(account);
        return v.isEmpty() ? std::nullopt : std::optional<QString>(v);
    }
    bool write(const QString& value, const QString& account) override
    {
        const QString t = value.trimmed();
        if (t.isEmpty())
            return remove(account);
        items.insert(account, t);
        return true;
    }
    bool remove(const QString& account) override
    {
        items.remove(account);
        return true;
    }
    QMap<QString, QString> items;
};

class MemoryPreferences final : public Preferences {
public:
    QVariant value(const QString& key) const override { return values.value(key); }
    void setValue(const QString& key, const QVariant& value) override { values.insert(key, value); }
    void remove(const QString& key) override { values.remove(key); }
    QMap<QString, QVariant> values;
};

// Written from any thread, as the real log (the speakers' and the microphone's workers at once);
// a test reads `lines` once the writers are done.
class MemorySystemLog final : public SystemLog {
public:
    void write(const QString& line) override
    {
        std::lock_guard lock(m_mutex);
        lines.append(line);
    }
    QStringList lines;

private:
    std::mutex m_mutex;
};

} // namespace selvina::platform::fake

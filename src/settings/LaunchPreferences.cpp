#include "settings/LaunchPreferences.h"

#include "platform/DesktopSession.h"
#include "platform/Preferences.h"

#include <QFileInfo>
#include <QLocale>

#include <limits>
#include <mutex>

namespace selvina::settings {

namespace {

std::mutex g_runLogMutex;
bool g_runLogOn = false;

// The INI store gives back text; a Bool is "true" or "false" exactly, anything else the default.
bool readBool(const platform::Preferences& store, const char* key, bool fallback)
{
    const QVariant v = store.value(QLatin1String(key));
    if (v.typeId() == QMetaType::Bool)
        return v.toBool();
    if (v.typeId() == QMetaType::QString) {
        if (v.toString() == u"true")
            return true;
        if (v.toString() == u"false")
            return false;
    }
    return fallback;
}

// An unsigned 32-bit integer, stored as a number or as its decimal text; none otherwise.
std::optional<std::uint32_t> readUInt32(const platform::Preferences& store, const char* key)
{
    const QVariant v = store.value(QLatin1String(key));
    bool ok = false;
    qlonglong n = 0;
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        n = v.toLongLong(&ok);
        break;
    case QMetaType::QString:
        n = v.toString().toLongLong(&ok, 10);
        break;
    default:
        break;
    }
    if (!ok || n < 0 || n > qlonglong(std::numeric_limits<std::uint32_t>::max()))
        return std::nullopt;
    return std::uint32_t(n);
}

activation::HotkeyCombo readCombo(const platform::Preferences& store)
{
    const auto key = readUInt32(store, LaunchPreferences::kSkrotKlawisz);
    const auto modifiers = readUInt32(store, LaunchPreferences::kSkrotModyfikatory);
    if (!key || !modifiers)
        return activation::HotkeyCombo::invocationDefault();
    return {*key, *modifiers};
}

} // namespace

LaunchPreferences::LaunchPreferences(platform::Preferences& store, platform::LoginItem& loginItem, QObject* parent)
    : QObject(parent),
      m_store(store),
      m_loginItem(loginItem),
      m_zawolanie(readBool(store, kZawolanie, true)),
      m_skrotWlaczony(readBool(store, kSkrotWlaczony, true)),
      m_skrot(readCombo(store)),
      m_autostart(loginItem.isEnabled())
{
}

void LaunchPreferences::setZawolanie(bool on)
{
    m_store.setValue(QLatin1String(kZawolanie), on);
    if (std::exchange(m_zawolanie, on) != on)
        Q_EMIT zawolanieChanged(on);
}

void LaunchPreferences::setSkrotWlaczony(bool on)
{
    m_store.setValue(QLatin1String(kSkrotWlaczony), on);
    if (std::exchange(m_skrotWlaczony, on) != on)
        Q_EMIT skrotWlaczonyChanged(on);
}

void LaunchPreferences::setSkrot(const activation::HotkeyCombo& combo)
{
    m_store.setValue(QLatin1String(kSkrotKlawisz), qlonglong(combo.keyCode));
    m_store.setValue(QLatin1String(kSkrotModyfikatory), qlonglong(combo.modifiers));
    if (std::exchange(m_skrot, combo) != combo)
        Q_EMIT skrotChanged(combo);
}

QString AutostartError::description() const
{
    return QStringLiteral("Nie udało się zmienić autostartu: ") + m_reason
           + QStringLiteral(". Najczęściej znaczy to, że nie da się zapisać katalogu ~/.config/autostart.");
}

Status<AutostartError> LaunchPreferences::ustawAutostart(bool on)
{
    const std::optional<QString> reason = m_loginItem.setEnabled(on);
    const bool now = m_loginItem.isEnabled();
    if (std::exchange(m_autostart, now) != now)
        Q_EMIT autostartChanged(now);
    if (reason)
        return AutostartError::notSwitched(*reason);
    return Ok{};
}

DeveloperPreferences::DeveloperPreferences(platform::Preferences& store, MarkerWriter writeMarker, QObject* parent)
    : QObject(parent),
      m_store(store),
      m_writeMarker(std::move(writeMarker)),
      m_showDebugPanel(readBool(store, kShowDebugPanel, false))
{
    applyRunLogSwitch();
}

void DeveloperPreferences::setShowDebugPanel(bool on)
{
    m_store.setValue(QLatin1String(kShowDebugPanel), on);
    const bool changed = std::exchange(m_showDebugPanel, on) != on;
    applyRunLogSwitch();
    if (changed)
        Q_EMIT showDebugPanelChanged(on);
}

void DeveloperPreferences::applyRunLogSwitch()
{
    bool previous = false;
    {
        std::lock_guard lock(g_runLogMutex);
        previous = std::exchange(g_runLogOn, m_showDebugPanel);
    }
    if (previous != m_showDebugPanel && m_writeMarker)
        m_writeMarker(m_showDebugPanel ? QStringLiteral("=== zapis przebiegu włączony ===")
                                       : QStringLiteral("=== zapis przebiegu wyłączony ==="));
}

bool DeveloperPreferences::runLogEnabled()
{
    std::lock_guard lock(g_runLogMutex);
    return g_runLogOn;
}

std::optional<QString> DeveloperPreferences::logSize(const QString& runLogPath)
{
    const QFileInfo info(runLogPath);
    if (!info.exists() || info.size() <= 0)
        return std::nullopt;
    return QLocale(QLocale::Polish).formattedDataSize(info.size(), 1, QLocale::DataSizeSIFormat);
}

} // namespace selvina::settings

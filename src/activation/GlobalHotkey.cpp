#include "activation/GlobalHotkey.h"

#include "core/SidecarLog.h"
#include "platform/SystemLog.h"

#include <QPointer>

namespace selvina::activation {

namespace {

// Shared by every instance: the actions by id and the id counter.
std::map<GlobalHotkey::Id, GlobalHotkey::Action>& handlers()
{
    static std::map<GlobalHotkey::Id, GlobalHotkey::Action> map;
    return map;
}

GlobalHotkey::Id g_nextId = 0;

} // namespace

GlobalHotkey::GlobalHotkey(platform::HotkeySource& source, platform::SystemLog& systemLog, QObject* parent)
    : QObject(parent), m_source(source), m_systemLog(systemLog)
{
    QPointer<GlobalHotkey> self(this);
    m_source.setHandlers(
        [self](Id id, std::chrono::steady_clock::time_point at) {
            if (self)
                self->dispatch(id, at);
        },
        [self](Id id, const platform::HotkeyError& refusal) {
            if (!self)
                return;
            const auto it = self->m_registrations.find(id);
            if (it == self->m_registrations.end())
                return;
            const HotkeyCombo combo = it->second;
            self->m_registrations.erase(it);
            handlers().erase(id);
            self->logRefusal(combo, refusal);
            Q_EMIT self->refusedLater(id, refusal.description());
        });
}

GlobalHotkey::~GlobalHotkey()
{
    unregisterAll();
    m_source.setHandlers(nullptr, nullptr);
}

std::optional<GlobalHotkey::Id> GlobalHotkey::registerCombo(const HotkeyCombo& combo, Action action, WhenTaken whenTaken)
{
    // After 2^32 registrations in one process the counter would wrap onto live ids; refuse instead.
    if (g_nextId == std::numeric_limits<Id>::max()) {
        logRefusal(combo, platform::HotkeyError::outOfIds());
        return std::nullopt;
    }
    const Id id = g_nextId++;
    if (!m_suspended)
        if (const auto grabbed = m_source.grab(id, combo.keyCode, combo.modifiers, whenTaken); !grabbed) {
            logRefusal(combo, grabbed.error());
            return std::nullopt;
        }
    handlers()[id] = std::move(action);
    m_registrations[id] = combo;
    m_whenTaken[id] = whenTaken;
    return id;
}

void GlobalHotkey::suspend()
{
    if (std::exchange(m_suspended, true))
        return;
    for (const auto& [id, combo] : m_registrations)
        m_source.release(id);
}

void GlobalHotkey::resume()
{
    if (!std::exchange(m_suspended, false))
        return;
    const auto registrations = m_registrations;
    for (const auto& [id, combo] : registrations)
        if (const auto grabbed = m_source.grab(id, combo.keyCode, combo.modifiers, m_whenTaken[id]); !grabbed) {
            m_registrations.erase(id);
            m_whenTaken.erase(id);
            handlers().erase(id);
            logRefusal(combo, grabbed.error());
            Q_EMIT refusedLater(id, grabbed.error().description());
        }
}

void GlobalHotkey::unregister(Id id)
{
    if (m_registrations.erase(id) == 0)
        return;
    m_whenTaken.erase(id);
    if (!m_suspended)
        m_source.release(id);
    handlers().erase(id);
}

void GlobalHotkey::unregisterAll()
{
    while (!m_registrations.empty())
        unregister(m_registrations.begin()->first);
}

void GlobalHotkey::logRefusal(const HotkeyCombo& combo, const platform::HotkeyError& refusal)
{
    m_lastRefusal = refusal;
    m_systemLog.write(QStringLiteral("[SelvinaVoice] Nie udało się zarejestrować skrótu %1 (status %2)")
                          .arg(combo.displayName(), refusal.status()));
    logLine(QStringLiteral("[skrót] odmowa rejestracji %1 — status %2").arg(combo.displayName(), refusal.status()));
}

void GlobalHotkey::dispatch(Id id, std::chrono::steady_clock::time_point pressedAt)
{
    // The backend reports from inside the window system's event delivery; the action runs from
    // the event loop, after the presses before it.
    QMetaObject::invokeMethod(
        this,
        [id, pressedAt] {
            const auto it = handlers().find(id);
            if (it == handlers().end())
                return;
            const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - pressedAt);
            Action action = it->second; // the action may unregister itself
            action(std::max(delay, std::chrono::milliseconds(0)));
        },
        Qt::QueuedConnection);
}

} // namespace selvina::activation

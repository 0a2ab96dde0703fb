// HotkeySource: system-wide key combinations that reach this process whichever application has
// the focus. Combinations are given in the stored codes (key code 49 = Space, 53 = Escape; mask
// Super 0x100, Shift 0x200, Alt 0x800, Control 0x1000); each backend translates them.
// Thread: main thread; presses and late refusals are reported there.
#pragma once

#include "core/Result.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace selvina::platform {

// Why a combination could not be taken. `status()` is for the logs ("BadAccess (10)", …);
// `description()` is the sentence the user hears after "Nie udało się przypisać skrótu …".
class HotkeyError {
public:
    enum class Kind {
        taken,         // another client holds it (or the server refused it otherwise)
        unknownKey,    // no key symbol for the stored code
        notInLayout,   // the keyboard layout has no such key
        noPortal,      // the desktop offers no global-shortcuts portal
        portalRefused, // the portal or the user did not bind it
        needsModifier, // the portal is never asked for a key without modifiers
        outOfIds,      // the registration counter would wrap
    };
    static HotkeyError taken(const QString& status) { return {Kind::taken, status}; }
    static HotkeyError unknownKey(std::uint32_t keyCode)
    {
        return {Kind::unknownKey, QStringLiteral("nieznany kod klawisza %1").arg(keyCode)};
    }
    static HotkeyError notInLayout(const QString& keyName)
    {
        return {Kind::notInLayout, QStringLiteral("klawisza %1 nie ma w układzie klawiatury").arg(keyName)};
    }
    static HotkeyError noPortal(const QString& remedy)
    {
        return {Kind::noPortal, QStringLiteral("brak portalu GlobalShortcuts"), remedy};
    }
    static HotkeyError portalRefused(const QString& status, const QString& remedy)
    {
        return {Kind::portalRefused, status, remedy};
    }
    static HotkeyError needsModifier()
    {
        return {Kind::needsModifier, QStringLiteral("portal nie przypisuje klawisza bez modyfikatorów")};
    }
    static HotkeyError outOfIds() { return {Kind::outOfIds, QStringLiteral("wyczerpane identyfikatory")}; }

    Kind kind() const { return m_kind; }
    const QString& status() const { return m_status; }
    QString description() const
    {
        switch (m_kind) {
        case Kind::noPortal:
        case Kind::portalRefused:
            return m_remedy;
        case Kind::unknownKey:
        case Kind::notInLayout:
            return QStringLiteral("Tego klawisza nie ma w układzie klawiatury.");
        case Kind::needsModifier:
            return QStringLiteral("Skrót musi mieć co najmniej jeden modyfikator.");
        case Kind::taken:
        case Kind::outOfIds:
            break;
        }
        return QStringLiteral("Prawdopodobnie zajmuje go inna aplikacja.");
    }
    bool operator==(const HotkeyError&) const = default;

private:
    HotkeyError(Kind kind, QString status, QString remedy = {})
        : m_kind(kind), m_status(std::move(status)), m_remedy(std::move(remedy))
    {
    }
    Kind m_kind;
    QString m_status;
    QString m_remedy;
};

class HotkeySource {
public:
    // What happens when another client already holds the combination.
    enum class WhenTaken {
        refuse,  // the registration fails
        observe, // the key is seen without being taken from the other client (Escape)
    };
    // `pressedAt` on the steady clock, as close to the key press as the backend can tell.
    using Pressed = std::function<void(std::uint32_t id, std::chrono::steady_clock::time_point pressedAt)>;
    using Refused = std::function<void(std::uint32_t id, const HotkeyError& refusal)>;

    virtual ~HotkeySource() = default;
    // Ok when the combination is now grabbed (or observed); the refusal otherwise. A backend
    // that only learns later that it was refused reports it through the refused handler.
    virtual Status<HotkeyError> grab(std::uint32_t id, std::uint32_t keyCode, std::uint32_t modifiers,
                                        WhenTaken whenTaken) = 0;
    // Unknown ids are ignored.
    virtual void release(std::uint32_t id) = 0;
    // The name of the application whose window is in front; empty when it cannot be told.
    virtual QString frontmostApplication() = 0;

    void setHandlers(Pressed pressed, Refused refused)
    {
        m_pressed = std::move(pressed);
        m_refused = std::move(refused);
    }

protected:
    void reportPressed(std::uint32_t id, std::chrono::steady_clock::time_point at) const
    {
        if (m_pressed)
            m_pressed(id, at);
    }
    void reportRefused(std::uint32_t id, const HotkeyError& refusal) const
    {
        if (m_refused)
            m_refused(id, refusal);
    }

private:
    Pressed m_pressed;
    Refused m_refused;
};

} // namespace selvina::platform

// HotkeySource: system-wide key combinations that reach this process whichever application has
// the focus. Combinations are given in the stored codes (key code 49 = Space, 53 = Escape; mask
// Super 0x100, Shift 0x200, Alt 0x800, Control 0x1000); each backend translates them.
// Thread: main thread; presses and late refusals are reported there.
#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace selvina::platform {

class HotkeySource {
public:
    // What happens when another client already holds the combination.
    enum class WhenTaken {
        refuse,  // the registration fails
        observe, // the key is seen without being taken from the other client (Escape)
    };
    struct Refusal {
        QString status; // for the logs: "BadAccess (10)", "brak portalu GlobalShortcuts", …
        QString remedy; // what the user can do, as a sentence; empty when another client holds the key
    };
    // `pressedAt` on the steady clock, as close to the key press as the backend can tell.
    using Pressed = std::function<void(std::uint32_t id, std::chrono::steady_clock::time_point pressedAt)>;
    using Refused = std::function<void(std::uint32_t id, const Refusal& refusal)>;

    virtual ~HotkeySource() = default;
    // None when the combination is now grabbed (or observed); the refusal otherwise. A backend
    // that only learns later that it was refused reports it through the refused handler.
    virtual std::optional<Refusal> grab(std::uint32_t id, std::uint32_t keyCode, std::uint32_t modifiers,
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
    void reportRefused(std::uint32_t id, const Refusal& refusal) const
    {
        if (m_refused)
            m_refused(id, refusal);
    }

private:
    Pressed m_pressed;
    Refused m_refused;
};

} // namespace selvina::platform

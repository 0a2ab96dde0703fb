// Key presses injected into KWin through its own fake-input Wayland protocol: they enter KWin's input
// pipeline as a keyboard's would, global shortcuts included. KWin offers the protocol to a program
// whose desktop file names it (X-KDE-Wayland-Interfaces) with the program's path as Exec.
// Thread: the test's main thread.
#pragma once

#include "platform/linux/kde/FakeInputProtocol.h"

#include <linux/input-event-codes.h>

#include <cstring>
#include <initializer_list>
#include <string>

namespace selvina::testing {

class KWinFakeInput {
public:
    // `socket`: the compositor's WAYLAND_DISPLAY.
    explicit KWinFakeInput(const std::string& socket)
    {
        m_display = wl_display_connect(socket.c_str());
        if (m_display == nullptr)
            return;
        wl_registry* registry = wl_display_get_registry(m_display);
        static const wl_registry_listener listener = {
            [](void* self, wl_registry* r, std::uint32_t name, const char* interface, std::uint32_t version) {
                auto* me = static_cast<KWinFakeInput*>(self);
                if (std::strcmp(interface, platform::fake_input::kInterface.name) == 0 && version >= 4)
                    me->m_fake = static_cast<wl_proxy*>(wl_registry_bind(r, name, &platform::fake_input::kInterface, 4));
            },
            [](void*, wl_registry*, std::uint32_t) {}};
        wl_registry_add_listener(registry, &listener, this);
        wl_display_roundtrip(m_display);
        wl_registry_destroy(registry);
        if (m_fake == nullptr)
            return;
        wl_proxy_marshal(m_fake, platform::fake_input::kAuthenticate, "selvina-tests", "key presses of a test");
        m_ok = wl_display_roundtrip(m_display) >= 0;
    }
    ~KWinFakeInput()
    {
        if (m_fake != nullptr)
            wl_proxy_destroy(m_fake);
        if (m_display != nullptr)
            wl_display_disconnect(m_display);
    }
    KWinFakeInput(const KWinFakeInput&) = delete;
    KWinFakeInput& operator=(const KWinFakeInput&) = delete;

    // The compositor offered the protocol and took the authentication.
    bool ok() const { return m_ok; }

    // Presses the keys in order (evdev codes, KEY_LEFTCTRL …), then releases them in reverse.
    bool chord(std::initializer_list<std::uint32_t> keys)
    {
        if (!m_ok)
            return false;
        for (std::uint32_t key : keys)
            wl_proxy_marshal(m_fake, platform::fake_input::kKeyboardKey, key, 1u);
        wl_display_roundtrip(m_display);
        for (auto it = std::rbegin(keys); it != std::rend(keys); ++it)
            wl_proxy_marshal(m_fake, platform::fake_input::kKeyboardKey, *it, 0u);
        return wl_display_roundtrip(m_display) >= 0;
    }

private:
    wl_display* m_display = nullptr;
    wl_proxy* m_fake = nullptr;
    bool m_ok = false;
};

} // namespace selvina::testing

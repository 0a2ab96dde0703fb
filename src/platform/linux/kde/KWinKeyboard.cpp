#include "platform/linux/kde/KWinKeyboard.h"

#include "platform/linux/kde/FakeInputProtocol.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <vector>

namespace selvina::platform {

namespace {

// xkb key codes are the kernel's plus 8.
constexpr std::uint32_t kXkbOffset = 8;

// One character as keys: the key and the modifier keys held while it is pressed.
struct Stroke {
    std::uint32_t key = 0;
    std::vector<std::uint32_t> held;
};

// KWin's keyboard layouts (a user may have Polish and Ukrainian and switch between them).
QDBusMessage layouts(const char* method, const QVariantList& arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.kde.keyboard"), QStringLiteral("/Layouts"),
                                                       QStringLiteral("org.kde.KeyboardLayouts"), QString::fromLatin1(method));
    call.setArguments(arguments);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 1000);
}

xkb_layout_index_t activeLayout()
{
    const QDBusMessage reply = layouts("getLayout");
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() ? reply.arguments().first().toUInt() : 0;
}

bool switchLayout(xkb_layout_index_t layout)
{
    const QDBusMessage reply = layouts("setLayout", {uint(layout)});
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0, true).toBool();
}

class Keymap {
public:
    Keymap(xkb_keymap* keymap, xkb_layout_index_t layout) : m_keymap(keymap), m_layout(layout)
    {
        if (m_layout >= xkb_keymap_num_layouts(m_keymap))
            m_layout = 0;
        m_shift = xkb_keymap_mod_get_index(m_keymap, XKB_MOD_NAME_SHIFT);
        m_shiftKey = keyAtFirstLevel(XKB_KEY_Shift_L);
        m_controlKey = keyAtFirstLevel(XKB_KEY_Control_L);
        m_levelThreeKey = keyAtFirstLevel(XKB_KEY_ISO_Level3_Shift);
        // The third level's modifier is Mod5 in the layouts xkeyboard-config ships; the virtual name
        // covers a keymap that reports it unresolved.
        for (const char* name : {"Mod5", "LevelThree"})
            if (const xkb_mod_index_t index = xkb_keymap_mod_get_index(m_keymap, name); index != XKB_MOD_INVALID)
                m_levelThreeMask |= xkb_mod_mask_t(1) << index;
    }

    // The keys that give `keysym` in the active layout with the fewest modifiers held.
    std::optional<Stroke> strokeFor(xkb_keysym_t keysym) const
    {
        std::optional<Stroke> best;
        const xkb_keycode_t last = xkb_keymap_max_keycode(m_keymap);
        for (xkb_keycode_t code = xkb_keymap_min_keycode(m_keymap); code <= last && code >= kXkbOffset; ++code) {
            const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(m_keymap, code, m_layout);
            for (xkb_level_index_t level = 0; level < levels; ++level) {
                const xkb_keysym_t* syms = nullptr;
                if (xkb_keymap_key_get_syms_by_level(m_keymap, code, m_layout, level, &syms) != 1 || syms[0] != keysym)
                    continue;
                xkb_mod_mask_t masks[16];
                const std::size_t count = xkb_keymap_key_get_mods_for_level(m_keymap, code, m_layout, level, masks, 16);
                for (std::size_t i = 0; i < count; ++i)
                    if (auto stroke = pressing(code, masks[i]); stroke && (!best || stroke->held.size() < best->held.size()))
                        best = std::move(stroke);
            }
        }
        return best;
    }

    std::optional<std::uint32_t> controlKey() const { return m_controlKey; }

private:
    std::optional<std::uint32_t> keyAtFirstLevel(xkb_keysym_t keysym) const
    {
        const xkb_keycode_t last = xkb_keymap_max_keycode(m_keymap);
        for (xkb_keycode_t code = xkb_keymap_min_keycode(m_keymap); code <= last && code >= kXkbOffset; ++code) {
            const xkb_keysym_t* syms = nullptr;
            if (xkb_keymap_key_get_syms_by_level(m_keymap, code, m_layout, 0, &syms) == 1 && syms[0] == keysym)
                return code - kXkbOffset;
        }
        return std::nullopt;
    }

    // The key with the modifiers of `mask` held, when we have keys for them (Shift, the third level).
    std::optional<Stroke> pressing(xkb_keycode_t code, xkb_mod_mask_t mask) const
    {
        Stroke stroke{code - kXkbOffset, {}};
        const xkb_mod_mask_t shift = m_shift == XKB_MOD_INVALID ? 0 : xkb_mod_mask_t(1) << m_shift;
        if (mask & shift) {
            if (!m_shiftKey)
                return std::nullopt;
            stroke.held.push_back(*m_shiftKey);
            mask &= ~shift;
        }
        if (mask & m_levelThreeMask) {
            if (!m_levelThreeKey)
                return std::nullopt;
            stroke.held.push_back(*m_levelThreeKey);
            mask &= ~m_levelThreeMask;
        }
        if (mask != 0) // Caps Lock, Num Lock, Control: not a way a person would type the character
            return std::nullopt;
        return stroke;
    }

    xkb_keymap* m_keymap;
    xkb_layout_index_t m_layout;
    xkb_mod_index_t m_shift = XKB_MOD_INVALID;
    xkb_mod_mask_t m_levelThreeMask = 0;
    std::optional<std::uint32_t> m_shiftKey, m_controlKey, m_levelThreeKey;
};

// One connection to the compositor for one typing.
class Connection {
public:
    Connection()
    {
        m_display = wl_display_connect(nullptr);
        if (m_display == nullptr)
            return;
        m_context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        wl_registry* registry = wl_display_get_registry(m_display);
        static const wl_registry_listener registryListener = {
            [](void* data, wl_registry* r, std::uint32_t name, const char* interface, std::uint32_t version) {
                auto* self = static_cast<Connection*>(data);
                if (std::strcmp(interface, fake_input::kInterface.name) == 0 && version >= 4 && self->m_fake == nullptr)
                    self->m_fake = static_cast<wl_proxy*>(wl_registry_bind(r, name, &fake_input::kInterface, 4));
                else if (std::strcmp(interface, wl_seat_interface.name) == 0 && self->m_seat == nullptr)
                    self->m_seat = static_cast<wl_seat*>(wl_registry_bind(r, name, &wl_seat_interface, 1));
            },
            [](void*, wl_registry*, std::uint32_t) {}};
        wl_registry_add_listener(registry, &registryListener, this);
        wl_display_roundtrip(m_display);
        wl_registry_destroy(registry);
        if (m_fake == nullptr || m_seat == nullptr)
            return;
        // Every keyboard of a seat is sent the compositor's keymap at once, focus or not.
        m_keyboard = wl_seat_get_keyboard(m_seat);
        static const wl_keyboard_listener keyboardListener = {
            [](void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd, std::uint32_t size) {
                auto* self = static_cast<Connection*>(data);
                if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0) {
                    void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
                    if (text != MAP_FAILED) {
                        if (self->m_keymap != nullptr)
                            xkb_keymap_unref(self->m_keymap);
                        self->m_keymap = xkb_keymap_new_from_buffer(self->m_context, static_cast<const char*>(text),
                                                                    strnlen(static_cast<const char*>(text), size),
                                                                    XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
                        munmap(text, size);
                    }
                }
                close(fd);
            },
            [](void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {},
            [](void*, wl_keyboard*, std::uint32_t, wl_surface*) {},
            [](void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {},
            [](void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {},
            [](void*, wl_keyboard*, std::int32_t, std::int32_t) {}};
        wl_keyboard_add_listener(m_keyboard, &keyboardListener, this);
        wl_proxy_marshal(m_fake, fake_input::kAuthenticate, "Selvina Voice", "wpisuje tekst, o który prosi użytkownik");
        m_working = wl_display_roundtrip(m_display) >= 0;
    }
    ~Connection()
    {
        if (m_keymap != nullptr)
            xkb_keymap_unref(m_keymap);
        if (m_context != nullptr)
            xkb_context_unref(m_context);
        if (m_keyboard != nullptr)
            wl_keyboard_destroy(m_keyboard);
        if (m_seat != nullptr)
            wl_seat_destroy(m_seat);
        if (m_fake != nullptr)
            wl_proxy_destroy(m_fake);
        if (m_display != nullptr)
            wl_display_disconnect(m_display);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool offered() const { return m_working; }
    xkb_keymap* keymap() const { return m_keymap; }

    void key(std::uint32_t code, bool down) { wl_proxy_marshal(m_fake, fake_input::kKeyboardKey, code, down ? 1u : 0u); }
    // Each character reaches the application before the next: KWin handles the keys in order, but an
    // application that reads its socket late should not see a whole word in one burst.
    bool flush() { return wl_display_roundtrip(m_display) >= 0; }

private:
    wl_display* m_display = nullptr;
    wl_proxy* m_fake = nullptr;
    wl_seat* m_seat = nullptr;
    wl_keyboard* m_keyboard = nullptr;
    xkb_context* m_context = nullptr;
    xkb_keymap* m_keymap = nullptr;
    bool m_working = false;
};

xkb_keysym_t keysymOf(char32_t c)
{
    if (c == U'\n')
        return XKB_KEY_Return;
    return xkb_utf32_to_keysym(std::uint32_t(c));
}

// The keys for `text` in `layout`; nothing when a character is on no key of it.
std::optional<std::vector<Stroke>> strokesFor(xkb_keymap* keymap, xkb_layout_index_t layout, const QString& text, bool replacing)
{
    const Keymap keys(keymap, layout);
    std::vector<Stroke> strokes;
    if (replacing) {
        const auto a = keys.strokeFor(XKB_KEY_a);
        if (!a || !keys.controlKey())
            return std::nullopt;
        strokes.push_back({a->key, {*keys.controlKey()}});
        if (text.isEmpty()) {
            const auto backSpace = keys.strokeFor(XKB_KEY_BackSpace);
            if (!backSpace)
                return std::nullopt;
            strokes.push_back(*backSpace);
        }
    }
    for (const char32_t c : text.toUcs4()) {
        auto stroke = keys.strokeFor(keysymOf(c));
        if (!stroke)
            return std::nullopt;
        strokes.push_back(std::move(*stroke));
    }
    return strokes;
}

} // namespace

KWinKeyboard::Result KWinKeyboard::type(const QString& text, bool replacing)
{
    Connection connection;
    if (!connection.offered())
        return Result::notOffered;
    if (connection.keymap() == nullptr)
        return Result::failed;
    // Every character is found before the first is typed (a text typed in part is worse than none):
    // in the active layout, or else in another one, which is switched to for the typing and back
    // after it (Latin letters while Ukrainian is active).
    const xkb_layout_index_t active = activeLayout(), count = xkb_keymap_num_layouts(connection.keymap());
    std::optional<std::vector<Stroke>> strokes = strokesFor(connection.keymap(), active, text, replacing);
    xkb_layout_index_t used = active;
    for (xkb_layout_index_t layout = 0; !strokes && layout < count; ++layout)
        if (layout != active && (strokes = strokesFor(connection.keymap(), layout, text, replacing)))
            used = layout;
    if (!strokes)
        return Result::missingCharacter;
    if (used != active && !switchLayout(used))
        return Result::failed;
    bool typed = true;
    for (const Stroke& stroke : *strokes) {
        for (const std::uint32_t held : stroke.held)
            connection.key(held, true);
        connection.key(stroke.key, true);
        connection.key(stroke.key, false);
        for (auto it = stroke.held.rbegin(); it != stroke.held.rend(); ++it)
            connection.key(*it, false);
        if (!(typed = connection.flush()))
            break;
    }
    if (used != active)
        switchLayout(active);
    return typed ? Result::typed : Result::failed;
}

} // namespace selvina::platform

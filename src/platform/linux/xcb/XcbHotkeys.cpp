#include "platform/linux/xcb/XcbHotkeys.h"

#include "core/SidecarLog.h"
#include "platform/linux/KeySymbols.h"
#include "platform/linux/xcb/XcbActiveWindow.h"

#include <QGuiApplication>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace selvina::platform {

namespace {

constexpr std::uint8_t kBadAccess = 10;
constexpr std::uint32_t kNumLockSym = 0xff7f;
constexpr std::uint32_t kSuperLSym = 0xffeb, kSuperRSym = 0xffec;
constexpr std::uint32_t kAltLSym = 0xffe9, kAltRSym = 0xffea;
// Bits of a key event's state that are not modifiers of the combination (pointer buttons).
constexpr std::uint16_t kModifierBits = 0xff;

// A combination under every state of Num Lock and Caps Lock; the server tells them apart, the user does not.
std::array<std::uint16_t, 4> withLockStates(std::uint16_t mask, std::uint16_t numLock)
{
    return {mask, std::uint16_t(mask | numLock), std::uint16_t(mask | XCB_MOD_MASK_LOCK),
            std::uint16_t(mask | numLock | XCB_MOD_MASK_LOCK)};
}



std::uint8_t extensionStart(xcb_connection_t* c, const char* name, bool event)
{
    xcb_query_extension_reply_t* r =
        xcb_query_extension_reply(c, xcb_query_extension(c, std::uint16_t(std::strlen(name)), name), nullptr);
    std::uint8_t value = 0;
    if (r != nullptr && r->present)
        value = event ? r->first_event : r->major_opcode;
    std::free(r);
    return value;
}

} // namespace

std::unique_ptr<XcbHotkeys> XcbHotkeys::onQtConnection()
{
    auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    auto* x11 = gui ? gui->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (x11 == nullptr || x11->connection() == nullptr)
        return nullptr;
    xcb_connection_t* c = x11->connection();
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    return std::make_unique<XcbHotkeys>(c, root);
}

XcbHotkeys::XcbHotkeys(xcb_connection_t* connection, std::uint32_t root)
    : m_connection(connection), m_root(root), m_symbols(xcb_key_symbols_alloc(connection))
{
    readModifierMapping();
    m_xkbFirstEvent = extensionStart(connection, "XKEYBOARD", true);
    m_xinputOpcode = extensionStart(connection, "XInputExtension", false);
    QCoreApplication::instance()->installNativeEventFilter(this);
}

XcbHotkeys::~XcbHotkeys()
{
    QCoreApplication::instance()->removeNativeEventFilter(this);
    for (const auto& [id, grab] : m_grabs)
        ungrab(grab);
    if (m_rawSelected)
        selectRawKeys(RawKeys::off);
    xcb_flush(m_connection);
    xcb_key_symbols_free(m_symbols);
}

void XcbHotkeys::readModifierMapping()
{
    m_numLock = m_super = m_alt = 0;
    xcb_get_modifier_mapping_reply_t* r =
        xcb_get_modifier_mapping_reply(m_connection, xcb_get_modifier_mapping(m_connection), nullptr);
    if (r != nullptr) {
        const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(r);
        const int perModifier = r->keycodes_per_modifier;
        // Rows 3..7 are Mod1..Mod5; a row holding the key's keycode is its modifier bit.
        for (int row = 3; row < 8; ++row) {
            for (int k = 0; k < perModifier; ++k) {
                const xcb_keycode_t code = codes[row * perModifier + k];
                if (code == 0)
                    continue;
                const xcb_keysym_t sym = xcb_key_symbols_get_keysym(m_symbols, code, 0);
                const auto bit = std::uint16_t(1u << row);
                if (sym == kNumLockSym)
                    m_numLock |= bit;
                else if (sym == kSuperLSym || sym == kSuperRSym)
                    m_super |= bit;
                else if (sym == kAltLSym || sym == kAltRSym)
                    m_alt |= bit;
            }
        }
        std::free(r);
    }
    // The usual layout when the mapping does not say.
    if (m_super == 0)
        m_super = XCB_MOD_MASK_4;
    if (m_alt == 0)
        m_alt = XCB_MOD_MASK_1;
    if (m_numLock == 0)
        m_numLock = XCB_MOD_MASK_2;
}

Status<HotkeyError> XcbHotkeys::grab(std::uint32_t id, std::uint32_t keyCode, std::uint32_t modifiers,
                                                      WhenTaken whenTaken)
{
    release(id);
    Grab g;
    g.keyCode = keyCode;
    g.modifiers = modifiers;
    g.whenTaken = whenTaken;
    if (auto refusal = apply(id, g))
        return *refusal;
    m_grabs[id] = std::move(g);
    return Ok{};
}

std::optional<HotkeyError> XcbHotkeys::apply(std::uint32_t id, Grab& g)
{
    g.keycodes.clear();
    g.observed = false;
    const auto symbol = keySymbolFor(g.keyCode);
    if (!symbol)
        return HotkeyError::unknownKey(g.keyCode);
    if (xcb_keycode_t* codes = xcb_key_symbols_get_keycode(m_symbols, symbol->keysym)) {
        for (xcb_keycode_t* k = codes; *k != XCB_NO_SYMBOL; ++k)
            g.keycodes.push_back(*k);
        std::free(codes);
    }
    if (g.keycodes.empty())
        return HotkeyError::notInLayout(QLatin1String(symbol->name));
    g.mask = 0;
    if (g.modifiers & 0x1000)
        g.mask |= XCB_MOD_MASK_CONTROL;
    if (g.modifiers & 0x800)
        g.mask |= m_alt;
    if (g.modifiers & 0x200)
        g.mask |= XCB_MOD_MASK_SHIFT;
    if (g.modifiers & 0x100)
        g.mask |= m_super;

    std::vector<xcb_void_cookie_t> cookies;
    for (std::uint8_t code : g.keycodes)
        for (std::uint16_t mask : withLockStates(g.mask, m_numLock))
            cookies.push_back(xcb_grab_key_checked(m_connection, 1, m_root, mask, code, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    std::optional<std::uint8_t> failure;
    for (const xcb_void_cookie_t& cookie : cookies) {
        if (xcb_generic_error_t* e = xcb_request_check(m_connection, cookie)) {
            if (!failure || e->error_code == kBadAccess)
                failure = e->error_code;
            std::free(e);
        }
    }
    if (!failure)
        return std::nullopt;
    ungrab(g);
    xcb_flush(m_connection);
    const QString status = *failure == kBadAccess ? QStringLiteral("BadAccess (10)") : QStringLiteral("błąd X %1").arg(*failure);
    if (g.whenTaken == WhenTaken::observe && m_xinputOpcode != 0 && (m_rawSelected || selectRawKeys(RawKeys::on))) {
        g.observed = true;
        logLine(QStringLiteral("[skrót] %1 zajmuje inny program (%2) — słucham zdarzeń XInput 2 bez przechwytywania (id %3)")
                    .arg(QLatin1String(symbol->name), status)
                    .arg(id));
        return std::nullopt;
    }
    return HotkeyError::taken(status);
}

void XcbHotkeys::ungrab(const Grab& g)
{
    if (g.observed)
        return;
    for (std::uint8_t code : g.keycodes)
        for (std::uint16_t mask : withLockStates(g.mask, m_numLock))
            xcb_ungrab_key(m_connection, code, m_root, mask);
}

void XcbHotkeys::release(std::uint32_t id)
{
    const auto it = m_grabs.find(id);
    if (it == m_grabs.end())
        return;
    ungrab(it->second);
    // Its release may never reach us now; a later grab of the same key starts from a lifted key.
    for (std::uint8_t code : it->second.keycodes)
        m_down.erase(code);
    m_grabs.erase(it);
    if (m_rawSelected && std::none_of(m_grabs.begin(), m_grabs.end(), [](const auto& e) { return e.second.observed; }))
        selectRawKeys(RawKeys::off);
    xcb_flush(m_connection);
}

bool XcbHotkeys::selectRawKeys(RawKeys wanted)
{
    const bool on = wanted == RawKeys::on;
    // Raw events are reported to the root window only, for the master devices.
    struct {
        xcb_input_event_mask_t head;
        std::uint32_t mask;
    } selection{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, on ? std::uint32_t(XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS) : 0u};
    // XI 2.0 must have been announced on the connection before the selection counts; Qt does so
    // for its own use, and asking again is harmless.
    std::free(xcb_input_xi_query_version_reply(m_connection, xcb_input_xi_query_version(m_connection, 2, 0), nullptr));
    xcb_generic_error_t* e = xcb_request_check(m_connection, xcb_input_xi_select_events_checked(m_connection, m_root, 1, &selection.head));
    const bool ok = e == nullptr;
    std::free(e);
    m_rawSelected = on && ok;
    return ok;
}

void XcbHotkeys::scheduleRegrab()
{
    // A layout switch arrives as a burst of notifications; grab once after the last of them.
    if (m_regrabQueued)
        return;
    m_regrabQueued = true;
    QMetaObject::invokeMethod(this, [this] { regrab(); }, Qt::QueuedConnection);
}

void XcbHotkeys::regrab()
{
    m_regrabQueued = false;
    // The new grabs go in before the old ones come out, and only what the new layout no longer
    // uses is released: a press arriving in between (a switch of the source keyboard comes with
    // the first key of a combination) must still find the grab.
    const auto before = m_grabs;
    const std::uint16_t numLockBefore = m_numLock;
    xcb_key_symbols_free(m_symbols);
    m_symbols = xcb_key_symbols_alloc(m_connection);
    readModifierMapping();
    std::vector<std::pair<std::uint32_t, HotkeyError>> refused;
    bool changed = m_numLock != numLockBefore;
    for (auto& [id, g] : m_grabs) {
        const auto refusal = apply(id, g);
        if (!refusal)
            continue;
        // Tools that remap one keycode at a time pass through layouts without the key; it stays
        // registered, unheld, and the next change grabs it again.
        if (refusal->kind() == HotkeyError::Kind::notInLayout) {
            if (!before.at(id).keycodes.empty())
                logLine(QStringLiteral("[skrót] %1 — skrót wróci, gdy układ znów go będzie miał (id %2)")
                            .arg(refusal->status())
                            .arg(id));
            continue;
        }
        refused.emplace_back(id, *refusal);
    }
    for (const auto& [id, refusal] : refused)
        m_grabs.erase(id);
    changed = changed || !refused.empty();
    for (const auto& [id, old] : before) {
        const auto now = m_grabs.find(id);
        const bool same = now != m_grabs.end() && now->second.observed == old.observed
                          && now->second.mask == old.mask && now->second.keycodes == old.keycodes;
        if (same && m_numLock == numLockBefore)
            continue;
        changed = true;
        if (old.observed)
            continue;
        for (std::uint8_t code : old.keycodes)
            for (std::uint16_t mask : withLockStates(old.mask, numLockBefore))
                if (now == m_grabs.end() || !holds(now->second, code, mask))
                    xcb_ungrab_key(m_connection, code, m_root, mask);
    }
    xcb_flush(m_connection);
    for (const auto& [id, refusal] : refused)
        reportRefused(id, refusal);
    if (changed)
        logLine(QStringLiteral("[skrót] zmiana układu klawiatury — skróty przechwycone ponownie"));
}

bool XcbHotkeys::holds(const Grab& g, std::uint8_t code, std::uint16_t mask) const
{
    const auto masks = withLockStates(g.mask, m_numLock);
    return !g.observed && std::find(g.keycodes.begin(), g.keycodes.end(), code) != g.keycodes.end()
           && std::find(masks.begin(), masks.end(), mask) != masks.end();
}

std::chrono::steady_clock::time_point XcbHotkeys::steadyTimeOf(std::uint32_t serverTime) const
{
    // The X server stamps events with its monotonic clock in milliseconds (wrapping at 2^32);
    // on the same machine that is this process's steady clock. A stamp that does not fit (a
    // remote display) counts as now.
    const auto now = std::chrono::steady_clock::now();
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const auto nowMs = std::uint32_t(std::uint64_t(ts.tv_sec) * 1000u + std::uint64_t(ts.tv_nsec) / 1000000u);
    const std::uint32_t age = nowMs - serverTime;
    return age < 60000u ? now - std::chrono::milliseconds(age) : now;
}

bool XcbHotkeys::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    const std::uint8_t type = event->response_type & 0x7f;
    if (type == XCB_KEY_PRESS) {
        auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
        if (key->event != m_root)
            return false;
        const std::uint16_t state = key->state & kModifierBits & ~(m_numLock | XCB_MOD_MASK_LOCK);
        for (const auto& [id, g] : m_grabs) {
            if (g.observed || g.mask != state
                || std::find(g.keycodes.begin(), g.keycodes.end(), key->detail) == g.keycodes.end())
                continue;
            if (!isRepeat(key->detail, key->time))
                reportPressed(id, steadyTimeOf(key->time));
            return true;
        }
        return false;
    }
    if (type == XCB_KEY_RELEASE) {
        auto* key = reinterpret_cast<xcb_key_release_event_t*>(event);
        if (key->event != m_root)
            return false;
        m_down.erase(key->detail);
        m_releasedAt[key->detail] = key->time;
        return !m_grabs.empty();
    }
    if (type == XCB_GE_GENERIC && m_rawSelected) {
        auto* ge = reinterpret_cast<xcb_ge_generic_event_t*>(event);
        if (ge->extension != m_xinputOpcode || ge->event_type != XCB_INPUT_RAW_KEY_PRESS)
            return false;
        auto* raw = reinterpret_cast<xcb_input_raw_key_press_event_t*>(event);
        if (raw->flags & XCB_INPUT_KEY_EVENT_FLAGS_KEY_REPEAT)
            return true;
        for (const auto& [id, g] : m_grabs)
            if (g.observed && std::find(g.keycodes.begin(), g.keycodes.end(), std::uint8_t(raw->detail)) != g.keycodes.end())
                reportPressed(id, steadyTimeOf(raw->time));
        return true;
    }
    if (type == XCB_MAPPING_NOTIFY) {
        auto* mapping = reinterpret_cast<xcb_mapping_notify_event_t*>(event);
        if (mapping->request != XCB_MAPPING_POINTER)
            scheduleRegrab();
        return false; // Qt updates its own keymap too
    }
    // XKB: the second byte is the kind; 0 a new keyboard, 1 a changed map.
    if (m_xkbFirstEvent != 0 && type == m_xkbFirstEvent) {
        const auto kind = reinterpret_cast<const std::uint8_t*>(event)[1];
        if (kind == 0 || kind == 1)
            scheduleRegrab();
    }
    return false;
}

bool XcbHotkeys::isRepeat(std::uint8_t keycode, std::uint32_t serverTime)
{
    if (!m_down.insert(keycode).second)
        return true;
    // The server's own repeat sends its release and the next press with one time stamp; no
    // hand lifts and presses a key again within the same millisecond.
    const auto released = m_releasedAt.find(keycode);
    return released != m_releasedAt.end() && released->second == serverTime;
}

QString XcbHotkeys::frontmostApplication()
{
    // Asked on the main thread, on the application's own connection, where a loaded server once
    // kept the answer back for the whole default limit (10 s): a server that does not answer at
    // once leaves the name unknown.
    constexpr std::chrono::milliseconds kLimit{20};
    const auto active = xcbActiveWindow(m_connection, kLimit);
    return active ? active->applicationName : QString();
}

} // namespace selvina::platform

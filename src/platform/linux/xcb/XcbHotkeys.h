// Global hot-keys on X11: passive key grabs on the root window, made on Qt's own xcb connection
// and read back through a native event filter; every combination is grabbed also with NumLock and
// CapsLock on, and grabbed again when the keyboard mapping changes. A key another client holds
// can instead be watched through XInput 2 raw events, which see it without taking it.
// Thread: main thread (Qt delivers native events there).
#pragma once

#include "platform/HotkeySource.h"

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <map>
#include <memory>
#include <set>
#include <vector>

struct xcb_connection_t;
struct _XCBKeySymbols; // the keysyms library's handle

namespace selvina::platform {

class XcbHotkeys final : public QObject, public HotkeySource, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    // On Qt's connection when the GUI runs on xcb; null otherwise.
    static std::unique_ptr<XcbHotkeys> onQtConnection();
    XcbHotkeys(xcb_connection_t* connection, std::uint32_t root);
    ~XcbHotkeys() override;

    Status<HotkeyError> grab(std::uint32_t id, std::uint32_t keyCode, std::uint32_t modifiers,
                                WhenTaken whenTaken) override;
    void release(std::uint32_t id) override;
    QString frontmostApplication() override;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    struct Grab {
        std::uint32_t keyCode = 0;
        std::uint32_t modifiers = 0;
        WhenTaken whenTaken = WhenTaken::refuse;
        std::vector<std::uint8_t> keycodes; // every keycode that produces the key
        std::uint16_t mask = 0;             // X modifier mask
        bool observed = false;              // watched through raw events, not grabbed
    };
    std::optional<HotkeyError> apply(std::uint32_t id, Grab& grab);
    void ungrab(const Grab& grab);
    bool holds(const Grab& grab, std::uint8_t keycode, std::uint16_t mask) const; // grabbed with that mask
    void readModifierMapping();
    void scheduleRegrab();
    void regrab();
    enum class RawKeys { off, on };
    bool selectRawKeys(RawKeys wanted);
    std::chrono::steady_clock::time_point steadyTimeOf(std::uint32_t serverTime) const;

    xcb_connection_t* m_connection;
    std::uint32_t m_root;
    _XCBKeySymbols* m_symbols = nullptr;
    std::map<std::uint32_t, Grab> m_grabs;
    std::uint16_t m_numLock = 0;
    std::uint16_t m_super = 0;
    std::uint16_t m_alt = 0;
    std::uint8_t m_xkbFirstEvent = 0;
    std::uint8_t m_xinputOpcode = 0;
    bool m_rawSelected = false;
    bool m_regrabQueued = false;
    // Auto-repeat: a held key arrives again and again, as presses alone (detectable auto-repeat)
    // or as release-press pairs stamped with the same server time. A grabbed key acts once per
    // physical press: `m_down` holds the keycodes pressed and not yet released, `m_releasedAt`
    // the server time of each keycode's last release.
    std::set<std::uint8_t> m_down;
    std::map<std::uint8_t, std::uint32_t> m_releasedAt;
    bool isRepeat(std::uint8_t keycode, std::uint32_t serverTime);
};

} // namespace selvina::platform

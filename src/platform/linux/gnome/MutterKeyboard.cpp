#include "platform/linux/gnome/MutterKeyboard.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>

#include <xkbcommon/xkbcommon.h>

namespace selvina::platform {

namespace {

const QString kService = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
constexpr int kTimeoutMs = 5000;

QDBusMessage call(const QString& path, const QString& interface, const QString& method, const QVariantList& arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
    message.setArguments(arguments);
    return QDBusConnection::sessionBus().call(message, QDBus::Block, kTimeoutMs);
}

// The X keysym mutter looks for in the keyboard layout: the layout holds a letter under its named
// keysym (ż as "zabovedot", 0x1bf), which xkbcommon finds for the character; 0x1000000 plus the code
// point is what a layout would have for a character with no name.
quint32 keysymOf(char32_t c)
{
    if (c == U'\n')
        return 0xff0d; // Return
    const xkb_keysym_t named = xkb_utf32_to_keysym(std::uint32_t(c));
    return named != XKB_KEY_NoSymbol ? quint32(named) : 0x1000000u + quint32(c);
}

} // namespace

bool MutterKeyboard::available()
{
    const auto* bus = QDBusConnection::sessionBus().interface();
    return bus != nullptr && bus->isServiceRegistered(kService).value();
}

bool MutterKeyboard::type(const QString& text, bool replacing)
{
    const QDBusMessage made = call(QStringLiteral("/org/gnome/Mutter/RemoteDesktop"), kService, QStringLiteral("CreateSession"));
    if (made.type() != QDBusMessage::ReplyMessage || made.arguments().isEmpty())
        return false;
    const QString session = made.arguments().first().value<QDBusObjectPath>().path();
    const QString interface = kService + QStringLiteral(".Session");
    const auto ok = [](const QDBusMessage& m) { return m.type() == QDBusMessage::ReplyMessage; };
    bool typed = ok(call(session, interface, QStringLiteral("Start")));
    const auto key = [&](quint32 keysym, bool down) {
        if (typed)
            typed = ok(call(session, interface, QStringLiteral("NotifyKeyboardKeysym"), {keysym, down}));
    };
    const auto press = [&](quint32 keysym) {
        key(keysym, true);
        key(keysym, false);
    };
    if (replacing) {
        constexpr quint32 kControl = 0xffe3, kLetterA = 0x61, kBackSpace = 0xff08;
        key(kControl, true);
        press(kLetterA);
        key(kControl, false);
        if (text.isEmpty())
            press(kBackSpace);
    }
    for (const char32_t c : text.toUcs4())
        press(keysymOf(c));
    call(session, interface, QStringLiteral("Stop"));
    return typed;
}

} // namespace selvina::platform

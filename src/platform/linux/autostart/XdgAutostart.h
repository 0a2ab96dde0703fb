// Start at login through an XDG autostart entry (selvina-voice.desktop in the user's autostart
// folder), reading the state the desktop will really act on: a user entry that is hidden, switched
// off for GNOME or not meant for this desktop does not start; a system entry counts unless a user
// entry of the same name overrides it.
// Thread: main thread (small file reads and writes on a user action).
#pragma once

#include "platform/DesktopSession.h"

namespace selvina::platform {

class XdgAutostart final : public LoginItem {
public:
    static constexpr const char* kFileName = "selvina-voice.desktop";

    // `program`: the command the entry starts.
    explicit XdgAutostart(QString program);
    bool isEnabled() override;
    std::optional<QString> setEnabled(bool enabled) override;

private:
    QString m_program;
};

} // namespace selvina::platform

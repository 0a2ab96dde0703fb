// The start-up pane: start at login, the wake phrase and the invocation shortcut, with a key
// picker, four modifier toggles and recording a combination from the keyboard.
// Thread: main thread.
#pragma once

#include "activation/HotkeyCombo.h"

#include <QWidget>

#include <memory>

class QVBoxLayout;

class QCheckBox;
class QLabel;
class QPushButton;

namespace selvina::activation {
class GlobalHotkey;
}
namespace selvina::platform {
class GnomeCustomShortcut;
}
namespace selvina::settings {
class LaunchPreferences;
}

namespace selvina::settingswindow {

class RadioChoice;

class StartupPane : public QWidget {
    Q_OBJECT
public:
    static const QString kNoModifier; // "Skrót musi mieć co najmniej jeden modyfikator."

    // `hotkeys`: the invocation grab, given back to the desktop while recording; may be absent.
    StartupPane(settings::LaunchPreferences& launch, activation::GlobalHotkey* hotkeys, QWidget* parent = nullptr);
    ~StartupPane() override;

    bool isRecording() const { return m_recording; }
    void startRecording();
    void stopRecording();
    // The refusal shown under the shortcut; empty when there is none.
    QString shortcutMessage() const;
    // GNOME on Wayland: what the pane says of the keybinding in GNOME's settings; empty elsewhere.
    QString gnomeBindingText() const;

    // The stored code of a key as this toolkit reports it; none for a key without one.
    static std::optional<std::uint32_t> keyCodeFor(int qtKey, quint32 nativeKeysym);
    static std::uint32_t maskFor(Qt::KeyboardModifiers modifiers);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void refresh();
    void setModifier(std::uint32_t bit, bool on);
    void showMessage(const QString& text);
    void addGnomeSection(QVBoxLayout* column);
    void readGnomeBinding();
    void showGnomeBinding(bool ours, const QString& binding);

    settings::LaunchPreferences& m_launch;
    activation::GlobalHotkey* m_hotkeys;
    QCheckBox* m_autostart = nullptr;
    QLabel* m_autostartError = nullptr;
    QCheckBox* m_zawolanie = nullptr;
    QCheckBox* m_skrot = nullptr;
    QLabel* m_combination = nullptr;
    RadioChoice* m_key = nullptr;
    std::vector<std::pair<std::uint32_t, QCheckBox*>> m_modifiers;
    QPushButton* m_record = nullptr;
    QLabel* m_recordingNote = nullptr;
    QLabel* m_message = nullptr;
    bool m_recording = false;
    // GNOME on Wayland only: our entry among GNOME's custom keybindings, added with consent.
    std::unique_ptr<platform::GnomeCustomShortcut> m_gnome;
    QLabel* m_gnomeState = nullptr;
    QPushButton* m_gnomeButton = nullptr;
    bool m_gnomeOurs = false;
    bool m_gnomeBusy = false;
};

} // namespace selvina::settingswindow

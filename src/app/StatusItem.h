// StatusItem: the icon in the panel's tray and its menu. The icon is created only once a tray
// host is there: the toolkit settles on its tray protocol at the first tray call, so an item made
// before the panel has started would never show.
// Thread: main thread.
#pragma once

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>

class QMenu;
class QSystemTrayIcon;

namespace selvina::platform {
class TrayHostWatch;
}

namespace selvina::app {

class StatusItem : public QObject {
    Q_OBJECT
public:
    // What the menu shows; rebuilt from this on every refresh.
    struct Entries {
        bool zawolanie = true;
        bool voiceEnrolment = false;             // "Naucz się mojego głosu…" (a detector that can learn it)
        bool settings = false;                   // "Ustawienia" (when the settings window exists)
        std::optional<int> missingPermissions;   // "Brakuje uprawnień (N) — otwórz Ustawienia"
        bool openAIKeyMissing = false;           // "Wpisz klucz OpenAI…"
    };
    struct Actions {
        std::function<void()> openSettings;
        std::function<void()> openPermissionSettings;
        std::function<void()> enterOpenAIKey;
        std::function<void()> aboutToShow; // the menu is opening: a chance to bring its entries up to date
        std::function<void()> przelaczZawolanie;
        std::function<void()> learnVoice;
        std::function<void()> quit;
    };

    StatusItem(platform::TrayHostWatch& host, QString iconPath, Actions actions, QObject* parent = nullptr);
    ~StatusItem() override;

    // Rebuilds the menu now, or as soon as the icon exists.
    void refresh(const Entries& entries);
    bool isShown() const { return m_tray != nullptr; }

private:
    void create();
    void rebuild();

    QString m_iconPath;
    Actions m_actions;
    Entries m_entries;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_tray;
};

} // namespace selvina::app

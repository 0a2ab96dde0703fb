// The settings window: a sidebar of the seven panes with a search field, back and forward in the
// toolbar, one pane shown at a time. Every control writes straight into its store. Closing only
// hides it; its geometry is kept in the preferences.
// Thread: main thread.
#pragma once

#include "settingswindow/SettingsNavigation.h"

#include <QMainWindow>

class QLineEdit;
class QListWidget;
class QStackedWidget;
class QToolButton;

namespace selvina::platform {
class Preferences;
}

namespace selvina::settingswindow {

class SettingsWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr const char* kGeometryKey = "pl.korlund.selvinavoice.settings.v3.geometry";

    // `preferences` keeps the geometry; may be absent.
    SettingsWindow(NawigacjaUstawien& nawigacja, platform::Preferences* preferences, QWidget* parent = nullptr);

    // Puts a pane's own widget in place of what the page shows now (the window takes it).
    void setPaneContent(Pane pane, QWidget* content);
    QWidget* paneContent(Pane pane) const;

    QLineEdit* searchField() const { return m_search; }
    QListWidget* sidebar() const { return m_sidebar; }
    QToolButton* backButton() const { return m_back; }
    QToolButton* forwardButton() const { return m_forward; }
    // The panes the sidebar lists now, in its order.
    std::vector<Pane> listedPanes() const;
    Pane shownPane() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void restoreGeometryOrCentre();
    void saveGeometryNow();
    void applySearch();
    void applyNavigation();

    NawigacjaUstawien& m_nawigacja;
    platform::Preferences* m_preferences;
    QLineEdit* m_search = nullptr;
    QListWidget* m_sidebar = nullptr;
    QStackedWidget* m_stack = nullptr;
    QToolButton* m_back = nullptr;
    QToolButton* m_forward = nullptr;
    std::vector<QWidget*> m_pages; // one per pane, in table order
};

} // namespace selvina::settingswindow

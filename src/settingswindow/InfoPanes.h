// The developer pane (the run preview and its log file) and the about pane (version, where data
// goes, what is used, terms).
// Thread: main thread.
#pragma once

#include <QWidget>

#include <functional>

class QLabel;

namespace selvina::settings {
class DeveloperPreferences;
}

namespace selvina::settingswindow {

class DeveloperPane : public QWidget {
    Q_OBJECT
public:
    DeveloperPane(settings::DeveloperPreferences& developer, QString runLogPath, QWidget* parent = nullptr);
    // Shows the file selected in the file manager, else opens its folder.
    static void revealInFileManager(const QString& path);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refreshSize();
    QString m_runLogPath;
    QLabel* m_size = nullptr;
};

struct AboutInfo {
    QString version; // empty: "?"
    QString build;   // empty: "?"
    QString system;  // the operating system's pretty name
    QString updateFeed; // empty: updates are off
    // "Anthropic" or "OpenAI", for the agent engine chosen now; none: Anthropic.
    std::function<QString()> taskProvider;
    // Every key in use comes from the desktop's keyring (none at all counts); none: not known, not said.
    std::function<bool()> keysInKeyring;

    // This build's version and commit, and PRETTY_NAME of `osRelease`.
    static AboutInfo ofThisBuild(const QString& buildInfoPath, const QString& osRelease = QStringLiteral("/etc/os-release"));
    QString versionLine() const; // "Selvina Voice 0.1.0 (budowa 1a2b3c)"
};

class AboutPane : public QWidget {
    Q_OBJECT
public:
    explicit AboutPane(AboutInfo info, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    AboutInfo m_info;
    QLabel* m_tasks = nullptr;
    QLabel* m_keys = nullptr;
};

} // namespace selvina::settingswindow

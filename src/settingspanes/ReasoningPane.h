// ReasoningPane ("Inteligencja"): which agent engine orchestrates and how each one thinks, how
// long the agent remembers, and the voice model's reasoning effort. Every control writes straight
// into the reasoning preferences; the Codex models come from the model catalogue.
// Thread: main thread.
#pragma once

#include "settings/ReasoningPreferences.h"
#include "settingspanes/PaneWidgets.h"

#include <QWidget>

#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace selvina::settings {
class ModelCatalog;
}

namespace selvina::settingspanes {

class ReasoningPane : public QWidget {
    Q_OBJECT
public:
    static QString title() { return QStringLiteral("Inteligencja"); }

    // `codexFolder`: where Codex CLI keeps its config.toml, for the model it uses by itself.
    ReasoningPane(settings::ReasoningPreferences& preferences, settings::ModelCatalog& catalog, QString codexFolder,
                  QWidget* parent = nullptr);
    ~ReasoningPane() override;
    // The Anthropic key's entry, as the pane's last section.
    void setKeyField(QWidget* field);

private:
    void showPreferences();
    void showEngines(NoteReport report = NoteReport::whenChanged);
    void showCodexModels();
    void commitClaudeModel();
    void commitCodexModel();

    settings::ReasoningPreferences& m_preferences;
    settings::ModelCatalog& m_catalog;
    QString m_codexFolder;
    RadioChoice* m_engine = nullptr;
    QLabel* m_engineStates = nullptr;
    bool m_detectAsked = false;
    QLineEdit* m_claudeModel = nullptr;
    QComboBox* m_codexModel = nullptr;
    QLabel* m_catalogState = nullptr;
    std::unique_ptr<ChoiceList<settings::ReasoningPreferences::Effort>> m_effort;
    std::unique_ptr<ChoiceList<settings::ReasoningPreferences::CodexEffort>> m_codexEffort;
    std::unique_ptr<ChoiceList<settings::ReasoningPreferences::Pamiec>> m_pamiec;
    std::unique_ptr<ChoiceList<settings::ReasoningPreferences::VoiceEffort>> m_voiceEffort;
};

// The catalogue's state in one sentence: loading, its failure, or when it was fetched.
QString catalogState(const settings::ModelCatalog& catalog);

} // namespace selvina::settingspanes

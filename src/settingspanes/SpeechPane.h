// SpeechPane ("Mowa"): the conversation's realtime model, the voice with a sample to hear, the
// speaking speed, how the end of the user's turn is detected and tuned, noise reduction, and which
// OpenAI key is in use. Every control writes straight into the speech preferences.
// Thread: main thread.
#pragma once

#include "settings/SpeechPreferences.h"
#include "settingspanes/PaneWidgets.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QDoubleSpinBox;
class QFormLayout;
class QLabel;
class QPushButton;
class QSpinBox;

namespace selvina::settings {
class ModelCatalog;
class VoicePreview;
}

namespace selvina::settingspanes {

class ApiKeyField;

class SpeechPane : public QWidget {
    Q_OBJECT
public:
    static QString title() { return QStringLiteral("Mowa"); }
    // The OpenAI key as the configuration resolves it, for the summary of the key in use.
    using KeyLookup = std::function<std::optional<QString>()>;

    SpeechPane(settings::SpeechPreferences& preferences, settings::ModelCatalog& catalog,
               settings::VoicePreview& preview, KeyLookup openAIKey, QWidget* parent = nullptr);
    ~SpeechPane() override;
    // The key's entry under the summary of the key in use, which follows the field's signal.
    void setKeyField(ApiKeyField* field);

private:
    void showPreferences();
    void showModels();
    void showPreview();
    void showKey(NoteReport report = NoteReport::whenChanged);

    settings::SpeechPreferences& m_preferences;
    settings::ModelCatalog& m_catalog;
    settings::VoicePreview& m_preview;
    KeyLookup m_openAIKey;
    RadioChoice* m_model = nullptr;
    QLabel* m_catalogState = nullptr;
    RadioChoice* m_voice = nullptr;
    QDoubleSpinBox* m_speed = nullptr;
    QPushButton* m_sample = nullptr;
    QLabel* m_sampleState = nullptr;
    QDoubleSpinBox* m_threshold = nullptr;
    QSpinBox* m_prefixPadding = nullptr;
    QSpinBox* m_silence = nullptr;
    QLabel* m_key = nullptr;
    QFormLayout* m_keySection = nullptr;
    QWidget* m_defaults = nullptr; // "Przywróć domyślne ustawienia mowy", last in the Tab order
    std::unique_ptr<ChoiceList<settings::SpeechPreferences::TurnDetection>> m_turnDetection;
    std::unique_ptr<ChoiceList<settings::SpeechPreferences::Eagerness>> m_eagerness;
    std::unique_ptr<ChoiceList<settings::SpeechPreferences::NoiseReduction>> m_noiseReduction;
};

} // namespace selvina::settingspanes

#include "settingspanes/SpeechPane.h"

#include "settings/ModelCatalog.h"
#include "settings/VoicePreview.h"
#include "settingspanes/ApiKeyField.h"
#include "settingspanes/ReasoningPane.h"

#include <QApplication>
#include <QRadioButton>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace selvina::settingspanes {

namespace {

using S = settings::SpeechPreferences;

QString label(S::TurnDetection v)
{
    switch (v) {
    case S::TurnDetection::serverVAD:
        return QStringLiteral("po ciszy");
    case S::TurnDetection::semanticVAD:
        return QStringLiteral("po sensie wypowiedzi");
    case S::TurnDetection::manual:
        return QStringLiteral("wyłączone");
    }
    return {};
}

QString explanation(S::TurnDetection v)
{
    switch (v) {
    case S::TurnDetection::serverVAD:
        return QStringLiteral("Twoja kolej kończy się, gdy zamilkniesz na ustawiony czas.");
    case S::TurnDetection::semanticVAD:
        return QStringLiteral("Model ocenia, czy skończyłeś myśl, zanim odpowie; pauzy w środku zdania go nie popędzają.");
    case S::TurnDetection::manual:
        return QStringLiteral("Bez wykrywania końca wypowiedzi: model nie odpowiada sam, gdy zamilkniesz.");
    }
    return {};
}

QString label(S::Eagerness v)
{
    switch (v) {
    case S::Eagerness::low:
        return QStringLiteral("niska");
    case S::Eagerness::medium:
        return QStringLiteral("średnia");
    case S::Eagerness::high:
        return QStringLiteral("wysoka");
    case S::Eagerness::automatic:
        return QStringLiteral("automatyczna");
    }
    return {};
}

QString explanation(S::Eagerness v)
{
    switch (v) {
    case S::Eagerness::low:
        return QStringLiteral("Model czeka dłużej, zanim wejdzie Ci w słowo.");
    case S::Eagerness::medium:
        return QStringLiteral("Umiarkowane czekanie na koniec wypowiedzi.");
    case S::Eagerness::high:
        return QStringLiteral("Model odpowiada, jak tylko uzna, że skończyłeś.");
    case S::Eagerness::automatic:
        return QStringLiteral("Model sam dobiera, jak długo czekać.");
    }
    return {};
}

QString label(S::NoiseReduction v)
{
    switch (v) {
    case S::NoiseReduction::off:
        return QStringLiteral("wyłączone");
    case S::NoiseReduction::nearField:
        return QStringLiteral("mikrofon blisko ust");
    case S::NoiseReduction::farField:
        return QStringLiteral("mikrofon w oddali");
    }
    return {};
}

QString explanation(S::NoiseReduction v)
{
    switch (v) {
    case S::NoiseReduction::off:
        return QStringLiteral("Dźwięk idzie do modelu bez odszumiania.");
    case S::NoiseReduction::nearField:
        return QStringLiteral("Odszumianie dla zestawu słuchawkowego albo mikrofonu tuż przy ustach.");
    case S::NoiseReduction::farField:
        return QStringLiteral("Odszumianie dla mikrofonu w laptopie albo w pokoju.");
    }
    return {};
}

template <typename E>
std::unique_ptr<ChoiceList<E>> choices(QFormLayout* form, const QString& caption, QList<E> cases)
{
    return std::make_unique<ChoiceList<E>>(addChoice(form, caption), std::move(cases), qOverload<E>(&label),
                                           qOverload<E>(&explanation));
}

} // namespace

SpeechPane::SpeechPane(settings::SpeechPreferences& preferences, settings::ModelCatalog& catalog,
                       settings::VoicePreview& preview, KeyLookup openAIKey, QWidget* parent)
    : QWidget(parent), m_preferences(preferences), m_catalog(catalog), m_preview(preview),
      m_openAIKey(std::move(openAIKey))
{
    setAccessibleName(title());
    auto* pane = new QVBoxLayout(this);

    QFormLayout* model = section(pane, QStringLiteral("Model rozmowy"));
    m_model = addChoice(model, QStringLiteral("Model głosowy:"));
    m_model->setHelp(QStringLiteral("Model OpenAI, z którym rozmawiasz; działa od następnej rozmowy."));
    auto* fetch = new QPushButton(QStringLiteral("Odśwież listę modeli"));
    fetch->setAccessibleDescription(QStringLiteral("Pobiera z OpenAI modele dostępne dla Twojego klucza."));
    model->addRow(fetch);
    m_catalogState = makeNote({}, NoteFocus::reachable);
    model->addRow(m_catalogState);

    QFormLayout* voice = section(pane, QStringLiteral("Głos"));
    m_voice = addChoice(voice, QStringLiteral("Głos:"));
    m_speed = addRow(voice, QStringLiteral("Tempo mowy:"), new QDoubleSpinBox);
    m_speed->setRange(0.25, 1.5);
    m_speed->setSingleStep(0.05);
    m_speed->setDecimals(2);
    m_speed->setAccessibleDescription(QStringLiteral("1,00 to zwykłe tempo; od 0,25 do 1,50."));
    m_sample = new QPushButton;
    m_sample->setAccessibleDescription(QStringLiteral("Odtwarza krótkie zdanie wybranym głosem i tempem."));
    voice->addRow(m_sample);
    m_sampleState = makeNote({}, NoteFocus::reachable);
    voice->addRow(m_sampleState);

    QFormLayout* listening = section(pane, QStringLiteral("Słuchanie"));
    m_turnDetection = choices(listening, QStringLiteral("Koniec wypowiedzi wykrywany:"),
                              QList{S::TurnDetection::serverVAD, S::TurnDetection::semanticVAD, S::TurnDetection::manual});
    m_threshold = addRow(listening, QStringLiteral("Czułość wykrywania mowy:"), new QDoubleSpinBox);
    m_threshold->setRange(0, 1);
    m_threshold->setSingleStep(0.05);
    m_threshold->setDecimals(2);
    m_threshold->setAccessibleDescription(
        QStringLiteral("Od 0 do 1; wyższa wartość wymaga głośniejszej mowy, więc mniej przeszkadza szum."));
    m_prefixPadding = addRow(listening, QStringLiteral("Dźwięk sprzed początku mowy:"), new QSpinBox);
    m_prefixPadding->setRange(0, 5000);
    m_prefixPadding->setSingleStep(50);
    m_prefixPadding->setSuffix(QStringLiteral(" ms"));
    m_silence = addRow(listening, QStringLiteral("Cisza kończąca wypowiedź:"), new QSpinBox);
    m_silence->setRange(0, 10000);
    m_silence->setSingleStep(50);
    m_silence->setSuffix(QStringLiteral(" ms"));
    m_eagerness = choices(listening, QStringLiteral("Gotowość do odpowiedzi:"),
                          QList{S::Eagerness::low, S::Eagerness::medium, S::Eagerness::high, S::Eagerness::automatic});
    m_noiseReduction = choices(listening, QStringLiteral("Odszumianie:"),
                               QList{S::NoiseReduction::off, S::NoiseReduction::nearField, S::NoiseReduction::farField});

    QFormLayout* key = section(pane, QStringLiteral("Klucz OpenAI"));
    m_key = makeNote({}, NoteFocus::reachable);
    key->addRow(m_key);
    m_keySection = key;

    auto* defaults = new QPushButton(QStringLiteral("Przywróć domyślne ustawienia mowy"));
    defaults->setAccessibleDescription(QStringLiteral("Model, głos, tempo i słuchanie wracają do ustawień domyślnych."));
    pane->addWidget(defaults);
    pane->addStretch();

    showPreferences();
    showPreview();
    showKey();

    connect(m_model, &RadioChoice::chosen, this, [this](const QVariant& model) { m_preferences.setModel(model.toString()); });
    connect(fetch, &QPushButton::clicked, &m_catalog, &settings::ModelCatalog::refresh);
    connect(&m_catalog, &settings::ModelCatalog::changed, this, &SpeechPane::showModels);
    connect(m_voice, &RadioChoice::chosen, this, [this](const QVariant& voice) { m_preferences.setVoice(voice.toString()); });
    connect(m_speed, &QDoubleSpinBox::valueChanged, this, [this](double v) { m_preferences.setSpeed(v); });
    connect(m_sample, &QPushButton::clicked, this, [this] {
        if (m_preview.playingVoice())
            m_preview.stop();
        else
            m_preview.play(m_voice->currentValue().toString(), m_speed->value());
    });
    connect(&m_preview, &settings::VoicePreview::changed, this, &SpeechPane::showPreview);
    connect(m_threshold, &QDoubleSpinBox::valueChanged, this, [this](double v) { m_preferences.setThreshold(v); });
    connect(m_prefixPadding, &QSpinBox::valueChanged, this, [this](int v) { m_preferences.setPrefixPaddingMs(v); });
    connect(m_silence, &QSpinBox::valueChanged, this, [this](int v) { m_preferences.setSilenceDurationMs(v); });
    m_turnDetection->onChosen(this, [this](S::TurnDetection v) { m_preferences.setTurnDetection(v); });
    m_eagerness->onChosen(this, [this](S::Eagerness v) { m_preferences.setEagerness(v); });
    m_noiseReduction->onChosen(this, [this](S::NoiseReduction v) { m_preferences.setNoiseReduction(v); });
    connect(defaults, &QPushButton::clicked, this, [this] {
        m_preferences.restoreDefaults();
        showPreferences();
    });
}

SpeechPane::~SpeechPane() = default;

void SpeechPane::showPreferences()
{
    showModels();
    {
        QStringList voices = S::voiceChoices();
        if (!voices.contains(m_preferences.voice()))
            voices.prepend(m_preferences.voice());
        QList<RadioChoice::Option> options;
        for (const QString& v : voices)
            options.append({S::recommendedVoices().contains(v) ? v + QStringLiteral(" (polecany)") : v, v, QString()});
        m_voice->setOptions(options, m_preferences.voice());
    }
    // A stored value beyond a box's range is shown at its edge and stays stored until changed here.
    for (auto [box, value] : {std::pair{m_speed, m_preferences.speed()}, std::pair{m_threshold, m_preferences.threshold()}}) {
        const QSignalBlocker blocker(box);
        box->setValue(value);
    }
    for (auto [box, value] : {std::pair{m_prefixPadding, m_preferences.prefixPaddingMs()},
                              std::pair{m_silence, m_preferences.silenceDurationMs()}}) {
        const QSignalBlocker blocker(box);
        box->setValue(int(std::clamp(value, double(box->minimum()), double(box->maximum()))));
    }
    m_turnDetection->show(m_preferences.turnDetection());
    m_eagerness->show(m_preferences.eagerness());
    m_noiseReduction->show(m_preferences.noiseReduction());
}

void SpeechPane::showModels()
{
    QList<RadioChoice::Option> options;
    for (const QString& model : m_catalog.realtimeOptions(m_preferences.model()))
        options.append({model, model, QString()});
    // A rebuilt list takes the focus from the option that had it: it goes to the chosen one.
    const bool hadFocus = m_model->isAncestorOf(QApplication::focusWidget());
    m_model->setOptions(options, m_preferences.model());
    if (hadFocus && m_model->currentIndex() >= 0)
        m_model->buttons()[m_model->currentIndex()]->setFocus(Qt::OtherFocusReason);
    setNote(m_catalogState, catalogState(m_catalog));
}

void SpeechPane::showPreview()
{
    const auto& playing = m_preview.playingVoice();
    m_sample->setText(playing ? QStringLiteral("Zatrzymaj próbkę głosu") : QStringLiteral("Posłuchaj próbki głosu"));
    m_sample->setAccessibleName(m_sample->text());
    // The sample itself is heard while it plays; only its failure needs words.
    setNote(m_sampleState,
            playing ? QStringLiteral("Odtwarzam próbkę głosu ") + *playing + QLatin1Char('.')
            : m_preview.failure() ? m_preview.failure()->description()
                                  : QString(),
            playing ? NoteReport::silent : NoteReport::whenChanged);
}

void SpeechPane::setKeyField(ApiKeyField* field)
{
    m_keySection->addRow(field);
    // Made after the pane's own last button, the field would be reached by Tab only after it: its
    // stops follow the section's note instead, where they are read.
    QWidget* previous = m_key;
    for (QWidget* stop : field->findChildren<QWidget*>()) {
        if (stop->focusPolicy() & Qt::TabFocus) {
            QWidget::setTabOrder(previous, stop);
            previous = stop;
        }
    }
    connect(field, &ApiKeyField::keyChanged, this, [this] { showKey(); });
}

void SpeechPane::showKey(NoteReport report)
{
    m_preferences.refreshKeySummary(m_openAIKey ? m_openAIKey() : std::nullopt);
    const auto summary = m_preferences.storedKeySummary();
    setNote(m_key, summary ? QStringLiteral("Używany klucz OpenAI kończy się na ") + *summary + QLatin1Char('.')
                           : QStringLiteral("Nie ma klucza OpenAI: bez niego nie porozmawiasz i nie usłyszysz próbki głosu."),
            report);
}

} // namespace selvina::settingspanes

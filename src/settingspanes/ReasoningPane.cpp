#include "settingspanes/ReasoningPane.h"

#include "settings/ModelCatalog.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

namespace selvina::settingspanes {

namespace {

using R = settings::ReasoningPreferences;

const QStringList kEngineValues{QStringLiteral("auto"), QStringLiteral("claude"), QStringLiteral("codex")};

QString engineState(const R::EngineState& state)
{
    return R::engineName(state.engine) + QStringLiteral(": ")
           + (state.available ? QStringLiteral("gotowy do pracy.") : state.missing.value_or(QStringLiteral("niedostępny.")));
}

} // namespace

QString catalogState(const settings::ModelCatalog& catalog)
{
    if (catalog.loading())
        return QStringLiteral("Pobieram listę modeli z OpenAI…");
    if (catalog.failure())
        return catalog.failure()->description();
    if (catalog.updatedAt())
        return QStringLiteral("Lista modeli pobrana ")
               + QLocale(QLocale::Polish).toString(catalog.updatedAt()->toLocalTime(), QLocale::ShortFormat) + QLatin1Char('.');
    return QStringLiteral("Listy modeli jeszcze nie pobrano.");
}

ReasoningPane::ReasoningPane(settings::ReasoningPreferences& preferences, settings::ModelCatalog& catalog,
                             QString codexFolder, QWidget* parent)
    : QWidget(parent), m_preferences(preferences), m_catalog(catalog), m_codexFolder(std::move(codexFolder))
{
    setAccessibleName(title());
    auto* pane = new QVBoxLayout(this);

    QFormLayout* engines = section(pane, QStringLiteral("Silnik agenta"));
    m_engine = addRow(engines, QStringLiteral("Orkiestrator zadań:"), new QComboBox);
    m_engine->addItems({QStringLiteral("Automatycznie"), QStringLiteral("Claude Code"), QStringLiteral("Codex CLI")});
    m_engine->setAccessibleDescription(
        QStringLiteral("Który agent wykonuje zlecone zadania. Automatycznie: pierwszy gotowy do pracy."));
    m_activeEngine = makeNote({}, NoteFocus::reachable);
    m_claudeState = makeNote({}, NoteFocus::reachable);
    m_codexState = makeNote({}, NoteFocus::reachable);
    engines->addRow(m_activeEngine);
    engines->addRow(m_claudeState);
    engines->addRow(m_codexState);
    auto* detect = new QPushButton(QStringLiteral("Sprawdź silniki ponownie"));
    detect->setAccessibleDescription(QStringLiteral("Sprawdza, czy Claude Code i Codex CLI są zainstalowane i zalogowane."));
    engines->addRow(detect);

    QFormLayout* claude = section(pane, QStringLiteral("Claude Code"));
    m_claudeModel = addRow(claude, QStringLiteral("Model Claude Code:"), new QLineEdit);
    m_claudeModel->setAccessibleDescription(QStringLiteral("Nazwa modelu; zmiana uruchamia warstwę namysłu od nowa."));
    auto* effort = addRow(claude, QStringLiteral("Namysł Claude Code:"), new QComboBox);
    auto* effortText = makeNote({}, NoteFocus::passive);
    claude->addRow(effortText);
    m_effort = std::make_unique<ChoiceList<R::Effort>>(effort, R::allCases<R::Effort>(),
                                                       qOverload<R::Effort>(&R::label),
                                                       qOverload<R::Effort>(&R::explanation), effortText);

    QFormLayout* codex = section(pane, QStringLiteral("Codex CLI"));
    m_codexModel = addRow(codex, QStringLiteral("Model Codex CLI:"), new QComboBox);
    m_codexModel->setEditable(true);
    m_codexModel->setInsertPolicy(QComboBox::NoInsert);
    m_codexModel->lineEdit()->setAccessibleName(m_codexModel->accessibleName());
    m_codexModel->setAccessibleDescription(
        QStringLiteral("Puste pole: model z ustawień Codex CLI. Zmiana uruchamia warstwę namysłu od nowa."));
    auto* codexEffort = addRow(codex, QStringLiteral("Namysł Codex CLI:"), new QComboBox);
    auto* codexEffortText = makeNote({}, NoteFocus::passive);
    codex->addRow(codexEffortText);
    m_codexEffort = std::make_unique<ChoiceList<R::CodexEffort>>(
        codexEffort, R::allCases<R::CodexEffort>(), qOverload<R::CodexEffort>(&R::label),
        qOverload<R::CodexEffort>(&R::explanation), codexEffortText);
    auto* fetch = new QPushButton(QStringLiteral("Odśwież listę modeli"));
    fetch->setAccessibleDescription(QStringLiteral("Pobiera z OpenAI modele dostępne dla Twojego klucza."));
    codex->addRow(fetch);
    m_catalogState = makeNote({}, NoteFocus::reachable);
    codex->addRow(m_catalogState);

    QFormLayout* memory = section(pane, QStringLiteral("Pamięć agenta"));
    auto* pamiec = addRow(memory, QStringLiteral("Jak długo agent pamięta zadania:"), new QComboBox);
    auto* pamiecText = makeNote({}, NoteFocus::passive);
    memory->addRow(pamiecText);
    m_pamiec = std::make_unique<ChoiceList<R::Pamiec>>(pamiec, R::allCases<R::Pamiec>(),
                                                       qOverload<R::Pamiec>(&R::label),
                                                       qOverload<R::Pamiec>(&R::explanation), pamiecText);

    QFormLayout* voice = section(pane, QStringLiteral("Model głosowy"));
    auto* voiceEffort = addRow(voice, QStringLiteral("Namysł modelu głosowego:"), new QComboBox);
    auto* voiceText = makeNote({}, NoteFocus::passive);
    voice->addRow(voiceText);
    m_voiceEffort = std::make_unique<ChoiceList<R::VoiceEffort>>(
        voiceEffort, R::allCases<R::VoiceEffort>(), qOverload<R::VoiceEffort>(&R::label),
        qOverload<R::VoiceEffort>(&R::explanation), voiceText);
    pane->addStretch();

    showPreferences();
    showEngines();
    showCodexModels();

    connect(m_engine, &QComboBox::activated, this, [this](int index) {
        m_preferences.setEngine(kEngineValues.value(index, kEngineValues.first()));
        showEngines();
    });
    connect(detect, &QPushButton::clicked, &m_preferences, &R::refreshEngines);
    connect(m_claudeModel, &QLineEdit::editingFinished, this, &ReasoningPane::commitClaudeModel);
    connect(m_codexModel, &QComboBox::activated, this, &ReasoningPane::commitCodexModel);
    connect(m_codexModel->lineEdit(), &QLineEdit::editingFinished, this, &ReasoningPane::commitCodexModel);
    connect(effort, &QComboBox::activated, this, [this] {
        m_effort->explain();
        m_preferences.setEffort(m_effort->current());
    });
    connect(codexEffort, &QComboBox::activated, this, [this] {
        m_codexEffort->explain();
        m_preferences.setCodexEffort(m_codexEffort->current());
    });
    connect(pamiec, &QComboBox::activated, this, [this] {
        m_pamiec->explain();
        m_preferences.setPamiec(m_pamiec->current());
    });
    connect(voiceEffort, &QComboBox::activated, this, [this] {
        m_voiceEffort->explain();
        m_preferences.setVoiceEffort(m_voiceEffort->current());
    });
    connect(fetch, &QPushButton::clicked, &m_catalog, &settings::ModelCatalog::refresh);
    connect(&m_catalog, &settings::ModelCatalog::changed, this, &ReasoningPane::showCodexModels);
    connect(&m_preferences, &R::enginesChanged, this, [this] {
        showPreferences();
        showEngines();
    });
}

ReasoningPane::~ReasoningPane() = default;

void ReasoningPane::setKeyField(QWidget* field)
{
    auto* pane = static_cast<QVBoxLayout*>(layout());
    delete pane->takeAt(pane->count() - 1); // the stretch, which stays last
    section(pane, QStringLiteral("Klucz Anthropic"))->addRow(field);
    pane->addStretch();
}

void ReasoningPane::showPreferences()
{
    const QSignalBlocker blocker(m_engine);
    const qsizetype engine = kEngineValues.indexOf(m_preferences.engine().trimmed().toLower());
    m_engine->setCurrentIndex(int(engine < 0 ? 0 : engine));
    m_claudeModel->setText(m_preferences.model());
    m_effort->show(m_preferences.effort());
    m_codexEffort->show(m_preferences.codexEffort());
    m_pamiec->show(m_preferences.pamiec());
    m_voiceEffort->show(m_preferences.voiceEffort());
}

void ReasoningPane::showEngines()
{
    setNote(m_activeEngine, QStringLiteral("Zadania wykona teraz: ") + R::engineName(m_preferences.activeEngine())
                                + QLatin1Char('.'));
    setNote(m_claudeState, engineState(m_preferences.engineStates()[0]));
    setNote(m_codexState, engineState(m_preferences.engineStates()[1]));
}

void ReasoningPane::showCodexModels()
{
    const QSignalBlocker blocker(m_codexModel);
    const QString current = m_preferences.codexModel();
    m_codexModel->clear();
    m_codexModel->addItems(m_catalog.reasoningOptions(current));
    m_codexModel->setCurrentText(current);
    const auto own = R::codexConfiguredModel(m_codexFolder);
    m_codexModel->lineEdit()->setPlaceholderText(own ? QStringLiteral("z ustawień Codex CLI: ") + *own
                                                     : QStringLiteral("domyślny model Codex CLI"));
    setNote(m_catalogState, catalogState(m_catalog));
}

void ReasoningPane::commitClaudeModel()
{
    const QString model = m_claudeModel->text().trimmed();
    if (model.isEmpty()) {
        m_claudeModel->setText(m_preferences.model()); // a model must be named
        return;
    }
    if (model == m_preferences.model())
        return;
    m_preferences.setModel(model);
    m_preferences.applyModelChange();
}

void ReasoningPane::commitCodexModel()
{
    const QString model = m_codexModel->currentText().trimmed();
    if (model == m_preferences.codexModel())
        return;
    m_preferences.setCodexModel(model);
    m_preferences.applyModelChange();
}

} // namespace selvina::settingspanes

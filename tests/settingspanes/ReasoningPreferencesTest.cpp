// The reasoning preferences over a real config.json in a temporary folder: defaults and fallbacks
// for every stored value, the broken file moved aside, the active engine, Codex's own model line.
#include "TestSupport.h"
#include "platform/fake/MemoryStores.h"
#include "settings/ReasoningPreferences.h"
#include "settings/SpeechPreferences.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace selvina::settings {
namespace {

using R = ReasoningPreferences;
using selvina::testing::writeFile;

class Reasoning : public ::testing::Test {
protected:
    QString configFile() const { return m_dir.filePath(QStringLiteral("config.json")); }
    std::unique_ptr<R> open()
    {
        return std::make_unique<R>(configFile(), m_store, [this] {
            return std::pair{R::EngineState{R::Engine::claude, claudeReady, std::nullopt},
                             R::EngineState{R::Engine::codex, codexReady, std::nullopt}};
        });
    }
    QByteArray storedText(const QString& suffix = {}) const { return testing::readFile(configFile() + suffix); }
    QJsonObject stored() const { return QJsonDocument::fromJson(storedText()).object(); }

    QTemporaryDir m_dir;
    platform::fake::MemoryPreferences m_store;
    bool claudeReady = true;
    bool codexReady = true;
};

// Every value read, in one comparison: engine, effort, model, Codex effort and model, memory, voice effort.
auto values(const R& p)
{
    return std::tuple{p.engine(), p.effort(), p.model(), p.codexEffort(), p.codexModel(), p.pamiec(), p.voiceEffort()};
}

TEST_F(Reasoning, MissingWrongTypedAndUnknownValuesReadAsDefaults)
{
    const std::pair<QByteArray, QVariant> cases[] = {
        {"", QVariant()}, // no file
        {R"({"reasoning_engine": 5, "claude_effort": "ultra", "claude_model": 7, "codex_effort": true,
            "codex_model": [], "sesja_godziny": 100})", QStringLiteral("turbo")},
        {R"({"reasoning_engine": "gemini", "claude_effort": 3, "claude_model": "  ", "sesja_godziny": "72"})", 3},
        {R"({"sesja_godziny": 72.5, "claude_effort": "High"})", QString()},
    };
    for (const auto& [config, voiceEffort] : cases) {
        SCOPED_TRACE(config.toStdString());
        QFile::remove(configFile());
        if (!config.isEmpty())
            writeFile(configFile(), config);
        m_store.values.clear();
        if (voiceEffort.isValid())
            m_store.setValue(QLatin1String(R::kVoiceEffortKey), voiceEffort);
        EXPECT_EQ(values(*open()), (std::tuple{QStringLiteral("auto"), R::Effort::high, QStringLiteral("claude-opus-5"),
                                               R::CodexEffort::high, QString(), R::Pamiec::trzyDni, R::VoiceEffort::automatic}));
    }
}

TEST_F(Reasoning, StoredValuesReadBackAndWritesKeepOtherKeys)
{
    writeFile(configFile(), R"({"openai_api_key": "sk-x", "reasoning_engine": " Codex ", "claude_effort": "max",
        "claude_model": "claude-sonnet-5", "codex_effort": "minimal", "codex_model": "gpt-5-codex", "sesja_godziny": -1})");
    m_store.setValue(QLatin1String(R::kVoiceEffortKey), QStringLiteral("xhigh"));
    auto p = open();
    EXPECT_EQ(values(*p), (std::tuple{QStringLiteral(" Codex "), R::Effort::max, QStringLiteral("claude-sonnet-5"),
                                      R::CodexEffort::minimal, QStringLiteral("gpt-5-codex"), R::Pamiec::zawsze, R::VoiceEffort::xhigh}));
    EXPECT_EQ(p->activeEngine(), R::Engine::codex);
    EXPECT_EQ(SpeechPreferences(m_store).snapshot().reasoningEffort, QStringLiteral("xhigh")); // the voice's setting

    p->setPamiec(R::Pamiec::dwanascieGodzin);
    p->setCodexEffort(R::CodexEffort::xhigh);
    p->setVoiceEffort(R::VoiceEffort::automatic);
    const QJsonObject o = stored();
    EXPECT_EQ(o.value("openai_api_key").toString(), "sk-x");
    EXPECT_EQ(o.value("sesja_godziny").toInt(), 12);
    EXPECT_EQ(o.value("codex_effort").toString(), "xhigh");
    EXPECT_EQ(m_store.values.value(R::kVoiceEffortKey).toString(), "");
    EXPECT_EQ(open()->pamiec(), R::Pamiec::dwanascieGodzin);
}

TEST_F(Reasoning, BrokenConfigIsMovedAsideOnTheFirstWrite)
{
    for (const QByteArray& broken : {QByteArray("[1, 2]"), QByteArray("{\"claude_model\": ")}) {
        writeFile(configFile(), broken);
        writeFile(configFile() + QStringLiteral(".uszkodzony"), "older");
        auto p = open();
        EXPECT_EQ(p->model(), "claude-opus-5");
        EXPECT_EQ(QFile(configFile()).size(), broken.size()); // reading leaves it alone
        p->setEngine(QStringLiteral("claude"));
        p->setModel(QStringLiteral("claude-haiku-5"));
        EXPECT_EQ(storedText(QStringLiteral(".uszkodzony")), broken);
        EXPECT_EQ(stored(), (QJsonObject{{"reasoning_engine", "claude"}, {"claude_model", "claude-haiku-5"}}));
    }
    EXPECT_EQ(storedText(), "{\n    \"claude_model\": \"claude-haiku-5\",\n    \"reasoning_engine\": \"claude\"\n}\n");
}

TEST_F(Reasoning, ActiveEngineFollowsWhatIsAvailable)
{
    const struct {
        const char* engine;
        bool claude, codex;
        R::Engine active;
    } cases[] = {
        {"auto", true, true, R::Engine::claude},   {"auto", false, true, R::Engine::codex},
        {"auto", false, false, R::Engine::claude}, {"codex", true, true, R::Engine::codex},
        {"codex", true, false, R::Engine::claude}, {"CLAUDE ", true, true, R::Engine::claude},
        {"claude", false, false, R::Engine::claude}, {"claude", false, true, R::Engine::codex},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.engine);
        claudeReady = c.claude;
        codexReady = c.codex;
        writeFile(configFile(), QByteArray("{\"reasoning_engine\": \"") + c.engine + "\"}");
        EXPECT_EQ(open()->activeEngine(), c.active);
    }

    // As the last row left it, Codex only and "claude" chosen: refreshing switches the stored choice.
    auto p = open();
    EXPECT_EQ(p->available(), QList<R::Engine>{R::Engine::codex});
    int restarts = 0;
    QObject::connect(p.get(), &R::sidecarRestartNeeded, [&] { ++restarts; });
    p->refreshEngines();
    EXPECT_EQ(p->engine(), "codex");
    EXPECT_EQ(stored().value("reasoning_engine").toString(), "codex");
    EXPECT_EQ(restarts, 1) << "the sidecar reads the engine only when it starts";
    // What the sidecar reads asks for a new one when it changes; the voice effort is not its.
    p->setPamiec(R::Pamiec::tydzien);
    p->setPamiec(R::Pamiec::tydzien);
    p->setCodexEffort(R::CodexEffort::low);
    p->setVoiceEffort(R::VoiceEffort::low);
    EXPECT_EQ(restarts, 3);
    p->applyModelChange();
    EXPECT_EQ(restarts, 4);
}

TEST(ReasoningCases, SliderPositionsMapToTheNearestCase)
{
    for (const auto& [position, effort] : {std::pair{-1.0, R::Effort::low}, {std::nan(""), R::Effort::low},
                                           {1.4, R::Effort::medium}, {1.6, R::Effort::high}, {99.0, R::Effort::max}})
        EXPECT_EQ(R::at<R::Effort>(position), effort) << position;
    EXPECT_EQ(R::at<R::CodexEffort>(0.5), R::CodexEffort::low);
    EXPECT_EQ(R::at<R::VoiceEffort>(5.2), R::VoiceEffort::xhigh);
}

TEST(ReasoningCases, CodexModelLine)
{
    QTemporaryDir dir;
    const std::pair<QByteArray, std::optional<QString>> cases[] = {
        {"model_provider = \"openai\"\n\tmodel   =   \"gpt-5-codex\"  \n", QStringLiteral("gpt-5-codex")},
        {"model=o4-mini\n", QStringLiteral("o4-mini")},
        {"model = \"\"\nmodel = \"gpt-5\" # the fast one\n", QStringLiteral("gpt-5")},
        {"models = 3\nmodel\n# model = x\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, model] : cases) {
        SCOPED_TRACE(text.toStdString());
        writeFile(dir.filePath(QStringLiteral("config.toml")), text);
        EXPECT_EQ(R::codexConfiguredModel(dir.path()), model);
    }
    EXPECT_EQ(R::codexConfiguredModel(dir.filePath(QStringLiteral("none"))), std::nullopt);
}

} // namespace
} // namespace selvina::settings

// The reasoning preferences over a real config.json in a temporary folder: defaults and fallbacks
// for every stored value, the broken file moved aside, the active engine, Codex's own model line.
#include "TestSupport.h"
#include "platform/fake/MemoryStores.h"
#include "settings/ReasoningPreferences.h"
#include "settings/SpeechPreferences.h"

#include <gtest/gtest.h>

#include <QDir>
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
    QJsonObject stored() const
    {
        QFile f(configFile());
        f.open(QIODevice::ReadOnly);
        return QJsonDocument::fromJson(f.readAll()).object();
    }

    QTemporaryDir m_dir;
    platform::fake::MemoryPreferences m_store;
    bool claudeReady = true;
    bool codexReady = true;
};

TEST_F(Reasoning, MissingWrongTypedAndUnknownValuesReadAsDefaults)
{
    const QByteArray configs[] = {
        "", // no file
        R"({"reasoning_engine": 5, "claude_effort": "ultra", "claude_model": 7, "codex_effort": true,
            "codex_model": [], "sesja_godziny": 100})",
        R"({"reasoning_engine": "gemini", "claude_effort": 3, "claude_model": "  ", "sesja_godziny": "72"})",
        R"({"sesja_godziny": 72.5, "claude_effort": "High"})",
    };
    const QVariant voiceEfforts[] = {QVariant(), QVariant(QStringLiteral("turbo")), QVariant(3), QVariant(QString())};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        QFile::remove(configFile());
        if (!configs[i].isEmpty())
            writeFile(configFile(), configs[i]);
        m_store.values.clear();
        if (voiceEfforts[i].isValid())
            m_store.setValue(QLatin1String(R::kVoiceEffortKey), voiceEfforts[i]);
        const auto p = open();
        EXPECT_EQ(p->engine(), "auto");
        EXPECT_EQ(p->effort(), R::Effort::high);
        EXPECT_EQ(p->model(), "claude-opus-5");
        EXPECT_EQ(p->codexEffort(), R::CodexEffort::high);
        EXPECT_EQ(p->codexModel(), "");
        EXPECT_EQ(p->pamiec(), R::Pamiec::trzyDni);
        EXPECT_EQ(p->voiceEffort(), R::VoiceEffort::automatic);
    }
}

TEST_F(Reasoning, StoredValuesReadBackAndWritesKeepOtherKeys)
{
    writeFile(configFile(), R"({"openai_api_key": "sk-x", "reasoning_engine": " Codex ", "claude_effort": "max",
        "claude_model": "claude-sonnet-5", "codex_effort": "minimal", "codex_model": "gpt-5-codex", "sesja_godziny": -1})");
    m_store.setValue(QLatin1String(R::kVoiceEffortKey), QStringLiteral("xhigh"));
    auto p = open();
    EXPECT_EQ(p->engine(), " Codex ");
    EXPECT_EQ(p->activeEngine(), R::Engine::codex);
    EXPECT_EQ(p->effort(), R::Effort::max);
    EXPECT_EQ(p->model(), "claude-sonnet-5");
    EXPECT_EQ(p->codexEffort(), R::CodexEffort::minimal);
    EXPECT_EQ(p->codexModel(), "gpt-5-codex");
    EXPECT_EQ(p->pamiec(), R::Pamiec::zawsze);
    EXPECT_EQ(p->voiceEffort(), R::VoiceEffort::xhigh);
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
        QFile aside(configFile() + QStringLiteral(".uszkodzony"));
        ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
        EXPECT_EQ(aside.readAll(), broken);
        EXPECT_EQ(stored(), (QJsonObject{{"reasoning_engine", "claude"}, {"claude_model", "claude-haiku-5"}}));
    }
    QFile f(configFile());
    f.open(QIODevice::ReadOnly);
    EXPECT_EQ(f.readAll(), "{\n    \"claude_model\": \"claude-haiku-5\",\n    \"reasoning_engine\": \"claude\"\n}\n");
}

TEST_F(Reasoning, ActiveEngineFollowsWhatIsAvailable)
{
    struct Case {
        const char* engine;
        bool claude, codex;
        R::Engine active;
    };
    const Case cases[] = {
        {"auto", true, true, R::Engine::claude},   {"auto", false, true, R::Engine::codex},
        {"auto", false, false, R::Engine::claude}, {"codex", true, true, R::Engine::codex},
        {"codex", true, false, R::Engine::claude}, {"claude", false, true, R::Engine::codex},
        {"CLAUDE ", true, true, R::Engine::claude}, {"claude", false, false, R::Engine::claude},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.engine);
        claudeReady = c.claude;
        codexReady = c.codex;
        writeFile(configFile(), QByteArray("{\"reasoning_engine\": \"") + c.engine + "\"}");
        EXPECT_EQ(open()->activeEngine(), c.active);
    }

    // Codex only, "claude" chosen: refreshing switches the stored choice.
    claudeReady = false;
    codexReady = true;
    writeFile(configFile(), R"({"reasoning_engine": "claude"})");
    auto p = open();
    EXPECT_EQ(p->activeEngine(), R::Engine::codex);
    EXPECT_EQ(p->available(), QList<R::Engine>{R::Engine::codex});
    int restarts = 0;
    QObject::connect(p.get(), &R::sidecarRestartNeeded, [&] { ++restarts; });
    p->refreshEngines();
    EXPECT_EQ(p->engine(), "codex");
    EXPECT_EQ(stored().value("reasoning_engine").toString(), "codex");
    p->applyModelChange();
    EXPECT_EQ(restarts, 1);
}

TEST(ReasoningCases, SliderPositionsMapToTheNearestCase)
{
    EXPECT_EQ(R::at<R::Effort>(-1), R::Effort::low);
    EXPECT_EQ(R::at<R::Effort>(std::nan("")), R::Effort::low);
    EXPECT_EQ(R::at<R::Effort>(1.4), R::Effort::medium);
    EXPECT_EQ(R::at<R::Effort>(1.6), R::Effort::high);
    EXPECT_EQ(R::at<R::Effort>(99), R::Effort::max);
    EXPECT_EQ(R::at<R::CodexEffort>(0.5), R::CodexEffort::low);
    EXPECT_EQ(R::at<R::VoiceEffort>(5.2), R::VoiceEffort::xhigh);
    QList<int> hours;
    for (R::Pamiec p : R::allCases<R::Pamiec>())
        hours.append(R::hours(p));
    EXPECT_EQ(hours, (QList<int>{0, 12, 24, 48, 72, 168, 336, -1}));
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

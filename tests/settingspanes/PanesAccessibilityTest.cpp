// Both panes as the keyboard meets them: Tab reaches every control that takes focus, and a control
// writes straight into its store. The names a screen reader hears: SettingsWindowAccessibilityTest.
#include "ManualClock.h"
#include "platform/fake/MemoryStores.h"
#include "platform/fake/NoAudioDevices.h"
#include "settings/ModelCatalog.h"
#include "settings/ReasoningPreferences.h"
#include "settings/SpeechPreferences.h"
#include "settings/VoicePreview.h"
#include "settingspanes/ApiKeyField.h"
#include "settingspanes/ReasoningPane.h"
#include "settingspanes/SpeechPane.h"

#include <gtest/gtest.h>

#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>

namespace selvina::settingspanes {
namespace {

using R = settings::ReasoningPreferences;

// Each focusable, visible child: whether Tab reaches it.
void expectReachable(QWidget& pane)
{
    pane.show();
    QSet<QWidget*> chain;
    for (QWidget* w = pane.nextInFocusChain(); w != &pane; w = w->nextInFocusChain())
        chain.insert(w);
    int focusable = 0;
    for (QWidget* w : pane.findChildren<QWidget*>()) {
        if (!w->isVisibleTo(&pane) || !(w->focusPolicy() & Qt::TabFocus) || w->focusProxy())
            continue;
        ++focusable;
        EXPECT_TRUE(chain.contains(w)) << w->metaObject()->className() << " " << w->accessibleName().toStdString();
    }
    EXPECT_GT(focusable, 10);
}

template <typename W>
W* named(QWidget& pane, const QString& name)
{
    for (W* w : pane.findChildren<W*>())
        if (w->accessibleName() == name)
            return w;
    return nullptr;
}

R::EngineDetection engines(bool claude, bool codex)
{
    return [=] {
        return std::pair{R::EngineState{R::Engine::claude, claude, claude ? std::nullopt : std::optional(QStringLiteral("Nie znaleziono polecenia claude."))},
                         R::EngineState{R::Engine::codex, codex, std::nullopt}};
    };
}

class Panes : public ::testing::Test {
protected:
    QTemporaryDir m_dir;
    platform::fake::MemoryPreferences m_store;
    testing::ManualClock m_clock;
    platform::fake::NoAudioDevices m_audio;
    platform::fake::MemorySystemLog m_log;
    settings::ServiceAccess m_access{[](const QString& path) { return QUrl(QStringLiteral("http://127.0.0.1:9") + path); },
                                     [] { return std::optional<QString>(); }};
    settings::ModelCatalog m_catalog{m_access, m_dir.filePath(QStringLiteral("models-cache.json")), m_clock};
};

TEST_F(Panes, ReasoningPaneIsReachableAndWrites)
{
    R preferences(m_dir.filePath(QStringLiteral("config.json")), m_store, engines(false, true));
    int restarts = 0;
    QObject::connect(&preferences, &R::sidecarRestartNeeded, [&] { ++restarts; });
    ReasoningPane pane(preferences, m_catalog, m_dir.filePath(QStringLiteral(".codex")));
    expectReachable(pane);

    // A click (or an arrow key) on an option writes at once.
    auto* memory = named<RadioChoice>(pane, QStringLiteral("Jak długo agent pamięta zadania"));
    ASSERT_NE(memory, nullptr);
    const int week = int(R::allCases<R::Pamiec>().indexOf(R::Pamiec::tydzien));
    memory->buttons()[week]->click();
    EXPECT_EQ(R(m_dir.filePath(QStringLiteral("config.json")), m_store, engines(true, true)).pamiec(), R::Pamiec::tydzien);
    EXPECT_EQ(memory->buttons()[week]->accessibleDescription(), R::explanation(R::Pamiec::tydzien));
    EXPECT_EQ(restarts, 1) << "the next task runs with the new memory length";
}

TEST_F(Panes, SpeechPaneIsReachableAndWrites)
{
    settings::SpeechPreferences preferences(m_store);
    settings::VoicePreview preview(m_access, m_audio, m_log, m_clock);
    SpeechPane pane(preferences, m_catalog, preview, [] { return std::optional<QString>(QStringLiteral("sk-abcdef123456")); });
    ApiKeyField::Services key;
    key.provider = QStringLiteral("OpenAI");
    key.showsSummary = false; // the pane says which key is in use
    pane.setKeyField(new ApiKeyField(key));
    expectReachable(pane);
    // Tab reaches the key field from its section's note, before the pane's last button.
    QStringList stops;
    for (QWidget* w = pane.nextInFocusChain(); w != &pane; w = w->nextInFocusChain())
        if (w->isVisibleTo(&pane) && (w->focusPolicy() & Qt::TabFocus))
            stops << (w->accessibleName().isEmpty() ? w->property("text").toString() : w->accessibleName());
    const qsizetype field = stops.indexOf(QStringLiteral("Klucz OpenAI"));
    ASSERT_GT(field, 0) << stops.join(u'|').toStdString();
    EXPECT_TRUE(stops[field - 1].startsWith(QStringLiteral("Używany klucz OpenAI"))) << stops.join(u'|').toStdString();
    EXPECT_LT(field, stops.indexOf(QStringLiteral("Przywróć domyślne ustawienia mowy"))) << stops.join(u'|').toStdString();

    auto* silence = named<QSpinBox>(pane, QStringLiteral("Cisza kończąca wypowiedź"));
    ASSERT_NE(silence, nullptr);
    silence->setValue(900);
    EXPECT_EQ(preferences.snapshot().silenceDurationMs, 900);
    EXPECT_EQ(m_store.values.value(QStringLiteral("speech.silenceDurationMs")).toDouble(), 900);
    EXPECT_EQ(preferences.storedKeySummary(), QStringLiteral("…123456"));
}

} // namespace
} // namespace selvina::settingspanes

#include "settings/SpeechPreferences.h"

#include "TestSupport.h"
#include "settings/Configuration.h"
#include "platform/fake/MemoryStores.h"
#include "platform/linux/settings/IniPreferences.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace selvina;
using settings::SpeechPreferences;

// Every value of a snapshot, for one comparison.
auto fields(const voice::SpeechSettings& s)
{
    return std::tuple{s.voice, s.speed, s.turnDetection, s.threshold, s.prefixPaddingMs,
                      s.silenceDurationMs, s.eagerness, s.noiseReduction, s.reasoningEffort};
}

TEST(SpeechPreferences, UnknownValuesReadAsDefaultsAndTheSnapshotClampsAndTruncates)
{
    // The INI store hands numbers back as text.
    const struct {
        QMap<QString, QVariant> stored;
        voice::SpeechSettings snapshot;
    } cases[] = {
        {{{"speech.turnDetection", "push_to_talk"}, {"speech.eagerness", "HIGH"}, {"speech.noiseReduction", 3},
          {"speech.speed", "szybko"}},
         {}},
        {{{"speech.speed", "2.0"}, {"speech.prefixPaddingMs", "300.9"}, {"speech.silenceDurationMs", 1e30},
          {"speech.turnDetection", "off"}, {"speech.noiseReduction", "near_field"}},
         {.speed = 1.5, .turnDetection = "off", .silenceDurationMs = std::numeric_limits<qint64>::max(),
          .noiseReduction = "near_field", .reasoningEffort = std::nullopt}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored.keys().join(' ').toStdString());
        platform::fake::MemoryPreferences store;
        store.values = c.stored;
        EXPECT_EQ(fields(SpeechPreferences(store).snapshot()), fields(c.snapshot));
    }
}

TEST(SpeechPreferences, SettersWriteBackRestoreDefaultsAndTheKeySummaryShowsOnlyTheTail)
{
    platform::fake::MemoryPreferences store;
    SpeechPreferences prefs(store);
    EXPECT_EQ(prefs.model(), "gpt-realtime-2.1");
    prefs.setSpeed(0.1);
    EXPECT_DOUBLE_EQ(prefs.snapshot().speed, 0.25);
    EXPECT_DOUBLE_EQ(store.value("speech.speed").toDouble(), 0.1); // stored as set, clamped only in use
    int changes = 0;
    QObject::connect(&prefs, &SpeechPreferences::changed, [&] { ++changes; });
    prefs.setTurnDetection(SpeechPreferences::TurnDetection::semanticVAD);
    prefs.setEagerness(SpeechPreferences::Eagerness::low);
    prefs.setVoice("cedar");
    EXPECT_EQ(store.value("speech.turnDetection").toString(), "semantic_vad");
    EXPECT_EQ(store.value("speech.eagerness").toString(), "low");
    EXPECT_EQ(SpeechPreferences(store).snapshot().voice, "cedar"); // a fresh instance reads them back
    EXPECT_EQ(changes, 3);
    prefs.restoreDefaults();
    EXPECT_EQ(store.value("speech.voice").toString(), "marin");
    EXPECT_EQ(store.value("speech.turnDetection").toString(), "server_vad");
    EXPECT_EQ(store.value("speech.eagerness").toString(), "auto");
    EXPECT_DOUBLE_EQ(store.value("speech.silenceDurationMs").toDouble(), 700);

    prefs.refreshKeySummary(QStringLiteral("sk-proj-abcdef123456"));
    EXPECT_EQ(prefs.storedKeySummary(), QStringLiteral("…123456"));
    prefs.refreshKeySummary(QStringLiteral("sk-abc"));
    EXPECT_EQ(prefs.storedKeySummary(), QStringLiteral("…"));
    prefs.refreshKeySummary(std::nullopt);
    EXPECT_FALSE(prefs.storedKeySummary());
}

// The user edits preferences.ini while the assistant runs: the next conversation starts with the edit
// (its voice settings and its model).
TEST(SpeechPreferences, ReloadTakesInEditsOfTheFileMadeMeanwhile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("preferences.ini"));
    selvina::testing::writeFile(path, "[General]\nspeech.voice=cedar\nspeech.speed=1.1\n");
    platform::IniPreferences store(path);
    SpeechPreferences prefs(store);
    EXPECT_EQ(prefs.snapshot().voice, "cedar");
    selvina::testing::writeFile(path, "[General]\nspeech.voice=ash\nspeech.turnDetection=semantic_vad\n"
                                      "speech.model=gpt-realtime-mini\n");
    EXPECT_EQ(settings::Configuration::load({dir.path(), nullptr, &store, {}}).realtimeModel, "gpt-realtime-mini");
    prefs.reload();
    // The speed, taken out of the file, is the default again.
    EXPECT_EQ(fields(prefs.snapshot()),
              fields({.voice = "ash", .turnDetection = "semantic_vad", .reasoningEffort = std::nullopt}));
}

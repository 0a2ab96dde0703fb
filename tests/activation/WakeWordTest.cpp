#include "activation/WakeWord.h"

#include "ManualClock.h"
#include "ScriptedRecognizer.h"

#include <QCoreApplication>
#include <QStringList>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using selvina::activation::RecognitionUpdate;
using selvina::activation::WakeWord;
using selvina::platform::AudioDeviceError;
using namespace selvina::testing;

TEST(WakePhrase, MatchesAnOpenerFollowedWithinTwoWordsByTheName)
{
    for (const char* hit : {"hej Selvina", "Hej, Selvino!", "okej selwina", "halo halo Selvina", "ej ty Selvina",
                            "HEJ SELVINA", "hej Sélvina", "ok… Selvina, włącz radio", "no hej tam Selvina"})
        EXPECT_TRUE(WakeWord::isWakePhrase(QString::fromUtf8(hit))) << hit;
    for (const char* miss : {"Selvina hej", "hej Celina", "hej ty tam Selvina", "hejselvina", "okejselvina", "", "hej",
                             "ohej Selvina", "łhej Selvina"})
        EXPECT_FALSE(WakeWord::isWakePhrase(QString::fromUtf8(miss))) << miss;
}

class WakeWordTest : public ::testing::Test {
protected:
    // The recogniser and the microphone are read through their states, so a case may change them first.
    void SetUp() override
    {
        WakeWord::Options options;
        options.log = [this](const QString& line) { lines << line; };
        options.onUnavailable = [this](const QString& reason) { told << reason; };
        listener = std::make_unique<WakeWord>(std::make_unique<ScriptedRecognizer>(recognizer),
                                              std::make_unique<ScriptedInput>(input), clock, [this] { ++wakes; },
                                              std::move(options));
    }
    void hear(const QString& text, bool isFinal)
    {
        ASSERT_TRUE(recognizer.handler) << "no recognition task";
        recognizer.handler(RecognitionUpdate{text, isFinal, std::nullopt});
        QCoreApplication::processEvents();
    }
    int linesWith(const QString& part) const { return int(lines.filter(part).size()); }

    ManualClock clock;
    ScriptedRecognizer::State recognizer;
    ScriptedInput::State input;
    QStringList lines;
    QStringList told;
    int wakes = 0;
    std::unique_ptr<WakeWord> listener;
};

// Ended recognition tasks are chained at once and other words keep it listening; the phrase wakes
// once per run, and only after the microphone is released.
TEST_F(WakeWordTest, OtherWordsKeepListeningAndTheWakeComesOncePerRunAfterTheMicrophoneIsReleased)
{
    listener->start();
    listener->start(); // already running: nothing more
    ASSERT_EQ(input.opens, 1);
    EXPECT_TRUE(listener->isRunning());
    EXPECT_EQ(linesWith(QStringLiteral("nasłuch działa")), 1);
    hear(QStringLiteral("dzień dobry"), false);
    EXPECT_EQ(recognizer.tasksStarted, 1);
    hear(QStringLiteral("dzień dobry wszystkim"), true);
    EXPECT_EQ(recognizer.tasksStarted, 2);
    recognizer.handler(RecognitionUpdate{{}, false, QStringLiteral("przerwane")});
    QCoreApplication::processEvents();
    EXPECT_EQ(recognizer.tasksStarted, 3);
    EXPECT_TRUE(listener->isRunning());
    EXPECT_EQ(input.opens, 3);
    EXPECT_EQ(clock.pending(), 1u) << "only the watchdog waits";
    EXPECT_EQ(wakes, 0);

    input.holdCloses = true;
    auto handler = recognizer.handler;
    hear(QStringLiteral("no to hej Selvina"), false);
    handler(RecognitionUpdate{QStringLiteral("hej selvina"), true, std::nullopt}); // the same run's final
    QCoreApplication::processEvents();
    EXPECT_FALSE(listener->isRunning());
    EXPECT_TRUE(listener->holdsMicrophone());
    EXPECT_EQ(wakes, 0) << "the conversation must not open while the listener holds the device";
    input.releaseClose();
    QCoreApplication::processEvents();
    EXPECT_EQ(wakes, 1);
    EXPECT_FALSE(listener->holdsMicrophone());
    EXPECT_EQ(linesWith(QStringLiteral("TRAFIENIE")), 1);
    EXPECT_EQ(linesWith(QStringLiteral("słyszę wypowiedź (17 znaków)")), 1);

    // A new run may wake again.
    listener->start();
    input.holdCloses = false;
    hear(QStringLiteral("halo Selvina"), true);
    QCoreApplication::processEvents();
    EXPECT_EQ(wakes, 2);
}

TEST_F(WakeWordTest, SilentDeviceIsRebuiltOnAGrowingScheduleAndLogsRounds1_10_20)
{
    listener->start();
    // Checks come 2, 4, 8, 16, 30, 30, … s after each rebuild.
    const std::chrono::seconds waits[] = {2s, 4s, 8s, 16s, 30s, 30s};
    for (int round = 1; round <= 20; ++round) {
        const auto wait = waits[std::min(round - 1, 5)];
        const int opens = input.opens;
        clock.advance(wait - 1ms);
        ASSERT_EQ(input.opens, opens) << "round " << round << " came early";
        clock.advance(1ms);
        ASSERT_EQ(input.opens, opens + 1) << "round " << round << " did not rebuild";
    }
    EXPECT_EQ(linesWith(QStringLiteral("urządzenie milczy")), 3);
    EXPECT_EQ(linesWith(QStringLiteral("urządzenie milczy (próba 10)")), 1);
    EXPECT_EQ(linesWith(QStringLiteral("urządzenie milczy (próba 20)")), 1);

    // Sound comes back: the next check says so, and checks return to every 2 s.
    input.deliver(3);
    clock.advance(30s);
    EXPECT_EQ(linesWith(QStringLiteral("dźwięk wrócił")), 1);
    const int opens = input.opens;
    input.deliver(1);
    clock.advance(2s);
    input.deliver(1);
    clock.advance(2s);
    EXPECT_EQ(input.opens, opens);
}

TEST_F(WakeWordTest, DeviceChangesWithinTwoSecondsRebuildOnceAndTheWatchdogSurvivesTheDebounce)
{
    listener->start();
    input.devicesChanged();
    clock.advance(1s);
    input.devicesChanged();
    EXPECT_EQ(input.opens, 2);
    EXPECT_EQ(linesWith(QStringLiteral("urządzenie wejściowe zmieniło się")), 2);

    // The rebuilt path stays silent; its first check falls within 2 s of the rebuild, which the
    // debounce refuses — but watching goes on, and the next silent check rebuilds.
    clock.advance(1s);
    EXPECT_EQ(input.opens, 2);
    EXPECT_EQ(linesWith(QStringLiteral("urządzenie milczy (próba 1)")), 1);
    clock.advance(4s);
    EXPECT_EQ(input.opens, 3);
}

TEST_F(WakeWordTest, MissingDeviceRetriesEvery3sUntilStopped)
{
    input.refusal = AudioDeviceError::noDevice();
    listener->start();
    EXPECT_EQ(linesWith(QStringLiteral("brak urządzenia wejściowego — ponowię za 3 s")), 1);
    clock.advance(3s);
    clock.advance(3s);
    EXPECT_EQ(input.opens, 3);
    EXPECT_EQ(linesWith(QStringLiteral("brak urządzenia wejściowego")), 1) << "a machine without a microphone retries quietly";
    input.refusal.reset();
    clock.advance(3s);
    EXPECT_EQ(input.opens, 4);
    EXPECT_TRUE(listener->isRunning());

    listener->stop();
    listener->stop();
    input.refusal = AudioDeviceError::failed(QStringLiteral("zajęte"));
    listener->start();
    EXPECT_EQ(linesWith(QStringLiteral("silnik audio nie wystartował: Serwer dźwięku zgłosił błąd: zajęte")), 1);
    listener->stop();
    EXPECT_EQ(clock.pending(), 0u);

    input.refusal = AudioDeviceError::accessDenied();
    listener->start();
    EXPECT_EQ(clock.pending(), 0u) << "waiting does not bring the access back";
    EXPECT_FALSE(listener->holdsMicrophone());
}

TEST_F(WakeWordTest, UnavailableRecognizerSaysSoOnceAndStaysOff)
{
    recognizer.available = false;
    listener->start();
    listener->start();
    EXPECT_EQ(told, QStringList{QStringLiteral("Brak pliku modelu zawołania.")});
    EXPECT_EQ(input.opens, 0);
    EXPECT_EQ(clock.pending(), 0u);
    EXPECT_EQ(linesWith(QStringLiteral("dostępne=false")), 2);
}

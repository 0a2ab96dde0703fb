#include "activation/VoiceEnrolment.h"

#include "ManualClock.h"
#include "ScriptedRecognizer.h"

#include <QCoreApplication>
#include <QStringList>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using selvina::activation::VoiceEnrolment;
using namespace selvina::testing;

class VoiceEnrolmentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        VoiceEnrolment::Steps steps;
        steps.say = [this](const QString& sentence, std::function<void()> done) {
            said << sentence;
            done();
        };
        steps.startSignal = [this] { ++startSignals; };
        steps.check = [this](const VoiceEnrolment::Recording& r, int) -> std::optional<QString> {
            lengths.push_back(r.size());
            if (refuseNext > 0) {
                --refuseNext;
                return QStringLiteral("To była sama cisza.");
            }
            return std::nullopt;
        };
        steps.adapt = [this](const std::vector<VoiceEnrolment::Recording>& set) -> std::optional<QString> {
            adapted = int(set.size());
            return adaptRefusal;
        };
        steps.finished = [this](bool kept) { result = kept; };
        enrolment = std::make_unique<VoiceEnrolment>(std::make_unique<ScriptedInput>(input), clock, std::move(steps));
    }
    // One recording: the signal sounds and fades, 1 s of audio arrives, the 3 s run out.
    void speakOnce()
    {
        QCoreApplication::processEvents();
        EXPECT_FALSE(input.samples) << "the signal would be recorded";
        clock.advance(400ms);
        QCoreApplication::processEvents();
        input.deliver(100);
        clock.advance(3000ms);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }

    ManualClock clock;
    ScriptedInput::State input;
    QStringList said;
    int startSignals = 0;
    int refuseNext = 0;
    std::vector<std::size_t> lengths;
    std::optional<QString> adaptRefusal;
    int adapted = 0;
    std::optional<bool> result;
    std::unique_ptr<VoiceEnrolment> enrolment;
};

TEST_F(VoiceEnrolmentTest, RecordsFourTimesAskingAgainForAnUnusableOne)
{
    enrolment->start();
    speakOnce();
    refuseNext = 1;
    for (int i = 0; i < 4; ++i)
        speakOnce();
    EXPECT_EQ(startSignals, 5);
    EXPECT_EQ(adapted, 4);
    ASSERT_EQ(result, true);
    EXPECT_FALSE(enrolment->isRunning());
    EXPECT_EQ(lengths, std::vector<std::size_t>(5, 16000)) << "what the microphone gave, nothing more";
    EXPECT_EQ(said.filter(QStringLiteral("Nagranie 2 z 4.")).size(), 2);
    EXPECT_TRUE(said.contains(QStringLiteral("To była sama cisza. Powtórzmy.")));
    EXPECT_TRUE(said.last().startsWith(QStringLiteral("Gotowe.")));
    EXPECT_EQ(input.opens, input.closes - 1) << "every recording closed the microphone (and the end once more)";
    EXPECT_FALSE(input.samples);
}

TEST_F(VoiceEnrolmentTest, GivesUpAfterThreeBadTriesOrARefusedSetAndKeepsNothing)
{
    refuseNext = 3;
    enrolment->start();
    for (int i = 0; i < 3; ++i)
        speakOnce();
    EXPECT_EQ(result, false);
    EXPECT_EQ(adapted, 0);
    EXPECT_TRUE(said.last().startsWith(QStringLiteral("To była sama cisza. Przerywam")));

    result.reset();
    adaptRefusal = QStringLiteral("Nagrania 1 i 3 brzmią jak różne słowa.");
    enrolment->start();
    for (int i = 0; i < 4; ++i)
        speakOnce();
    EXPECT_EQ(result, false);
    EXPECT_TRUE(said.last().startsWith(QStringLiteral("Nagrania 1 i 3 brzmią jak różne słowa. Rozpoznawanie zostaje")));
}

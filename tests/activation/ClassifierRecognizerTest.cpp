// The classifier behind the recogniser interface, over a network whose score follows loudness: the
// audio thread's blocks reach the network's own thread, and a hit ends the task as "hej selvina".
#include "activation/ClassifierRecognizer.h"

#include "../wake/TinyModel.h"
#include "TestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

using selvina::activation::ClassifierRecognizer;
using selvina::activation::RecognitionUpdate;
using namespace selvina::wake::testing;

TEST(ClassifierRecognizer, EachTaskEndsWithTheHitAsTheFinalPhrase)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hej-selvina.model"));
    EXPECT_FALSE(ClassifierRecognizer::load({path, {}, {}, {}})->isAvailable());
    EXPECT_FALSE(ClassifierRecognizer::load({path, {}, {}, {}})->unavailableReason().isEmpty());
    selvina::testing::writeFile(path, loudnessModel().bytes());
    auto recognizer = ClassifierRecognizer::load({path, dir.filePath(QStringLiteral("none.json")), {}, {}});
    ASSERT_TRUE(recognizer->isAvailable()) << recognizer->unavailableReason().toStdString();

    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<RecognitionUpdate> heard;
    const auto handler = [&](const RecognitionUpdate& update) {
        std::lock_guard lock(mutex);
        heard.push_back(update);
        arrived.notify_all();
    };
    const auto say = [&](const std::vector<float>& audio) {
        for (std::size_t at = 0; at < audio.size(); at += 2048)
            recognizer->append(audio.data() + at, std::min<std::size_t>(2048, audio.size() - at));
    };
    const auto waitFor = [&](std::size_t count) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, std::chrono::seconds(20), [&] { return heard.size() >= count; });
    };
    const std::vector<float> loud = concat({silence(1), noise(0.5, 0.3f), silence(1)});
    say(std::vector<float>(16000 * 10, 0.0f)); // more than the ring holds, and no task yet
    recognizer->startTask(handler);
    say(loud);
    ASSERT_TRUE(waitFor(1));
    recognizer->startTask(handler);
    say(loud);
    ASSERT_TRUE(waitFor(2));
    recognizer->cancelTask();
    for (const RecognitionUpdate& update : heard) {
        EXPECT_EQ(update.text, QStringLiteral("hej selvina"));
        EXPECT_TRUE(update.isFinal);
        EXPECT_FALSE(update.error);
    }
}

// The model catalogue and the voice sample against a loopback stand-in for the service: the exact
// requests, every bad answer, the cache file; the sample heard on a private PulseAudio null sink.
#include "LoopbackHttp.h"
#include "ManualClock.h"
#include "PulseSuite.h"
#include "TestSupport.h"
#include "settings/ModelCatalog.h"
#include "settings/VoicePreview.h"
#include "voice/audio/Pcm16.h"

#include <gtest/gtest.h>

#include <QJsonObject>
#include <QThread>
#include <QtEndian>

#include <cmath>

namespace selvina::settings {
namespace {

using namespace std::chrono_literals;
using namespace selvina::testing;

bool waitUntil(const std::function<bool()>& condition) { return waitFor(condition, 10s); }

// Access to the service at `base` with `key` (none: no key).
ServiceAccess access(const QUrl& base, std::optional<QString> key)
{
    return {[base](const QString& path) { return QUrl(base.toString() + path); }, [key] { return key; }};
}

TEST(ModelLists, FiltersAndOptions)
{
    const QStringList ids{"gpt-5-codex", "o4-mini", "gpt-4o-mini-tts", "gpt-realtime", "codex-mini-latest",
                          "gpt-4o-realtime-preview", "gpt-5-image", "o3-deep-research", "GPT-5-Audio", "whisper-1"};
    const ModelCatalog::Lists lists = ModelCatalog::sorted(ids);
    EXPECT_EQ(lists.realtime, (QStringList{"gpt-4o-realtime-preview", "gpt-realtime"}));
    EXPECT_EQ(lists.reasoning, (QStringList{"codex-mini-latest", "gpt-5-codex", "o3-deep-research", "o4-mini"}));

    const QStringList& fallback = ModelCatalog::realtimeFallback();
    EXPECT_EQ(ModelCatalog::options({}, fallback, "gpt-x"), QStringList{"gpt-x"} + fallback);
    EXPECT_EQ(ModelCatalog::options({}, fallback, "gpt-realtime-2"), fallback);
    EXPECT_EQ(ModelCatalog::options({"a", "b"}, fallback, ""), (QStringList{"a", "b"}));
    EXPECT_EQ(ModelCatalog::options({"a", "b"}, fallback, "c"), (QStringList{"c", "a", "b"}));
}

std::pair<QStringList, QStringList> lists(const ModelCatalog& c) { return {c.realtime(), c.reasoning()}; }

class Catalog : public ::testing::Test {
protected:
    QString cacheFile() const { return m_dir.filePath(QStringLiteral("models-cache.json")); }
    std::unique_ptr<ModelCatalog> open(std::optional<QString> key = QStringLiteral("sk-test"), const QUrl& base = {})
    {
        return std::make_unique<ModelCatalog>(access(base.isEmpty() ? m_server.url() : base, key), cacheFile(), m_clock);
    }
    QString refreshed(ModelCatalog& catalog)
    {
        catalog.refresh();
        waitUntil([&] { return !catalog.loading(); });
        return catalog.failure() ? catalog.failure()->description() : QStringLiteral("ok");
    }

    QTemporaryDir m_dir;
    ManualClock m_clock;
    LoopbackHttp m_server;
};

TEST_F(Catalog, FetchesTheListAndKeepsItInTheCache)
{
    m_server.answer = LoopbackHttp::reply(200, "application/json",
                                          R"({"object": "list", "data": [{"id": "gpt-realtime"}, {"id": "o4-mini"}, {"object": "model"}, {"id": 5}]})");
    auto catalog = open();
    EXPECT_TRUE(catalog->realtime().isEmpty());
    catalog->refresh();
    catalog->refresh(); // while the first runs: nothing
    EXPECT_TRUE(catalog->loading());
    ASSERT_TRUE(waitUntil([&] { return !catalog->loading(); }));
    EXPECT_FALSE(catalog->failure());
    ASSERT_EQ(m_server.requests.size(), 1);
    EXPECT_EQ(m_server.requests.first().head(), "GET /v1/models | Bearer sk-test | ");
    EXPECT_EQ(lists(*catalog), (std::pair{QStringList{"gpt-realtime"}, QStringList{"o4-mini"}}));
    ASSERT_TRUE(catalog->updatedAt());

    const auto cached = open(std::nullopt);
    EXPECT_EQ(lists(*cached), (std::pair{QStringList{"gpt-realtime"}, QStringList{"o4-mini"}}));
    ASSERT_TRUE(cached->updatedAt());
    EXPECT_LE(std::abs(cached->updatedAt()->msecsTo(*catalog->updatedAt())), 1);
    EXPECT_EQ(m_server.requests.size(), 1);
}

TEST_F(Catalog, BadAnswersEndInAFailureAndKeepTheLists)
{
    writeFile(cacheFile(), R"({"ids": ["gpt-realtime", 7, "gpt-5"], "updatedAt": 1700000000})");
    auto catalog = open();
    EXPECT_EQ(catalog->updatedAt()->toSecsSinceEpoch(), 1700000000);
    const QString lead = QStringLiteral("Nie udało się pobrać listy modeli: ");
    const std::pair<QByteArray, QString> cases[] = {
        {LoopbackHttp::json(401, {{"error", QJsonObject{{"message", "Incorrect API key"}}}}),
         lead + "OpenAI odpowiedziało kodem 401"},
        {LoopbackHttp::reply(500, "text/plain", "boom"), lead + "OpenAI odpowiedziało kodem 500"},
        {LoopbackHttp::reply(200, "text/html", "<html><body>Bramka sieci</body></html>"), lead + "nieczytelna odpowiedź"},
        {LoopbackHttp::json(200, {{"data", "none"}}), lead + "nieczytelna odpowiedź"},
    };
    for (const auto& [answer, failure] : cases) {
        m_server.answer = answer;
        EXPECT_EQ(refreshed(*catalog), failure);
    }
    // No answer at all: the minute runs out on the clock.
    m_server.answer.clear();
    const qsizetype before = m_server.requests.size();
    catalog->refresh();
    ASSERT_TRUE(m_server.waitForRequests(before + 1));
    m_clock.advance(59s);
    EXPECT_TRUE(catalog->loading());
    m_clock.advance(1s);
    ASSERT_TRUE(waitUntil([&] { return !catalog->loading(); }));
    EXPECT_EQ(catalog->failure()->description(), lead + "OpenAI nie odpowiedziało w ciągu 60 s");
    EXPECT_EQ(lists(*catalog), (std::pair{QStringList{"gpt-realtime"}, QStringList{"gpt-5"}}));

    // Nobody listening on the base address.
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    const QUrl nobody(QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort()));
    closed.close();
    EXPECT_EQ(refreshed(*open(QStringLiteral("sk-test"), nobody)), lead + "serwer 127.0.0.1 odmówił połączenia");

    const auto keyless = open(std::nullopt);
    keyless->refresh();
    EXPECT_FALSE(keyless->loading());
    EXPECT_EQ(keyless->failure()->description(), "Bez klucza OpenAI nie da się pobrać listy modeli.");
}

TEST_F(Catalog, GarbageCacheLeavesTheListsEmpty)
{
    for (const QByteArray& garbage : {QByteArray("\x00\xff garbage", 10), QByteArray("[\"gpt-realtime\"]"),
                                     QByteArray(R"({"ids": "gpt-realtime", "updatedAt": "yesterday"})")}) {
        writeFile(cacheFile(), garbage);
        const auto catalog = open();
        EXPECT_EQ(lists(*catalog), (std::pair{QStringList(), QStringList()}));
        EXPECT_FALSE(catalog->updatedAt());
        EXPECT_EQ(catalog->realtimeOptions(""), ModelCatalog::realtimeFallback());
    }
}

// A 440 Hz tone of `seconds` as a 16-bit WAV at `rate` with `channels`.
QByteArray toneWave(double seconds, int rate, int channels)
{
    const auto frames = std::size_t(seconds * rate);
    std::vector<float> samples(frames * std::size_t(channels));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = float(0.5 * std::sin(2 * M_PI * 440.0 * double(i / std::size_t(channels)) / rate));
    QByteArray pcm(qsizetype(2 * samples.size()), Qt::Uninitialized);
    voice::toPcm16(samples.data(), samples.size(), pcm.data());
    QByteArray wav = voice::waveFromPcm(pcm, rate);
    qToLittleEndian<quint16>(quint16(channels), wav.data() + 22);
    qToLittleEndian<quint32>(quint32(rate * 2 * channels), wav.data() + 28);
    qToLittleEndian<quint16>(quint16(2 * channels), wav.data() + 32);
    return wav;
}

TEST(SpeakerPcm, ConvertsRateAndChannels)
{
    EXPECT_EQ(VoicePreview::speakerPcm(toneWave(0.5, 24000, 1))->size(), 24000);
    EXPECT_NEAR(VoicePreview::speakerPcm(toneWave(0.5, 48000, 2))->size(), 24000, 200);
    QByteArray eightBit = toneWave(0.1, 24000, 1);
    qToLittleEndian<quint16>(8, eightBit.data() + 34);
    EXPECT_FALSE(VoicePreview::speakerPcm(eightBit));
    EXPECT_FALSE(VoicePreview::speakerPcm("<html></html>"));
}

class Preview : public PulseSuite {
protected:
    std::unique_ptr<VoicePreview> open(std::optional<QString> key = QStringLiteral("sk-test"))
    {
        return std::make_unique<VoicePreview>(access(m_server.url(), key), m_devices, m_log, m_clock);
    }
    QString played(VoicePreview& preview)
    {
        preview.play(QStringLiteral("cedar"), 1.25);
        waitUntil([&] { return !preview.playingVoice(); });
        return preview.failure() ? preview.failure()->description() : QStringLiteral("ok");
    }

    ManualClock m_clock;
    LoopbackHttp m_server;
};

TEST_F(Preview, SendsTheSampleRequestAndPlaysTheAnswer)
{
    m_server.answer = LoopbackHttp::reply(200, "audio/wav", toneWave(0.5, 24000, 1));
    auto preview = open();
    auto recorder = startRecorder();
    preview->play(QStringLiteral("cedar"), 1.25);
    EXPECT_EQ(preview->playingVoice(), QStringLiteral("cedar"));
    ASSERT_TRUE(waitUntil([&] { return !preview->playingVoice(); }));
    EXPECT_FALSE(preview->failure());
    QThread::msleep(200);
    // Loud frames, not their span: on a loaded machine the server may slip silence in between.
    const QByteArray heard = recorded(std::move(recorder));
    const auto* samples = reinterpret_cast<const float*>(heard.constData());
    const long loud = std::count_if(samples, samples + heard.size() / 4, [](float x) { return std::abs(x) > 0.05f; });
    std::printf("0.5 s sample: %ld loud frames reached the sink\n", loud);
    EXPECT_GT(loud, 10500); // |sin| > 0.1 for 94 % of the tone's 12000 frames: all of it, once
    EXPECT_LE(loud, 12000);

    ASSERT_EQ(m_server.requests.size(), 1);
    const auto& r = m_server.requests.first();
    EXPECT_EQ(r.head(), "POST /v1/audio/speech | Bearer sk-test | application/json");
    EXPECT_EQ(QJsonDocument::fromJson(r.body).object(),
              (QJsonObject{{"model", "gpt-4o-mini-tts"}, {"voice", "cedar"},
                           {"input", "Cześć, jestem Selvina. Tak brzmię, kiedy do Ciebie mówię."},
                           {"response_format", "wav"}, {"speed", 1.25}}));
}

TEST_F(Preview, BadAnswersSayWhatWentWrong)
{
    auto preview = open();
    const std::pair<QByteArray, QString> cases[] = {
        {LoopbackHttp::json(401, {{"error", QJsonObject{{"message", "Incorrect API key provided."}}}}),
         "OpenAI odmówiło (401): Incorrect API key provided."},
        {LoopbackHttp::reply(500, "text/html", "<html>Internal</html>"), "OpenAI odmówiło (500)."},
        {LoopbackHttp::reply(200, "text/html", "<html>Bramka sieci</html>"), "Brak odpowiedzi z OpenAI."},
    };
    for (const auto& [answer, failure] : cases) {
        m_server.answer = answer;
        EXPECT_EQ(played(*preview), failure);
    }
    m_server.answer.clear();
    preview->play(QStringLiteral("marin"), 1.0);
    ASSERT_TRUE(m_server.waitForRequests(4));
    m_clock.advance(60s);
    ASSERT_TRUE(waitUntil([&] { return !preview->playingVoice(); }));
    EXPECT_EQ(preview->failure()->description(), "Brak odpowiedzi z OpenAI.");

    // Stopped while waiting: no failure, and a late answer plays nothing.
    preview->play(QStringLiteral("marin"), 1.0);
    ASSERT_TRUE(m_server.waitForRequests(5));
    preview->stop();
    EXPECT_FALSE(preview->playingVoice());
    EXPECT_FALSE(preview->failure());

    const auto keyless = open(std::nullopt);
    keyless->play(QStringLiteral("marin"), 1.0);
    EXPECT_FALSE(keyless->playingVoice());
    EXPECT_EQ(keyless->failure()->description(), "Najpierw zapisz klucz OpenAI.");
    EXPECT_EQ(m_server.requests.size(), 5);
}

} // namespace
} // namespace selvina::settings

// Per-frame cost of the realtime audio path: encoding and sending one 20 ms microphone frame,
// and decoding one audio delta from the service.
#include "LoopbackRealtimeServer.h"
#include "voice/RealtimeProtocol.h"
#include "voice/RealtimeWebSocket.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <cmath>

using namespace selvina;
using namespace selvina::voice;

namespace {

// 20 ms of a 440 Hz tone at 24 kHz, PCM16 LE mono: 480 samples, 960 bytes.
QByteArray tone(int samples)
{
    QByteArray pcm(samples * 2, Qt::Uninitialized);
    for (int i = 0; i < samples; ++i) {
        const auto v = qint16(8000 * std::sin(2 * M_PI * 440 * i / 24000.0));
        pcm[2 * i] = char(v & 0xff);
        pcm[2 * i + 1] = char((v >> 8) & 0xff);
    }
    return pcm;
}

// What sendAudio() does with each microphone frame before the socket: Base64, then the frame text.
void encodeAppendAudio(benchmark::State& state)
{
    const QByteArray pcm = tone(480);
    for (auto _ : state) {
        auto frame = encode(client::AppendAudio{pcm.toBase64()});
        benchmark::DoNotOptimize(frame);
    }
}
BENCHMARK(encodeAppendAudio)->Unit(benchmark::kMicrosecond);

void encodeAndSendAppendAudio(benchmark::State& state)
{
    testing::LoopbackRealtimeServer server;
    SystemClock clock;
    RealtimeWebSocket::Configuration c;
    c.url = server.realtimeUrl();
    c.clock = &clock;
    RealtimeWebSocket socket(c);
    bool opened = false;
    auto start = socket.start().then([&](auto r) { opened = r.ok(); });
    testing::LoopbackRealtimeServer::waitFor([&] { return opened; });
    const QByteArray pcm = tone(480);
    qint64 sent = 0;
    for (auto _ : state) {
        auto frame = encode(client::AppendAudio{pcm.toBase64()});
        if (!socket.send(frame.value()).ok())
            state.SkipWithError("send failed");
        ++sent;
        // Let the socket write and the server read, as the event loop would between frames.
        QCoreApplication::processEvents();
    }
    testing::LoopbackRealtimeServer::waitFor([&] { return server.frames().size() >= sent; });
    state.counters["received"] = double(server.frames().size());
}
BENCHMARK(encodeAndSendAppendAudio)->Unit(benchmark::kMicrosecond);

void decodeAudioDelta(benchmark::State& state)
{
    const int samples = int(state.range(0)) * 24; // milliseconds of audio
    const QByteArray frame = R"({"type":"response.output_audio.delta","event_id":"event_1","response_id":"resp_1",)"
                             R"("item_id":"item_1","output_index":0,"content_index":0,"delta":")" +
                             tone(samples).toBase64() + R"("})";
    for (auto _ : state) {
        auto event = RealtimeServerEvent::decode(frame);
        QByteArray pcm = QByteArray::fromBase64(event->delta->toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        benchmark::DoNotOptimize(pcm);
    }
}
BENCHMARK(decodeAudioDelta)->Arg(20)->Arg(200)->Unit(benchmark::kMicrosecond);

} // namespace

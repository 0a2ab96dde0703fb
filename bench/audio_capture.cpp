// Cost of the capture path per 20 ms of audio: a 1024-frame 48 kHz stereo hardware block in, a PCM16
// 24 kHz mono chunk out (first channel, resampling, level meter, conversion, hand-off), without and with
// echo cancellation. Reported as microseconds per 20 ms and as a fraction of real time.
#include "platform/fake/MemoryStores.h"
#include "platform/fake/NoAudioDevices.h"
#include "voice/audio/MicrophoneCapture.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <random>

using namespace selvina;

namespace {

void capturePath(benchmark::State& state)
{
    platform::fake::NoAudioDevices devices;
    platform::fake::MemorySystemLog log;
    auto reference = std::make_shared<voice::EchoReference>();
    SystemClock clock;
    voice::MicrophoneCapture capture(devices, reference, log, clock);
    const bool cancelEcho = state.range(0) != 0;
    if (!capture.prepareForTesting({48000, 2}, cancelEcho)) {
        state.SkipWithError("no echo canceller");
        return;
    }
    std::mt19937 random(3);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    std::vector<float> block(1024 * 2);
    for (float& s : block)
        s = noise(random);
    std::vector<float> far(512);
    for (float& s : far)
        s = noise(random);
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
        reference->push(far.data(), far.size()); // the loudspeaker side keeps pace, as in a conversation
        capture.processForTesting(block.data(), 1024, {48000, 2});
        benchmark::DoNotOptimize(capture.takeFrame());
    }
    // One block is 1024 / 48000 s = 21.33 ms of audio.
    const double perBlockUs =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count() / state.iterations();
    state.counters["us_per_20ms"] = perBlockUs * 20.0 / (1024.0 / 48.0);
    state.counters["fraction_of_real_time"] = perBlockUs / (1024.0 / 48.0 * 1000.0);
}
BENCHMARK(capturePath)->Arg(0)->Arg(1)->ArgName("echo_cancellation");

} // namespace

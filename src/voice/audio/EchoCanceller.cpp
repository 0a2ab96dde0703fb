#include "voice/audio/EchoCanceller.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <cmath>

namespace selvina::voice {
namespace {

// The longest delay the module can be told.
constexpr int kMaxDelayMs = 500;
// Reference older than this is out of the module's reach and would only misalign it.
constexpr std::size_t kMaxReferenceBacklog = EchoCanceller::kSampleRate / 4;

const webrtc::StreamConfig& monoStream()
{
    static const webrtc::StreamConfig config(EchoCanceller::kSampleRate, 1);
    return config;
}

} // namespace

std::unique_ptr<EchoCanceller> EchoCanceller::make(std::shared_ptr<EchoReference> reference, QString* error)
{
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    webrtc::AudioProcessing* module = webrtc::AudioProcessing::Create(config);
    auto fail = [&](const char* what, int code) {
        if (error != nullptr)
            *error = QStringLiteral("moduł tłumienia echa: %1 (%2)").arg(QString::fromUtf8(what)).arg(code);
        delete module;
        return nullptr;
    };
    if (module == nullptr)
        return fail("brak modułu", 0);
    const webrtc::ProcessingConfig streams = {{monoStream(), monoStream(), monoStream(), monoStream()}};
    if (const int code = module->Initialize(streams); code != webrtc::AudioProcessing::kNoError)
        return fail("inicjalizacja", code);
    module->echo_cancellation()->enable_drift_compensation(false);
    module->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kHighSuppression);
    if (const int code = module->echo_cancellation()->Enable(true); code != webrtc::AudioProcessing::kNoError)
        return fail("włączenie", code);
    module->high_pass_filter()->Enable(true);
    return std::unique_ptr<EchoCanceller>(new EchoCanceller(module, std::move(reference)));
}

EchoCanceller::EchoCanceller(webrtc::AudioProcessing* module, std::shared_ptr<EchoReference> reference)
    : m_module(module), m_reference(std::move(reference)), m_near(kFrame), m_far(kFrame), m_frame(kFrame)
{
}

EchoCanceller::~EchoCanceller() { delete m_module; }

void EchoCanceller::feedReference() noexcept
{
    if (!m_reference)
        return;
    std::size_t available = m_reference->available();
    if (available > kMaxReferenceBacklog) {
        const std::size_t stale = available - kMaxReferenceBacklog;
        m_reference->pop(nullptr, stale);
        available -= stale;
    }
    while (available >= kFrame) {
        m_reference->pop(m_far.data(), kFrame);
        available -= kFrame;
        float* channels[] = {m_far.data()};
        m_module->ProcessReverseStream(channels, monoStream(), monoStream(), channels);
    }
}

// The echo in a near-end frame recorded at `frameRecordedAtNs` is the reference heard at that moment;
// the module wants how far it lies behind the newest reference frame it has been given. Measurements
// jitter by a server fragment, so they are smoothed; the module's own search refines the rest.
void EchoCanceller::measureDelay(std::int64_t frameRecordedAtNs) noexcept
{
    const std::int64_t heardAt = m_reference ? m_reference->newestHeardAt() : 0;
    if (heardAt == 0 || frameRecordedAtNs == 0)
        return;
    // What is still queued (less than a frame) has not been given to the module.
    const std::int64_t fedHeardAt = heardAt - EchoReference::nanosecondsOf(m_reference->available());
    const double measured = std::clamp(double(fedHeardAt - frameRecordedAtNs) / 1e6, 0.0, double(kMaxDelayMs));
    m_smoothedDelayMs = m_smoothedDelayMs < 0 ? measured : 0.9 * m_smoothedDelayMs + 0.1 * measured;
    m_delayMs.store(int(std::lround(m_smoothedDelayMs)), std::memory_order_relaxed);
}

std::size_t EchoCanceller::process(const float* in, std::size_t count, float* out, std::size_t capacity,
                                   std::int64_t recordedAtNs) noexcept
{
    std::size_t written = 0;
    for (std::size_t i = 0; i < count;) {
        const std::size_t take = std::min(kFrame - m_nearFill, count - i);
        std::copy(in + i, in + i + take, m_near.data() + m_nearFill);
        m_nearFill += take;
        i += take;
        if (m_nearFill < kFrame)
            break;
        m_nearFill = 0;
        feedReference();
        if (recordedAtNs != 0)
            measureDelay(recordedAtNs - EchoReference::nanosecondsOf(count - i));
        m_module->set_stream_delay_ms(m_delayMs.load(std::memory_order_relaxed));
        const float* source[] = {m_near.data()};
        float* destination[] = {m_frame.data()};
        const bool processed = m_module->ProcessStream(source, monoStream(), monoStream(), destination)
                               == webrtc::AudioProcessing::kNoError;
        const float* result = processed ? m_frame.data() : m_near.data();
        const std::size_t n = std::min(kFrame, capacity - written);
        std::copy(result, result + n, out + written);
        written += n;
    }
    return written;
}

} // namespace selvina::voice

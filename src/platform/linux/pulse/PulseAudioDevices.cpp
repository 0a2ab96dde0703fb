#include "platform/linux/pulse/PulseAudioDevices.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <thread>
#include <vector>

namespace selvina::platform {
namespace {

using Clock = std::chrono::steady_clock;
// A server that does not answer within this time is treated as gone: the caller must never hang on it.
constexpr auto kServerTimeout = std::chrono::seconds(3);

// Waits with the mainloop locked; the mainloop thread runs while we sleep unlocked.
template <typename Pred>
bool waitLocked(pa_threaded_mainloop* loop, Pred done)
{
    const auto deadline = Clock::now() + kServerTimeout;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        pa_threaded_mainloop_unlock(loop);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        pa_threaded_mainloop_lock(loop);
    }
    return true;
}

bool waitOperation(pa_threaded_mainloop* loop, pa_operation* op)
{
    if (op == nullptr)
        return false;
    const bool finished = waitLocked(loop, [op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
    if (!finished)
        pa_operation_cancel(op);
    pa_operation_unref(op);
    return finished;
}

AudioDeviceError errorFromCode(int code)
{
    switch (code) {
    case PA_ERR_ACCESS:
    case PA_ERR_AUTHKEY:
        return AudioDeviceError::accessDenied();
    case PA_ERR_NOENTITY:
        return AudioDeviceError::noDevice();
    default:
        return AudioDeviceError::failed(QString::fromUtf8(pa_strerror(code)));
    }
}

class Locker {
public:
    explicit Locker(pa_threaded_mainloop* loop) : m_loop(loop) { pa_threaded_mainloop_lock(m_loop); }
    ~Locker() { pa_threaded_mainloop_unlock(m_loop); }
    Locker(const Locker&) = delete;
    Locker& operator=(const Locker&) = delete;

private:
    pa_threaded_mainloop* m_loop;
};

class PulseStream : public AudioStream {
public:
    PulseStream(pa_threaded_mainloop* loop, pa_stream* stream) : m_loop(loop), m_stream(stream) {}
    ~PulseStream() override
    {
        Locker lock(m_loop);
        pa_stream_set_read_callback(m_stream, nullptr, nullptr);
        pa_stream_set_write_callback(m_stream, nullptr, nullptr);
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
    }
    // Called first by each subclass's destructor: once its members are gone a callback still
    // running on the mainloop thread would write into freed memory. Callbacks run with the lock
    // held, so after this none is running or will run.
    void detachCallbacks()
    {
        Locker lock(m_loop);
        pa_stream_set_read_callback(m_stream, nullptr, nullptr);
        pa_stream_set_write_callback(m_stream, nullptr, nullptr);
    }
    void lock() override { pa_threaded_mainloop_lock(m_loop); }
    void unlock() override { pa_threaded_mainloop_unlock(m_loop); }
    std::uint64_t playedFrames() override { return 0; }
    void dropBuffered() override {}

protected:
    pa_threaded_mainloop* m_loop;
    pa_stream* m_stream;
};

class PulseInput final : public PulseStream {
public:
    PulseInput(pa_threaded_mainloop* loop, pa_stream* stream, AudioFormat format, std::size_t blockFrames,
               AudioInputCallback& callback)
        : PulseStream(loop, stream), m_format(format), m_blockFrames(blockFrames), m_callback(callback),
          m_block(blockFrames * static_cast<std::size_t>(format.channels))
    {
        pa_stream_set_read_callback(m_stream, &PulseInput::readable, this);
    }
    ~PulseInput() override { detachCallbacks(); }

private:
    static void readable(pa_stream* stream, size_t, void* self) { static_cast<PulseInput*>(self)->drain(stream); }

    // Regroups whatever fragment sizes the server hands over into blocks of exactly m_blockFrames.
    void drain(pa_stream* stream) noexcept
    {
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_readable_size(stream) > 0) {
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
                return;
            const std::size_t samples = bytes / sizeof(float);
            const auto* in = static_cast<const float*>(data); // null for a hole: silence
            for (std::size_t i = 0; i < samples;) {
                const std::size_t room = m_block.size() - m_filled;
                const std::size_t take = std::min(room, samples - i);
                if (in != nullptr)
                    std::copy(in + i, in + i + take, m_block.data() + m_filled);
                else
                    std::fill(m_block.data() + m_filled, m_block.data() + m_filled + take, 0.0f);
                m_filled += take;
                i += take;
                if (m_filled == m_block.size()) {
                    // The stream's latency reaches back to the first unread frame, the start of this
                    // fragment; the block's last frame is `i` samples into it.
                    pa_usec_t latency = 0;
                    int negative = 0;
                    if (pa_stream_get_latency(stream, &latency, &negative) == 0) {
                        const auto into = static_cast<pa_usec_t>(i / static_cast<std::size_t>(m_format.channels)) * 1000000u
                                          / static_cast<pa_usec_t>(m_format.sampleRate);
                        m_callback.delaySinceRecorded(std::chrono::microseconds(
                            negative != 0 || latency < into ? 0 : static_cast<std::int64_t>(latency - into)));
                    }
                    m_callback.captured(m_block.data(), m_blockFrames, m_format);
                    m_filled = 0;
                }
            }
            pa_stream_drop(stream);
        }
    }

    AudioFormat m_format;
    std::size_t m_blockFrames;
    AudioInputCallback& m_callback;
    std::vector<float> m_block;
    std::size_t m_filled = 0;
};

class PulseOutput final : public PulseStream {
public:
    PulseOutput(pa_threaded_mainloop* loop, pa_stream* stream, int sampleRate, AudioOutputCallback& callback)
        : PulseStream(loop, stream), m_rate(sampleRate), m_callback(callback)
    {
        pa_stream_set_write_callback(m_stream, &PulseOutput::writable, this);
        // The server's first request may have come before the callback was set.
        fill(m_stream, pa_stream_writable_size(m_stream));
    }
    ~PulseOutput() override
    {
        detachCallbacks();
        Locker lock(m_loop);
        if (m_timing != nullptr) {
            pa_operation_cancel(m_timing);
            pa_operation_unref(m_timing);
        }
    }

    // The server's own playback clock (what has left the sink, its latency already taken off), so a chunk
    // counts as heard only once it has really been played. The clock runs in the server's positions;
    // m_discarded turns them into ours.
    std::uint64_t playedFrames() override
    {
        freshenTiming();
        pa_usec_t time = 0;
        if (pa_stream_get_time(m_stream, &time) < 0)
            return m_played;
        const std::uint64_t played = std::min<std::uint64_t>(
            time * static_cast<std::uint64_t>(m_rate) / 1000000u + m_discarded, m_written);
        if (played > m_played)
            m_played = played;
        return m_played;
    }

    void dropBuffered() override
    {
        // After the flush the server holds nothing of ours, so everything written so far has either been
        // heard or will never be.
        waitOperation(m_loop, pa_stream_flush(m_stream, nullptr, nullptr));
        m_played = std::max(m_played, m_written);
        // The flush moved the server's write position back to what it had played: the frames it threw
        // away stay in our count but never in its clock. A fresh timing reply gives the new position.
        if (waitOperation(m_loop, pa_stream_update_timing_info(m_stream, nullptr, nullptr))) {
            const pa_timing_info* timing = pa_stream_get_timing_info(m_stream);
            if (timing != nullptr && timing->write_index_corrupt == 0 && timing->write_index >= 0)
                m_discarded = m_written - std::min<std::uint64_t>(static_cast<std::uint64_t>(timing->write_index)
                                                                      / sizeof(float),
                                                                  m_written);
        }
    }

private:
    // The library's own timing updates space out to more than a second, and its clock stands still
    // from a flush until the next one: while someone watches the clock, ask for one every 20 ms.
    void freshenTiming()
    {
        const auto now = std::chrono::steady_clock::now();
        if (m_timing != nullptr) {
            if (pa_operation_get_state(m_timing) == PA_OPERATION_RUNNING)
                return;
            pa_operation_unref(m_timing);
            m_timing = nullptr;
        }
        if (now - m_timingAsked < std::chrono::milliseconds(20))
            return;
        m_timingAsked = now;
        m_timing = pa_stream_update_timing_info(m_stream, nullptr, nullptr);
    }

    static void writable(pa_stream* stream, size_t bytes, void* self)
    {
        static_cast<PulseOutput*>(self)->fill(stream, bytes);
    }

    void fill(pa_stream* stream, size_t bytes) noexcept
    {
        while (bytes >= sizeof(float)) {
            void* data = nullptr;
            size_t size = bytes;
            if (pa_stream_begin_write(stream, &data, &size) < 0 || data == nullptr || size < sizeof(float))
                return;
            const std::size_t frames = size / sizeof(float);
            pa_usec_t latency = 0;
            int negative = 0;
            if (pa_stream_get_latency(stream, &latency, &negative) == 0)
                m_callback.delayUntilHeard(std::chrono::microseconds(negative != 0 ? 0 : static_cast<std::int64_t>(latency)));
            m_callback.render(static_cast<float*>(data), frames);
            if (pa_stream_write(stream, data, frames * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE) < 0)
                return;
            m_written += frames;
            bytes -= frames * sizeof(float);
        }
    }

    int m_rate;
    AudioOutputCallback& m_callback;
    std::uint64_t m_written = 0; // frames
    std::uint64_t m_played = 0;  // never goes backwards
    std::uint64_t m_discarded = 0; // written frames the server dropped on a flush, never played
    pa_operation* m_timing = nullptr; // the timing update asked for last, while it runs
    std::chrono::steady_clock::time_point m_timingAsked;
};

void contextChanged(pa_context* context, void* self)
{
    static_cast<PulseAudioDevices*>(self)->contextStateChanged(context);
}

struct DeviceQuery {
    PulseAudioDevices::Side side = PulseAudioDevices::Side::input;
    QByteArray name = {};
    bool found = false;
    AudioFormat format = {};
    void remember(const pa_sample_spec& sampleFormat)
    {
        found = true;
        format = {static_cast<int>(sampleFormat.rate), static_cast<int>(sampleFormat.channels)};
    }
};

// The info callback of a source or a sink look-up; the first entry is the one asked for.
template <typename Info>
void rememberFormat(pa_context*, const Info* info, int eol, void* data)
{
    if (eol == 0 && info != nullptr)
        static_cast<DeviceQuery*>(data)->remember(info->sample_spec);
}

void subscriptionEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void* self)
{
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    // A device coming or going, or the default changing; property changes of a device (volume) are not
    // hardware changes.
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER
        || ((facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SOURCE)
            && kind != PA_SUBSCRIPTION_EVENT_CHANGE))
        static_cast<PulseAudioDevices*>(self)->notifyDevicesChanged();
}

// Makes a stream with the role's properties, connects it with `connect` (record or playback) and
// waits until the server has it ready; a stream that fails on the way is released.
template <typename Connect>
Result<pa_stream*, AudioDeviceError> openStream(pa_threaded_mainloop* loop, pa_context* context, const char* name,
                                                const pa_sample_spec& format, const QString& role, Connect connect)
{
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, role.toUtf8().constData());
    pa_stream* stream = pa_stream_new_with_proplist(context, name, &format, nullptr, properties);
    pa_proplist_free(properties);
    if (stream == nullptr)
        return errorFromCode(pa_context_errno(context));
    if (connect(stream) < 0) {
        const AudioDeviceError error = errorFromCode(pa_context_errno(context));
        pa_stream_unref(stream);
        return error;
    }
    const bool settled = waitLocked(loop, [stream] {
        const auto state = pa_stream_get_state(stream);
        return state == PA_STREAM_READY || state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED;
    });
    if (settled && pa_stream_get_state(stream) == PA_STREAM_READY)
        return stream;
    const AudioDeviceError error = settled ? errorFromCode(pa_context_errno(context))
                                           : AudioDeviceError::failed(QStringLiteral("serwer dźwięku nie odpowiada"));
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    return error;
}

} // namespace

PulseAudioDevices::PulseAudioDevices(QString applicationName) : m_name(std::move(applicationName))
{
    m_loop = pa_threaded_mainloop_new();
    pa_threaded_mainloop_set_name(m_loop, "selvina.pulse");
    pa_threaded_mainloop_start(m_loop);
}

PulseAudioDevices::~PulseAudioDevices()
{
    pa_threaded_mainloop_lock(m_loop);
    if (m_context != nullptr) {
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
    }
    pa_threaded_mainloop_unlock(m_loop);
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
}

int PulseAudioDevices::addDevicesChangedHandler(std::function<void()> handler)
{
    std::lock_guard guard(m_handlerMutex);
    const int token = m_nextToken++;
    m_handlers.emplace(token, std::move(handler));
    // No connection from here: this may be called on the main thread, and a server that does not
    // answer would hold it. The first query or stream connects, and subscribes with it.
    return token;
}

void PulseAudioDevices::removeDevicesChangedHandler(int token)
{
    std::lock_guard guard(m_handlerMutex);
    m_handlers.erase(token);
}

// On the mainloop thread, the lock held. The server went away (killed, restarted): every stream on
// it is dead, and those who listen for device changes reopen theirs on the next server.
void PulseAudioDevices::contextStateChanged(pa_context* context)
{
    const auto state = pa_context_get_state(context);
    if (context == m_context && (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED))
        notifyDevicesChanged();
}

void PulseAudioDevices::notifyDevicesChanged()
{
    std::lock_guard guard(m_handlerMutex);
    for (auto& [token, handler] : m_handlers)
        handler();
}

Result<pa_context*, AudioDeviceError> PulseAudioDevices::connectedContext()
{
    if (m_context != nullptr && pa_context_get_state(m_context) == PA_CONTEXT_READY)
        return m_context;
    if (m_context != nullptr) { // the server went away; start over with a new connection
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
    }
    pa_context* context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), m_name.toUtf8().constData());
    pa_context_set_state_callback(context, &contextChanged, this);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        const int code = pa_context_errno(context);
        pa_context_unref(context);
        return code == PA_ERR_ACCESS ? errorFromCode(code) : AudioDeviceError::noDevice();
    }
    const bool settled = waitLocked(m_loop, [context] {
        const auto state = pa_context_get_state(context);
        return state == PA_CONTEXT_READY || state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED;
    });
    if (!settled || pa_context_get_state(context) != PA_CONTEXT_READY) {
        const int code = pa_context_errno(context);
        pa_context_disconnect(context);
        pa_context_unref(context);
        // No server at all means there is nothing to record from or play to.
        return code == PA_ERR_ACCESS ? errorFromCode(code) : AudioDeviceError::noDevice();
    }
    m_context = context;
    ++m_connections;
    pa_context_set_subscribe_callback(m_context, &subscriptionEvent, this);
    waitOperation(m_loop, pa_context_subscribe(
                              m_context,
                              static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE
                                                                  | PA_SUBSCRIPTION_MASK_SERVER),
                              nullptr, nullptr));
    return m_context;
}

Result<AudioFormat, AudioDeviceError> PulseAudioDevices::defaultInputFormat() { return defaultFormat(Side::input); }
Result<AudioFormat, AudioDeviceError> PulseAudioDevices::defaultOutputFormat() { return defaultFormat(Side::output); }

Result<AudioFormat, AudioDeviceError> PulseAudioDevices::defaultFormat(Side side)
{
    Locker lock(m_loop);
    auto context = connectedContext();
    if (!context)
        return context.error();
    DeviceQuery query{side};
    waitOperation(m_loop, pa_context_get_server_info(
                              context.value(),
                              [](pa_context*, const pa_server_info* info, void* data) {
                                  auto* q = static_cast<DeviceQuery*>(data);
                                  if (info == nullptr)
                                      return;
                                  const char* name = q->side == Side::input ? info->default_source_name : info->default_sink_name;
                                  if (name != nullptr)
                                      q->name = name;
                              },
                              &query));
    if (query.name.isEmpty())
        return AudioDeviceError::noDevice();
    const char* name = query.name.constData();
    waitOperation(m_loop, side == Side::input ? pa_context_get_source_info_by_name(context.value(), name,
                                                                     &rememberFormat<pa_source_info>, &query)
                                : pa_context_get_sink_info_by_name(context.value(), name,
                                                                   &rememberFormat<pa_sink_info>, &query));
    if (!query.found)
        return AudioDeviceError::noDevice();
    return query.format;
}

Result<std::unique_ptr<AudioStream>, AudioDeviceError>
PulseAudioDevices::openInput(AudioFormat format, std::size_t blockFrames, AudioInputCallback& callback)
{
    Locker lock(m_loop);
    auto context = connectedContext();
    if (!context)
        return context.error();
    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(format.sampleRate),
                              static_cast<uint8_t>(format.channels)};
    if (pa_sample_spec_valid(&sampleFormat) == 0)
        return AudioDeviceError::failed(QStringLiteral("nieprawidłowy format wejścia"));
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(blockFrames * pa_frame_size(&sampleFormat));
    auto stream = openStream(m_loop, context.value(), "Mikrofon", sampleFormat, QStringLiteral("phone"), [&](pa_stream* s) {
        // The timing flags give the stream's latency, which the echo canceller lines its reference up by.
        return pa_stream_connect_record(s, nullptr, &attributes,
                                        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING
                                                                       | PA_STREAM_AUTO_TIMING_UPDATE));
    });
    if (!stream)
        return stream.error();
    return std::unique_ptr<AudioStream>(std::make_unique<PulseInput>(m_loop, stream.value(), format, blockFrames, callback));
}

Result<std::unique_ptr<AudioStream>, AudioDeviceError>
PulseAudioDevices::openOutput(int sampleRate, int latencyMs, const QString& role, AudioOutputCallback& callback)
{
    Locker lock(m_loop);
    auto context = connectedContext();
    if (!context)
        return context.error();
    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(sampleRate), 1};
    if (pa_sample_spec_valid(&sampleFormat) == 0)
        return AudioDeviceError::failed(QStringLiteral("nieprawidłowy format odtwarzania"));
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(pa_usec_to_bytes(static_cast<pa_usec_t>(latencyMs) * 1000, &sampleFormat));
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING
                                                      | PA_STREAM_AUTO_TIMING_UPDATE);
    auto stream = openStream(m_loop, context.value(), "Głos asystenta", sampleFormat, role, [&](pa_stream* s) {
        return pa_stream_connect_playback(s, nullptr, &attributes, flags, nullptr, nullptr);
    });
    if (!stream)
        return stream.error();
    return std::unique_ptr<AudioStream>(std::make_unique<PulseOutput>(m_loop, stream.value(), sampleRate, callback));
}

} // namespace selvina::platform

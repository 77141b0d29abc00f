#include "platform/screencapture/pulse/pulse_audio_source.h"

#include "platform/screencapture/host_clock.h"

#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

namespace corvex::screencapture::pulse {

namespace {

constexpr double kFragmentSeconds = 0.02;
// Data arriving this much later than its sample count says means samples were
// lost; shorter delays are the scheduler's (the data waited in the server).
constexpr std::int64_t kLostSamplesNanoseconds = 250'000'000;

CaptureError unavailable(const std::string& why)
{
    return { CaptureError::AudioUnavailable,
        "System audio cannot be captured: " + why
            + ". Start a PulseAudio or PipeWire sound server (or check PULSE_SERVER), or switch audio capture off." };
}

struct Lock {
    explicit Lock(pa_threaded_mainloop* loop)
        : m_loop(loop)
    {
        pa_threaded_mainloop_lock(m_loop);
    }
    ~Lock() { pa_threaded_mainloop_unlock(m_loop); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    pa_threaded_mainloop* m_loop;
};

struct SinkQuery {
    pa_threaded_mainloop* loop = nullptr;
    bool done = false;
    std::string defaultSink;
    std::string monitor;
    pa_sample_spec sampleSpec {};
};

} // namespace

std::unique_ptr<PulseAudioSource> PulseAudioSource::create(const StreamConfiguration&, CaptureError& error)
{
    std::unique_ptr<PulseAudioSource> source(new PulseAudioSource);
    if (std::optional<CaptureError> failure = source->connect()) {
        error = *failure;
        return nullptr;
    }
    return source;
}

std::optional<CaptureError> PulseAudioSource::connect()
{
    m_mainloop = pa_threaded_mainloop_new();
    if (m_mainloop == nullptr || pa_threaded_mainloop_start(m_mainloop) < 0)
        return unavailable("its event loop could not be started");
    Lock lock(m_mainloop);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_mainloop);
    m_context = pa_context_new(api, "Corvex Studio");
    if (m_context == nullptr)
        return unavailable("no sound server context could be made");
    pa_context_set_state_callback(m_context, &PulseAudioSource::contextState, this);
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return unavailable(std::string("no sound server answered (") + pa_strerror(pa_context_errno(m_context)) + ")");
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(m_context);
        if (state == PA_CONTEXT_READY)
            break;
        if (!PA_CONTEXT_IS_GOOD(state))
            return unavailable(
                std::string("no sound server answered (") + pa_strerror(pa_context_errno(m_context)) + ")");
        pa_threaded_mainloop_wait(m_mainloop);
    }

    // The default sink, and the monitor source that carries what it plays.
    SinkQuery query;
    query.loop = m_mainloop;
    // Waits (the main loop's lock held) until the query's answer is in, then lets the operation go.
    auto awaitAnswer = [&](pa_operation* operation) {
        while (operation != nullptr && !query.done && pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
            pa_threaded_mainloop_wait(m_mainloop);
        if (operation != nullptr)
            pa_operation_unref(operation);
    };
    pa_operation* operation = pa_context_get_server_info(
        m_context,
        [](pa_context*, const pa_server_info* info, void* data) {
            auto* q = static_cast<SinkQuery*>(data);
            if (info != nullptr && info->default_sink_name != nullptr)
                q->defaultSink = info->default_sink_name;
            q->done = true;
            pa_threaded_mainloop_signal(q->loop, 0);
        },
        &query);
    awaitAnswer(operation);
    if (query.defaultSink.empty())
        return unavailable("the sound server has no default output");
    query.done = false;
    operation = pa_context_get_sink_info_by_name(
        m_context, query.defaultSink.c_str(),
        [](pa_context*, const pa_sink_info* info, int eol, void* data) {
            auto* q = static_cast<SinkQuery*>(data);
            if (eol == 0 && info != nullptr) {
                if (info->monitor_source_name != nullptr)
                    q->monitor = info->monitor_source_name;
                q->sampleSpec = info->sample_spec;
                return;
            }
            q->done = true;
            pa_threaded_mainloop_signal(q->loop, 0);
        },
        &query);
    awaitAnswer(operation);
    if (query.monitor.empty())
        return unavailable("the default output (" + query.defaultSink + ") has no monitor to record from");

    m_spec.format = PA_SAMPLE_FLOAT32LE;
    m_spec.rate = query.sampleSpec.rate > 0 ? query.sampleSpec.rate : 48000;
    m_spec.channels = query.sampleSpec.channels > 0 ? query.sampleSpec.channels : 2;
    m_stream = pa_stream_new(m_context, "System audio", &m_spec, nullptr);
    if (m_stream == nullptr)
        return unavailable("no recording stream could be made");
    pa_stream_set_state_callback(m_stream, &PulseAudioSource::streamState, this);
    pa_stream_set_read_callback(m_stream, &PulseAudioSource::streamRead, this);
    // The server dropped samples we did not read in time: the count no longer tells the time.
    pa_stream_set_overflow_callback(
        m_stream, [](pa_stream*, void* self) { static_cast<PulseAudioSource*>(self)->m_overflowed = true; }, this);
    // Small fragments: a monitor's default latency is seconds, which would delay (and blur) the time line.
    pa_buffer_attr attributes {};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(pa_usec_t(kFragmentSeconds * 1e6), &m_spec));
    attributes.tlength = attributes.prebuf = attributes.minreq = static_cast<std::uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING);
    if (pa_stream_connect_record(m_stream, query.monitor.c_str(), &attributes, flags) < 0)
        return unavailable(
            "recording from " + query.monitor + " failed (" + pa_strerror(pa_context_errno(m_context)) + ")");
    for (;;) {
        const pa_stream_state_t state = pa_stream_get_state(m_stream);
        if (state == PA_STREAM_READY)
            break;
        if (!PA_STREAM_IS_GOOD(state))
            return unavailable(
                "recording from " + query.monitor + " failed (" + pa_strerror(pa_context_errno(m_context)) + ")");
        pa_threaded_mainloop_wait(m_mainloop);
    }
    m_ready = true;
    return std::nullopt;
}

PulseAudioSource::~PulseAudioSource()
{
    if (m_mainloop == nullptr)
        return;
    {
        Lock lock(m_mainloop);
        m_sink = nullptr;
        if (m_stream != nullptr) {
            pa_stream_set_state_callback(m_stream, nullptr, nullptr);
            pa_stream_set_read_callback(m_stream, nullptr, nullptr);
            pa_stream_set_overflow_callback(m_stream, nullptr, nullptr);
            pa_stream_disconnect(m_stream);
            pa_stream_unref(m_stream);
        }
        if (m_context != nullptr) {
            pa_context_set_state_callback(m_context, nullptr, nullptr);
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
        }
    }
    pa_threaded_mainloop_stop(m_mainloop);
    pa_threaded_mainloop_free(m_mainloop);
}

void PulseAudioSource::start(StreamSink& sink)
{
    Lock lock(m_mainloop);
    m_sink = &sink;
}

void PulseAudioSource::contextState(pa_context* context, void* self)
{
    auto* source = static_cast<PulseAudioSource*>(self);
    const pa_context_state_t state = pa_context_get_state(context);
    if (source->m_ready && !PA_CONTEXT_IS_GOOD(state))
        source->lost("the connection to the sound server was lost");
    pa_threaded_mainloop_signal(source->m_mainloop, 0);
}

void PulseAudioSource::streamState(pa_stream* stream, void* self)
{
    auto* source = static_cast<PulseAudioSource*>(self);
    if (source->m_ready && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
        source->lost("the sound server ended the recording of system audio");
    pa_threaded_mainloop_signal(source->m_mainloop, 0);
}

void PulseAudioSource::lost(const char* what)
{
    if (m_sink == nullptr)
        return;
    StreamSink* sink = std::exchange(m_sink, nullptr);
    sink->fail({ CaptureError::ConnectionLost,
        std::string("Screen capture stopped because ") + what
            + ". Check that the sound server runs, then restart screen capture." });
}

void PulseAudioSource::streamRead(pa_stream* stream, std::size_t, void* self)
{
    static_cast<PulseAudioSource*>(self)->read(stream);
}

void PulseAudioSource::read(pa_stream* stream)
{
    const std::size_t frameBytes = pa_frame_size(&m_spec);
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
            return;
        const auto frames = static_cast<std::uint32_t>(bytes / frameBytes);
        if (data == nullptr || m_sink == nullptr) {
            // A hole in the recording, or nobody to hand it to yet: time moves on all the same.
            pa_stream_drop(stream);
            m_position += frames;
            continue;
        }
        // The newest sample in our buffer arrived at the latest now, so the
        // first one of this block is at most its unread span old: an upper
        // bound of its time. (The server's latency figures are no help here:
        // a monitor reports its sink's playback latency, seconds on a null sink.)
        // Times follow the sample count from the earliest such bound, and are
        // re-anchored when the data comes later than the count allows (samples
        // were lost) or earlier than it claims.
        const std::int64_t now = hostTimeNanoseconds();
        const double nanosecondsPerFrame = 1e9 / m_spec.rate;
        const auto unreadFrames = static_cast<double>(pa_stream_readable_size(stream) / frameBytes);
        const std::int64_t latest = now - std::llround(unreadFrames * nanosecondsPerFrame);
        const auto predicted
            = m_anchorNanoseconds + std::llround(static_cast<double>(m_position) * nanosecondsPerFrame);
        if (!m_anchored || m_overflowed || predicted > latest || latest - predicted > kLostSamplesNanoseconds) {
            m_overflowed = false;
            m_anchorNanoseconds = latest - std::llround(static_cast<double>(m_position) * nanosecondsPerFrame);
            m_anchored = true;
        }
        const std::int64_t first
            = m_anchorNanoseconds + std::llround(static_cast<double>(m_position) * nanosecondsPerFrame);

        std::vector<std::vector<float>> channels(m_spec.channels, std::vector<float>(frames));
        const auto* samples = static_cast<const std::uint8_t*>(data);
        for (std::uint32_t i = 0; i < frames; ++i)
            for (std::uint32_t c = 0; c < m_spec.channels; ++c)
                std::memcpy(&channels[c][i], samples + (i * m_spec.channels + c) * sizeof(float), sizeof(float));
        pa_stream_drop(stream);
        m_position += frames;
        m_sink->deliverAudio(
            SampleBuffer::audio(m_spec.rate, std::move(channels), media::MediaTime::fromNanoseconds(first)));
    }
}

} // namespace corvex::screencapture::pulse

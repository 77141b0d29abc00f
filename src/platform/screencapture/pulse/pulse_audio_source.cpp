#include "platform/screencapture/pulse/pulse_audio_source.h"

#include "platform/screencapture/host_clock.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace corvex::screencapture::pulse {

namespace {

constexpr double kFragmentSeconds = 0.02;
// Data arriving this much later than its sample count says means samples were
// lost; shorter delays are the scheduler's (the data waited in the server).
constexpr std::int64_t kLostSamplesNanoseconds = 250'000'000;
// Measures of the sink's latency wander by a few milliseconds from one timing
// report to the next; stamps follow them only when they moved by more than this.
constexpr std::int64_t kLatencyStepNanoseconds = 15'000'000;
// The longest the first blocks wait for the first measure of the latency.
constexpr double kLatencyWaitSeconds = 1.0;

/// Asks the server for a fresh timing report (it arrives through the latency callback).
void requestTimingReport(pa_stream* stream)
{
    if (pa_operation* update = pa_stream_update_timing_info(stream, nullptr, nullptr))
        pa_operation_unref(update);
}

Result<void, CaptureError> unavailable(const std::string& why)
{
    return Result<void, CaptureError>::failure({ CaptureError::AudioUnavailable,
        "System audio cannot be captured: " + why
            + ". Start a PulseAudio or PipeWire sound server (or check PULSE_SERVER)." });
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

SourceResult PulseAudioSource::create(const StreamConfiguration&)
{
    std::unique_ptr<PulseAudioSource> source(new PulseAudioSource);
    if (Result<void, CaptureError> connected = source->connect(); !connected)
        return SourceResult::failure(std::move(connected.error));
    return SourceResult::success(std::move(source));
}

Result<void, CaptureError> PulseAudioSource::connect()
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
    pa_stream_set_latency_update_callback(m_stream, &PulseAudioSource::latencyUpdated, this);
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
    return Result<void, CaptureError>::success();
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
            pa_stream_set_latency_update_callback(m_stream, nullptr, nullptr);
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
        // When the sink rendered this block: the newest sample in our buffer
        // arrived at the latest now, so the first one of this block is at most
        // its unread span old, an upper bound of that time. Times follow the
        // sample count from the earliest such bound, and are re-anchored when
        // the data comes later than the count allows (samples were lost) or
        // earlier than it claims.
        const std::int64_t now = hostTimeNanoseconds();
        const double nanosecondsPerFrame = 1e9 / m_spec.rate;
        const auto unreadFrames = static_cast<double>(pa_stream_readable_size(stream) / frameBytes);
        const std::int64_t latest = now - std::llround(unreadFrames * nanosecondsPerFrame);
        const auto predicted
            = m_anchorNanoseconds + std::llround(static_cast<double>(m_position) * nanosecondsPerFrame);
        if (!m_anchored || m_overflowed || predicted > latest || latest - predicted > kLostSamplesNanoseconds) {
            const std::int64_t anchor = latest - std::llround(static_cast<double>(m_position) * nanosecondsPerFrame);
            // Data earlier than the count claims moves our rendering time line,
            // not the moment the sink plays it: the measured latency keeps that.
            if (m_latencyMeasured && !m_overflowed && predicted > latest)
                m_latencyNanoseconds += m_anchorNanoseconds - anchor;
            // The first measure of the latency needs a time line: ask for it at once
            // (the first blocks wait for it, see below).
            if (!m_anchored)
                requestTimingReport(stream);
            m_overflowed = false;
            m_anchorNanoseconds = anchor;
            m_anchored = true;
        }
        std::vector<std::vector<float>> channels(m_spec.channels, std::vector<float>(frames));
        const auto* samples = static_cast<const std::uint8_t*>(data);
        for (std::uint32_t i = 0; i < frames; ++i)
            for (std::uint32_t c = 0; c < m_spec.channels; ++c)
                std::memcpy(&channels[c][i], samples + (i * m_spec.channels + c) * sizeof(float), sizeof(float));
        pa_stream_drop(stream);
        const std::int64_t position = m_position;
        m_position += frames;
        // The first blocks wait until the latency is known, as their times set
        // where the recording's time line starts; not for ever, though.
        if (!m_latencyMeasured) {
            if (m_pending.empty())
                m_pendingFrom = position;
            if (m_position - m_pendingFrom < std::llround(kLatencyWaitSeconds * m_spec.rate)) {
                m_pending.push_back({ position, std::move(channels) });
                continue;
            }
        }
        deliverPending();
        deliver(position, std::move(channels));
    }
}

void PulseAudioSource::deliverPending()
{
    for (Block& block : m_pending)
        deliver(block.position, std::move(block.channels));
    m_pending.clear();
}

void PulseAudioSource::deliver(std::int64_t position, std::vector<std::vector<float>> channels)
{
    if (m_sink == nullptr)
        return;
    // What is heard lags what the sink renders by its playback latency
    // (from milliseconds to hundreds on a Bluetooth or network speaker),
    // and players show each picture when its sound is heard: the block is
    // stamped with that moment (see measureLatency()). A later stamp than
    // the last buffer's moves at once; an earlier one (a re-anchoring, a
    // shorter latency) is taken up at most half a block at a time, so that
    // stamps never go backwards.
    const double nanosecondsPerFrame = 1e9 / m_spec.rate;
    std::int64_t first = m_anchorNanoseconds + m_latencyNanoseconds
        + std::llround(static_cast<double>(position) * nanosecondsPerFrame);
    if (m_stamped)
        first = std::max(first, m_lastStampNanoseconds + m_lastSpanNanoseconds / 2);
    m_stamped = true;
    m_lastStampNanoseconds = first;
    m_lastSpanNanoseconds = std::llround(static_cast<double>(channels.front().size()) * nanosecondsPerFrame);
    m_sink->deliverAudio(
        SampleBuffer::audio(m_spec.rate, std::move(channels), media::MediaTime::fromNanoseconds(first)));
}

void PulseAudioSource::latencyUpdated(pa_stream* stream, void* self)
{
    static_cast<PulseAudioSource*>(self)->measureLatency(stream);
}

// A monitor's timing report gives its sink's playback latency: how much later
// than the report the sample the sink rendered last is heard. Sinks render in
// bursts (a network sink tens of milliseconds at once) and the figure falls
// between them, so it holds for the sample rendered at the report (at the
// server's write index) and not for just any one: that sample's heard time
// less its time on our rendering time line is the latency the stamps add.
// Automatic updates bring a report every second or so.
void PulseAudioSource::measureLatency(pa_stream* stream)
{
    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
    if (timing == nullptr || !m_anchored || timing->read_index_corrupt || timing->write_index_corrupt)
        return;
    const std::int64_t reportedAt
        = hostTimeNanoseconds() - static_cast<std::int64_t>(pa_timeval_age(&timing->timestamp)) * 1000;
    // Frames rendered by the time of the report: those we read, and those still
    // on their way (the read index already counts what waits on our side).
    const double rendered = static_cast<double>(m_position)
        + static_cast<double>(timing->write_index - timing->read_index) / static_cast<double>(pa_frame_size(&m_spec));
    const std::int64_t renderedAt = m_anchorNanoseconds + std::llround(rendered * 1e9 / m_spec.rate);
    // (A monitor's own latency, samples rendered but not yet queued for us, is nil in practice.)
    const std::int64_t heardAt = reportedAt + static_cast<std::int64_t>(timing->sink_usec) * 1000
        - static_cast<std::int64_t>(timing->source_usec) * 1000;
    std::int64_t latency = heardAt - renderedAt;
    // Nothing is heard before it is rendered: a report saying so much earlier
    // is a sink still settling (a new output, one starting up) and is passed
    // over (while the first blocks wait, with a new report asked for at once);
    // a little earlier is the slack of our rendering time line.
    if (latency < -kLatencyStepNanoseconds) {
        if (!m_latencyMeasured)
            requestTimingReport(stream);
        return;
    }
    latency = std::max<std::int64_t>(latency, 0);
    if (!m_latencyMeasured || std::llabs(latency - m_latencyNanoseconds) > kLatencyStepNanoseconds)
        m_latencyNanoseconds = latency;
    m_latencyMeasured = true;
    deliverPending();
}

} // namespace corvex::screencapture::pulse

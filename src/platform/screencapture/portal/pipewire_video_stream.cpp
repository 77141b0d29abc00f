#include "platform/screencapture/portal/pipewire_video_stream.h"

#include "platform/screencapture/host_clock.h"
#include "platform/screencapture/portal/frame_reducer.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace corvex::screencapture::portal {

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
/// A producer that was streaming and has been paused this long is gone (a killed
/// portal leaves its consumers paused, with no error).
constexpr std::int64_t kPausedLimit = kSecond;
constexpr int kMaxSide = 16384; // what the format asks for

CaptureError streamGone()
{
    return { CaptureError::ConnectionLost,
        "The desktop's screen stream went away (the shared window was closed, the shared screen is gone, or the "
        "desktop's portal stopped), so screen capture stopped. Restart screen capture." };
}

CaptureError pipeWireLost(const std::string& detail)
{
    return { CaptureError::ConnectionLost,
        "The connection to PipeWire, which carries the shared screen, was lost (" + detail
            + "), so screen capture stopped. Check that PipeWire is running, then restart screen capture." };
}

std::once_flag pipeWireInitialised;

/// "10 seconds", "1 second", "250 milliseconds".
std::string describeLimit(std::chrono::milliseconds limit)
{
    const auto ms = limit.count();
    if (ms % 1000 == 0)
        return std::to_string(ms / 1000) + (ms == 1000 ? " second" : " seconds");
    return std::to_string(ms) + (ms == 1 ? " millisecond" : " milliseconds");
}

} // namespace

struct PipeWireVideoStream::Impl {
    Events events;
    std::uint32_t nodeId = 0;
    std::chrono::milliseconds startLimit {};

    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_stream* stream = nullptr;
    spa_hook coreListener {};
    spa_hook registryListener {};
    spa_hook streamListener {};

    // Touched on the PipeWire thread only.
    std::optional<FrameReducer> reducer;

    mutable std::mutex mutex; // guards what follows
    bool failed = false;
    pw_stream_state state = PW_STREAM_STATE_CONNECTING;
    bool everStreamed = false;
    std::int64_t pausedSince = 0;
    std::int64_t connectedAt = 0;
    Statistics statistics;

    void fail(CaptureError error)
    {
        {
            std::lock_guard lock(mutex);
            if (failed)
                return;
            failed = true;
        }
        if (events.failure)
            events.failure(std::move(error));
    }

    bool hasFailed() const
    {
        std::lock_guard lock(mutex);
        return failed;
    }

    static void onCoreError(void* data, std::uint32_t id, int, int res, const char* message)
    {
        auto* self = static_cast<Impl*>(data);
        if (id == PW_ID_CORE && res == -EPIPE)
            self->fail(pipeWireLost(message != nullptr ? message : "disconnected"));
    }

    static void onGlobalRemove(void* data, std::uint32_t id)
    {
        auto* self = static_cast<Impl*>(data);
        if (id == self->nodeId)
            self->fail(streamGone());
    }

    static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error)
    {
        auto* self = static_cast<Impl*>(data);
        {
            std::lock_guard lock(self->mutex);
            self->state = state;
            if (state == PW_STREAM_STATE_STREAMING) {
                self->everStreamed = true;
                self->pausedSince = 0;
            } else if (state == PW_STREAM_STATE_PAUSED && self->everStreamed && self->pausedSince == 0) {
                self->pausedSince = hostTimeNanoseconds();
            }
        }
        if (state == PW_STREAM_STATE_ERROR && !self->reducer->hasFormat())
            self->fail({ CaptureError::InvalidParameter,
                "The desktop's screen stream and Corvex Studio found no picture format that both can use (Corvex "
                "Studio reads BGRx, BGRA, RGBx and RGBA of at least 1 x 1 pixels; "
                    + std::string(error != nullptr ? error : "no reason given") + "), so screen capture stopped." });
        else if (state == PW_STREAM_STATE_ERROR)
            self->fail({ CaptureError::ConnectionLost,
                "The desktop's screen stream failed (" + std::string(error != nullptr ? error : "no reason given")
                    + "), so screen capture stopped. Restart screen capture." });
        else if (state == PW_STREAM_STATE_UNCONNECTED)
            self->fail(streamGone());
    }

    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param)
    {
        auto* self = static_cast<Impl*>(data);
        if (param == nullptr || id != SPA_PARAM_Format)
            return;
        self->takeFormat(param);
    }

    void takeFormat(const spa_pod* param)
    {
        std::uint32_t mediaType = 0;
        std::uint32_t mediaSubtype = 0;
        spa_video_info_raw raw {};
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video
            || mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &raw) < 0) {
            fail({ CaptureError::InvalidParameter,
                "The desktop offers the screen in a form Corvex Studio cannot read (not raw video), so screen "
                "capture stopped." });
            return;
        }
        if (Result<void, CaptureError> accepted = reducer->setFormat(raw); !accepted) {
            fail(std::move(accepted.error));
            return;
        }
        {
            std::lock_guard lock(mutex);
            statistics.width = static_cast<int>(raw.size.width);
            statistics.height = static_cast<int>(raw.size.height);
            statistics.format = raw.format;
            statistics.maxFramerateNum = raw.max_framerate.num;
            statistics.maxFramerateDenom = raw.max_framerate.denom;
        }

        std::uint8_t storage[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod* params[3];
        params[0] = static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
                SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(8, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
                SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
        params[1] = static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta,
            SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(
                sizeof(spa_meta_region) * 16, sizeof(spa_meta_region), sizeof(spa_meta_region) * 16)));
        pw_stream_update_params(stream, params, 3);
    }

    static void onProcess(void* data) { static_cast<Impl*>(data)->process(); }

    void process()
    {
        // Only the newest waiting frame is worth reducing: the older ones go
        // back at once, so the producer never runs out of buffers while we work.
        pw_buffer* buffer = nullptr;
        while (pw_buffer* next = pw_stream_dequeue_buffer(stream)) {
            if (buffer != nullptr)
                pw_stream_queue_buffer(stream, buffer);
            buffer = next;
        }
        if (buffer == nullptr)
            return;
        FrameReducer::Reduced reduced = reducer->reduce(*buffer->buffer, hostTimeNanoseconds());
        pw_stream_queue_buffer(stream, buffer);
        if (!reduced) {
            fail(std::move(reduced.error));
            return;
        }
        std::optional<SampleBuffer>& frame = *reduced.value;
        {
            std::lock_guard lock(mutex);
            const std::int64_t leftOut = reducer->clock().framesLeftOut();
            if (!frame && leftOut == statistics.framesLeftOut)
                ++statistics.empty;
            statistics.framesLeftOut = leftOut;
            if (failed || !frame)
                return;
            ++statistics.frames;
        }
        if (events.frame)
            events.frame(std::move(*frame));
    }

    void destroy()
    {
        if (loop != nullptr)
            pw_thread_loop_stop(loop);
        if (stream != nullptr) {
            spa_hook_remove(&streamListener);
            pw_stream_destroy(stream);
        }
        if (registry != nullptr) {
            spa_hook_remove(&registryListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        }
        if (core != nullptr) {
            spa_hook_remove(&coreListener);
            pw_core_disconnect(core);
        }
        if (context != nullptr)
            pw_context_destroy(context);
        if (loop != nullptr)
            pw_thread_loop_destroy(loop);
        stream = nullptr;
        registry = nullptr;
        core = nullptr;
        context = nullptr;
        loop = nullptr;
    }
};

PipeWireVideoStream::PipeWireVideoStream()
    : m_impl(std::make_unique<Impl>())
{
}

PipeWireVideoStream::~PipeWireVideoStream()
{
    m_impl->destroy();
}

Result<std::unique_ptr<PipeWireVideoStream>, CaptureError> PipeWireVideoStream::connect(
    PipeWireTarget target, const StreamConfiguration& configuration, Events events)
{
    using Connected = Result<std::unique_ptr<PipeWireVideoStream>, CaptureError>;
    std::call_once(pipeWireInitialised, [] { pw_init(nullptr, nullptr); });
    static const pw_core_events kCoreEvents = [] {
        pw_core_events events {};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = &Impl::onCoreError;
        return events;
    }();
    static const pw_registry_events kRegistryEvents = [] {
        pw_registry_events events {};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global_remove = &Impl::onGlobalRemove;
        return events;
    }();
    static const pw_stream_events kStreamEvents = [] {
        pw_stream_events events {};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = &Impl::onStateChanged;
        events.param_changed = &Impl::onParamChanged;
        events.process = &Impl::onProcess;
        return events;
    }();
    std::unique_ptr<PipeWireVideoStream> result(new PipeWireVideoStream);
    Impl& d = *result->m_impl;
    d.reducer.emplace(configuration);
    d.events = std::move(events);
    d.nodeId = target.nodeId;
    d.startLimit = target.startLimit;
    d.loop = pw_thread_loop_new("corvex-screen", nullptr);
    if (d.loop == nullptr) {
        if (target.fd >= 0)
            ::close(target.fd);
        return Connected::failure(pipeWireLost("no PipeWire loop could be made"));
    }
    d.context = pw_context_new(pw_thread_loop_get_loop(d.loop), nullptr, 0);
    if (d.context == nullptr || pw_thread_loop_start(d.loop) < 0) {
        if (target.fd >= 0)
            ::close(target.fd);
        return Connected::failure(pipeWireLost("no PipeWire context could be made"));
    }
    pw_thread_loop_lock(d.loop);
    if (target.fd >= 0)
        d.core = pw_context_connect_fd(d.context, target.fd, nullptr, 0);
    else
        d.core = pw_context_connect(d.context,
            target.remote.empty() ? nullptr : pw_properties_new(PW_KEY_REMOTE_NAME, target.remote.c_str(), nullptr), 0);
    if (d.core == nullptr) {
        const int why = errno;
        pw_thread_loop_unlock(d.loop);
        return Connected::failure(pipeWireLost(std::strerror(why)));
    }
    pw_core_add_listener(d.core, &d.coreListener, &kCoreEvents, &d);
    d.registry = pw_core_get_registry(d.core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(d.registry, &d.registryListener, &kRegistryEvents, &d);
    d.stream = pw_stream_new(d.core, "Corvex Studio screen",
        pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (d.stream == nullptr) {
        pw_thread_loop_unlock(d.loop);
        return Connected::failure(pipeWireLost("no stream could be made"));
    }
    pw_stream_add_listener(d.stream, &d.streamListener, &kStreamEvents, &d);

    // Any size the producer has (it never scales); at most as often as the configuration allows.
    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    spa_pod_frame frame;
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(&builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
            SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
        0);
    const spa_rectangle defaultSize { 1920, 1080 }, minSize { 1, 1 }, maxSize { kMaxSide, kMaxSide };
    spa_pod_builder_add(
        &builder, SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize), 0);
    const spa_fraction anyRate { 0, 1 }, maxRate { 1000, 1 };
    spa_pod_builder_add(
        &builder, SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&anyRate, &anyRate, &maxRate), 0);
    const media::MediaTime& interval = configuration.minimumFrameInterval;
    if (interval.value > 0 && interval.timescale > 0 && interval.seconds() <= 10) {
        // Frames per second = timescale / value, exactly.
        const spa_fraction most { static_cast<std::uint32_t>(interval.timescale),
            static_cast<std::uint32_t>(interval.value) };
        const spa_fraction least { 1, 1 };
        spa_pod_builder_add(
            &builder, SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_CHOICE_RANGE_Fraction(&most, &least, &most), 0);
    }
    const auto* format = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
    const spa_pod* params[1] = { format };
    {
        std::lock_guard lock(d.mutex);
        d.connectedAt = hostTimeNanoseconds();
    }
    const int connected = pw_stream_connect(d.stream, PW_DIRECTION_INPUT, target.nodeId,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
    pw_thread_loop_unlock(d.loop);
    if (connected < 0) {
        return Connected::failure(pipeWireLost(std::strerror(-connected)));
    }
    return Connected::success(std::move(result));
}

void PipeWireVideoStream::check()
{
    Impl& d = *m_impl;
    const std::int64_t now = hostTimeNanoseconds();
    std::optional<CaptureError> error;
    {
        std::lock_guard lock(d.mutex);
        if (d.failed)
            return;
        if (d.pausedSince != 0 && now - d.pausedSince > kPausedLimit)
            error = streamGone();
        else if (!d.everStreamed
            && now - d.connectedAt > std::chrono::duration_cast<std::chrono::nanoseconds>(d.startLimit).count())
            error = CaptureError { CaptureError::ConnectionLost,
                "The desktop's screen stream did not start within " + describeLimit(d.startLimit)
                    + ": it and Corvex Studio found no picture format that both can use (Corvex Studio reads BGRx, "
                      "BGRA, RGBx and RGBA of at least 1 x 1 pixels), or the portal is not answering. So screen "
                      "capture stopped. Restart screen capture." };
    }
    if (error)
        d.fail(*error);
}

PipeWireVideoStream::Statistics PipeWireVideoStream::statistics() const
{
    std::lock_guard lock(m_impl->mutex);
    return m_impl->statistics;
}

} // namespace corvex::screencapture::portal

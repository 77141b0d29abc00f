#pragma once

#include "platform/screencapture/capture_error.h"
#include "platform/screencapture/stream.h"
#include "platform/screencapture/stream_configuration.h"

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvex::screencapture::pulse {

/// Records what the system plays: the monitor of the sound server's default
/// sink, as 32-bit float planar buffers at the sink's rate and channel count,
/// in blocks of about 20 ms. Each buffer is stamped with the time its first
/// sample is heard (the sink's playback latency after the sink renders it), as
/// a player times its pictures, on the monotonic clock that stamps video
/// frames. Works with PulseAudio and with PipeWire's Pulse server.
class PulseAudioSource final : public StreamSource {
public:
    /// Connects and starts recording at once (so that nothing played after
    /// this returns is missed); buffers go nowhere until start().
    static SourceResult create(const StreamConfiguration& configuration);
    ~PulseAudioSource() override;

    void start(StreamSink& sink) override;

private:
    PulseAudioSource() = default;
    Result<void, CaptureError> connect();
    void read(pa_stream* stream);
    void measureLatency(pa_stream* stream);
    /// Hands on the block that starts at frame `position`, stamped.
    void deliver(std::int64_t position, std::vector<std::vector<float>> channels);
    void deliverPending();
    void lost(const char* what);
    static void contextState(pa_context* context, void* self);
    static void streamState(pa_stream* stream, void* self);
    static void streamRead(pa_stream* stream, std::size_t bytes, void* self);
    static void latencyUpdated(pa_stream* stream, void* self);

    pa_threaded_mainloop* m_mainloop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    // Touched on the main loop's thread, or with its lock held:
    StreamSink* m_sink = nullptr;
    bool m_ready = false;
    pa_sample_spec m_spec {};
    std::int64_t m_position = 0; // frames read so far
    std::int64_t m_anchorNanoseconds = 0; // host time at which the sink rendered frame 0
    bool m_anchored = false;
    std::int64_t m_latencyNanoseconds = 0; // from rendered to heard, as the stamps use it
    bool m_latencyMeasured = false; // on our rendering time line, not just the bare figure
    std::int64_t m_lastStampNanoseconds = 0; // of the last buffer handed on
    std::int64_t m_lastSpanNanoseconds = 0; // its duration
    bool m_stamped = false;
    bool m_overflowed = false;
    struct Block {
        std::int64_t position = 0;
        std::vector<std::vector<float>> channels;
    };
    std::vector<Block> m_pending; // read before the latency was known
    std::int64_t m_pendingFrom = 0; // the position of the first of them
};

} // namespace corvex::screencapture::pulse

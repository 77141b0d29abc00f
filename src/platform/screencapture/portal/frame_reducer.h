#pragma once

#include "platform/result.h"
#include "platform/screencapture/capture_error.h"
#include "platform/screencapture/sample_buffer.h"
#include "platform/screencapture/stream_configuration.h"

#include <spa/buffer/buffer.h>
#include <spa/param/video/raw.h>

#include <cstdint>
#include <optional>

namespace corvex::screencapture::portal {

/// Stamps the frames of one stream on one clock, chosen at its first frames and
/// kept: the producer's own time of the picture when that is on our monotonic
/// clock and fresh (under a second old on arrival), else the frames' arrival.
/// Until it is chosen (a first frame whose picture time is old, as a still
/// screen's is) a frame is stamped on arrival. A frame without a fresh time of
/// its own on the producer's clock is placed by the producer's least lag
/// behind arrival. Time never runs backwards: a frame earlier than the one before it
/// is left out.
class FrameClock {
public:
    /// The stamp of a frame with the producer's time `pictureTime` (0 or less:
    /// none) that arrived at `arrival`, both in host clock nanoseconds; none when
    /// the frame is to be left out.
    std::optional<std::int64_t> stamp(std::int64_t pictureTime, std::int64_t arrival);
    /// Frames left out because their time ran backwards.
    std::int64_t framesLeftOut() const { return m_leftOut; }

private:
    enum class Choice { Undecided, Producer, Arrival };
    Choice m_choice = Choice::Undecided;
    int m_staleFrames = 0; // first frames with an old picture time
    std::optional<std::int64_t> m_leastLag; // arrival less the producer's fresh times, the least seen
    std::optional<std::int64_t> m_last;
    std::int64_t m_leftOut = 0;
};

/// Turns the shared-memory buffers of one PipeWire video stream into small BGRA
/// sample buffers: checks the negotiated format and each buffer's layout,
/// reduces the picture straight from the mapped memory to the configured width
/// (the height following the aspect ratio) by the area-averaging scaler, reads
/// the damage (nothing changed: idle) and stamps the frame on the stream's one
/// clock. Works on plain SPA structures, so it needs no PipeWire daemon. One
/// thread at a time.
class FrameReducer {
public:
    explicit FrameReducer(const StreamConfiguration& configuration)
        : m_configuration(configuration)
    {
    }

    /// Takes the format the producer agreed on; why frames in it cannot be read
    /// instead (capture stops then).
    Result<void, CaptureError> setFormat(const spa_video_info_raw& format);
    bool hasFormat() const { return m_format.size.width != 0; }

    /// The frame, none when the buffer had no pixels or its time ran backwards;
    /// or why capture cannot go on.
    using Reduced = Result<std::optional<SampleBuffer>, CaptureError>;
    /// One buffer of the stream, arrived at `arrival` (host clock nanoseconds).
    Reduced reduce(const spa_buffer& buffer, std::int64_t arrival);

    const FrameClock& clock() const { return m_clock; }

private:
    const StreamConfiguration m_configuration;
    spa_video_info_raw m_format {};
    int m_targetWidth = 0;
    int m_targetHeight = 0;
    FrameInfo m_info; // of a complete frame
    FrameClock m_clock;
};

/// Whether the stream reads frames of this SPA video format.
bool isReadableFormat(std::uint32_t format);

} // namespace corvex::screencapture::portal

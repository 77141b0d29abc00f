#pragma once

#include "platform/media/media_time.h"
#include "platform/media/pixel_buffer.h"
#include "platform/media/rect.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace corvex::screencapture {

/// What a stream delivers to an output. Values are fixed: they are the codes
/// the outputs dispatch on.
enum class StreamOutputType : int {
    Screen = 0,
    Audio = 1,
};

/// What a video frame shows compared with the frame before it.
enum class FrameStatus : std::int64_t {
    Complete = 0, // new content since the previous frame
    Idle = 1, // nothing changed
};

/// Which pixels of a frame show nothing of their own: one byte a pixel, row by
/// row, non-zero for those. Shared by the frames it holds for; none when every
/// pixel was seen.
using CoveredPixels = std::shared_ptr<const std::vector<std::uint8_t>>;

/// What a backend says of one video frame, beside its pixels.
struct FrameInfo {
    FrameStatus status = FrameStatus::Complete;
    media::Rect contentRect; // frame pixels
    double contentScale = 1; // frame pixels per content pixel
    double scaleFactor = 1; // device pixels per point of the content
    /// When the frame reached this process, in nanoseconds of the host clock that
    /// stamps frames and sound; on complete frames of backends whose frames arrive
    /// on their own (the screen-cast stream). Where it is missing the presentation
    /// time stamp was taken when the frame was fetched, and stands for it.
    std::optional<std::int64_t> arrivalTime;
    /// Where windows left out of the capture (the studio's own) hid the
    /// picture: those pixels hold a colour guessed from around them.
    CoveredPixels coveredPixels;

    /// A complete frame whose content fills a frame of that size.
    static FrameInfo filling(int width, int height, double contentScale = 1)
    {
        return { FrameStatus::Complete, { 0, 0, double(width), double(height) }, contentScale, 1, std::nullopt, {} };
    }
};

/// The shared memory behind a captured frame: the same pixels as the frame's
/// image buffer, kept alive for as long as anyone holds the surface.
struct Surface {
    int width = 0;
    int height = 0;
    std::size_t bytesPerRow = 0;
    media::PixelFormat format = media::PixelFormat::BGRA;
    std::shared_ptr<const std::uint8_t> pixels;
};

/// Rate and channel count of delivered audio (samples are always 32-bit float, planar).
struct AudioStreamDescription {
    double sampleRate = 0;
    std::uint32_t channelsPerFrame = 0;
};

/// Planar float samples of one audio buffer, pointing into the sample buffer's storage.
struct AudioBufferList {
    std::uint32_t frameCount = 0;
    std::vector<void*> channels;
};

/// One delivery of a stream: a video frame with its attachments, or a block
/// of audio. Every part may be missing (and attachments may hold values of
/// the wrong type), which consumers must tolerate.
struct SampleBuffer {
    bool isValid = true;
    media::MediaTime outputPresentationTimeStamp;

    // Video
    std::optional<FrameInfo> frameInfo;
    std::shared_ptr<media::PixelBuffer> imageBuffer;
    std::shared_ptr<const Surface> surface; // what backs imageBuffer

    // Audio
    std::optional<AudioStreamDescription> formatDescription;
    std::shared_ptr<std::vector<std::vector<float>>> audioSamples; // one vector per channel

    /// The audio samples as a buffer list; none when this buffer carries no audio.
    std::optional<AudioBufferList> audioBufferList() const;

    /// Whether a new frame's pixels start zeroed, or as whatever the memory held
    /// (for a frame about to be overwritten whole: zeroing it first costs a pass).
    enum class Pixels { Zeroed, Uninitialised };
    /// A BGRA frame, its surface sharing the image buffer's storage, with the
    /// given frame info (by default: a complete frame whose content fills it).
    static SampleBuffer videoFrame(int width, int height, const media::MediaTime& time,
        Pixels pixels = Pixels::Zeroed, std::optional<FrameInfo> info = std::nullopt);
    /// Audio with the given planar samples (all channels of one length).
    static SampleBuffer audio(
        double sampleRate, std::vector<std::vector<float>> channels, const media::MediaTime& time);
};

} // namespace corvex::screencapture

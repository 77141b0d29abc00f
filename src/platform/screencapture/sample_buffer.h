#pragma once

#include "platform/media/media_time.h"
#include "platform/media/pixel_buffer.h"
#include "platform/media/rect.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace corvex::screencapture {

/// What a stream delivers to an output. Values are fixed: they are the codes
/// the outputs dispatch on.
enum class StreamOutputType : int {
    Screen = 0,
    Audio = 1,
    Microphone = 2,
};

/// Per-frame status, as the value of the frame-info "Status" attachment.
enum class FrameStatus : std::int64_t {
    Complete = 0, // new content since the previous frame
    Idle = 1, // nothing changed
    Blank = 2,
    Suspended = 3,
    Started = 4,
    Stopped = 5,
};

/// Keys of the frame-info attachments of a video sample buffer.
namespace frame_info {
inline constexpr char kStatus[] = "Status"; // integer, a FrameStatus
inline constexpr char kContentRect[] = "ContentRect"; // dictionary X, Y, Width, Height (frame pixels)
inline constexpr char kContentScale[] = "ContentScale"; // float: frame pixels per content pixel
inline constexpr char kScaleFactor[] = "ScaleFactor"; // float: device pixels per point of the content
/// Integer: when the frame reached this process, in nanoseconds of the host clock that stamps frames
/// and sound; on complete frames of backends whose frames arrive on their own (the screen-cast
/// stream). Where it is missing the presentation time stamp was taken when the frame was fetched,
/// and stands for it.
inline constexpr char kArrivalTime[] = "ArrivalTime";
} // namespace frame_info

using AttachmentDictionary = std::map<std::string, double>;
using AttachmentValue = std::variant<std::int64_t, double, std::string, AttachmentDictionary>;
using Attachments = std::map<std::string, AttachmentValue>;

/// A video frame's attachments: its own, or a list shared read-only by the
/// frames that carry the same (every idle frame of a source says the same, and
/// so do its complete frames of one size), which passes from frame to frame
/// without a copy. Reading never copies; changing a shared list makes a copy
/// of it this frame's own first, so no frame ever changes another's.
class AttachmentList {
public:
    using List = std::vector<Attachments>;

    AttachmentList() = default;
    AttachmentList(std::nullopt_t) { }
    AttachmentList(List own)
        : m_own(std::move(own))
    {
    }
    /// A list shared with other frames (none when `list` is null).
    static AttachmentList shared(std::shared_ptr<const List> list)
    {
        AttachmentList result;
        result.m_shared = std::move(list);
        return result;
    }

    bool has_value() const { return m_own.has_value() || m_shared != nullptr; }
    explicit operator bool() const { return has_value(); }
    void reset()
    {
        m_own.reset();
        m_shared.reset();
    }
    const List& operator*() const { return m_shared ? *m_shared : *m_own; }
    const List* operator->() const { return &**this; }
    List& operator*()
    {
        if (m_shared)
            m_own = *std::exchange(m_shared, nullptr);
        return *m_own;
    }
    List* operator->() { return &**this; }

private:
    std::optional<List> m_own;
    std::shared_ptr<const List> m_shared;
};

/// The dictionary form of a rectangle: keys "X", "Y", "Width", "Height".
AttachmentDictionary rectDictionary(const media::Rect& rect);
/// The rectangle back from its dictionary form; none when the value is not a
/// dictionary or lacks a key.
std::optional<media::Rect> rectFromDictionary(const AttachmentValue& value);

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
    AttachmentList sampleAttachments;
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
    /// A BGRA frame with zeroed pixels, its surface sharing the image buffer's
    /// storage, attachments for a complete frame whose content fills it.
    static SampleBuffer videoFrame(int width, int height, const media::MediaTime& time, Pixels pixels = Pixels::Zeroed);
    /// The same frame with the given attachments (a shared list costs no copy).
    static SampleBuffer videoFrame(
        int width, int height, const media::MediaTime& time, Pixels pixels, AttachmentList attachments);
    /// Audio with the given planar samples (all channels of one length).
    static SampleBuffer audio(
        double sampleRate, std::vector<std::vector<float>> channels, const media::MediaTime& time);
};

} // namespace corvex::screencapture

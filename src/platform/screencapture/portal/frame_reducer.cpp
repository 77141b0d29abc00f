#include "platform/screencapture/portal/frame_reducer.h"

#include "platform/media/image_scaler.h"

#include <spa/buffer/meta.h>
#include <spa/debug/types.h>
#include <spa/param/video/type-info.h>

#include <algorithm>
#include <string>

namespace corvex::screencapture::portal {

namespace {

/// The producer's times are taken for the stream only when one of its first
/// frames' is this fresh: an older one is not the time the picture was made (a
/// stale first buffer of a still screen), or is not on our clock at all.
constexpr std::int64_t kFreshPictureTime = 1'000'000'000;
/// Frames with old picture times before the arrivals are taken for the stream.
constexpr int kMostStaleFrames = 3;
constexpr int kMaxSide = 16384;

const char* formatName(std::uint32_t format)
{
    const char* name = spa_debug_type_find_short_name(spa_type_video_format, format);
    return name != nullptr ? name : "unknown";
}

bool isRgbOrder(std::uint32_t format)
{
    return format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_RGBA;
}

bool hasAlpha(std::uint32_t format)
{
    return format == SPA_VIDEO_FORMAT_BGRA || format == SPA_VIDEO_FORMAT_RGBA;
}

} // namespace

bool isReadableFormat(std::uint32_t format)
{
    return format == SPA_VIDEO_FORMAT_BGRx || format == SPA_VIDEO_FORMAT_BGRA || format == SPA_VIDEO_FORMAT_RGBx
        || format == SPA_VIDEO_FORMAT_RGBA;
}

std::optional<std::int64_t> FrameClock::stamp(std::int64_t pictureTime, std::int64_t arrival)
{
    const bool onOurClock = pictureTime > 0 && pictureTime <= arrival;
    const bool fresh = onOurClock && arrival - pictureTime < kFreshPictureTime;
    if (m_choice == Choice::Undecided) {
        // A first picture time that is old says only that the screen was still
        // before: the next frames tell whether the producer's times are ours.
        if (fresh)
            m_choice = Choice::Producer;
        else if (!onOurClock || ++m_staleFrames >= kMostStaleFrames)
            m_choice = Choice::Arrival;
    }
    std::int64_t stamp = arrival; // also for a stale first frame, whose picture was there by then
    if (m_choice == Choice::Producer) {
        // A frame without a fresh time of its own is placed by the least lag
        // seen: the latest its picture can have been made, never before it was.
        if (fresh)
            m_leastLag = std::min(m_leastLag.value_or(arrival - pictureTime), arrival - pictureTime);
        stamp = fresh ? pictureTime : arrival - *m_leastLag;
    }
    if (m_last && stamp < *m_last) {
        ++m_leftOut;
        return std::nullopt;
    }
    m_last = stamp;
    return stamp;
}

Result<void, CaptureError> FrameReducer::setFormat(const spa_video_info_raw& raw)
{
    if (!isReadableFormat(raw.format))
        return Result<void, CaptureError>::failure({ CaptureError::InvalidParameter,
            std::string("The desktop offers the screen in the pixel format ") + formatName(raw.format)
                + ", which Corvex Studio cannot read (it reads BGRx, BGRA, RGBx and RGBA), so screen capture "
                  "stopped." });
    const auto width = static_cast<int>(raw.size.width);
    const auto height = static_cast<int>(raw.size.height);
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide)
        return Result<void, CaptureError>::failure({ CaptureError::InvalidParameter,
            "The desktop's screen stream has no usable size (" + std::to_string(raw.size.width) + " x "
                + std::to_string(raw.size.height) + "), so screen capture stopped. Restart screen capture." });
    if (hasFormat() && (raw.size.width != m_format.size.width || raw.size.height != m_format.size.height))
        // What was recorded so far stays; the stream height that follows the
        // aspect ratio was set up for the old size, so the author restarts.
        return Result<void, CaptureError>::failure({ CaptureError::ContentUnavailable,
            "The shared screen changed its size from " + std::to_string(m_format.size.width) + " x "
                + std::to_string(m_format.size.height) + " to " + std::to_string(width) + " x " + std::to_string(height)
                + ", so screen capture stopped. Restart screen capture." });
    m_format = raw;
    const int configured = m_configuration.width;
    m_targetWidth = configured > 0 ? std::min(configured, kMaxSide) : width;
    m_targetHeight = configured > 0
        ? static_cast<int>(std::clamp<std::int64_t>(std::int64_t(height) * m_targetWidth / width, 1, kMaxSide))
        : height;
    m_info = FrameInfo::filling(m_targetWidth, m_targetHeight, double(m_targetWidth) / double(width));
    return Result<void, CaptureError>::success();
}

FrameReducer::Reduced FrameReducer::reduce(const spa_buffer& buffer, std::int64_t arrival)
{
    const auto* header = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
    if (header != nullptr && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0)
        return Reduced::success(std::nullopt);
    if (buffer.n_datas < 1 || !hasFormat())
        return Reduced::success(std::nullopt);
    const spa_data& plane = buffer.datas[0];
    if (plane.data == nullptr || plane.chunk == nullptr || plane.chunk->size == 0)
        return Reduced::success(std::nullopt);
    const auto width = static_cast<int>(m_format.size.width);
    const auto height = static_cast<int>(m_format.size.height);
    const std::size_t rowBytes = std::size_t(width) * 4;
    const std::size_t stride = plane.chunk->stride > 0 ? std::size_t(plane.chunk->stride) : rowBytes;
    const std::size_t offset = plane.chunk->offset;
    if (plane.chunk->stride < 0 || stride < rowBytes)
        return Reduced::failure({ CaptureError::InvalidParameter,
            "The desktop's screen stream sent rows of " + std::to_string(stride) + " bytes for a width of "
                + std::to_string(width)
                + " pixels, which cannot hold them, so screen capture stopped. Restart screen capture." });
    const std::size_t needed = offset + stride * std::size_t(height - 1) + rowBytes;
    if (needed > plane.maxsize)
        return Reduced::failure({ CaptureError::InvalidParameter,
            "The desktop's screen stream sent a frame of " + std::to_string(plane.maxsize) + " bytes where "
                + std::to_string(width) + " x " + std::to_string(height) + " pixels need " + std::to_string(needed)
                + ", so screen capture stopped. Restart screen capture." });

    const std::optional<std::int64_t> stamp = m_clock.stamp(header != nullptr ? header->pts : 0, arrival);
    if (!stamp)
        return Reduced::success(std::nullopt);
    FrameInfo info = m_info;
    if (const spa_meta* damage = spa_buffer_find_meta(&buffer, SPA_META_VideoDamage);
        damage != nullptr && damage->size >= sizeof(spa_meta_region)) {
        // An empty first region ends the list at once: nothing changed.
        const auto* first = static_cast<const spa_meta_region*>(damage->data);
        if (first->region.size.width == 0 || first->region.size.height == 0)
            info.status = FrameStatus::Idle;
    }
    // An idle frame never leaves the queue as colours: only a complete one says when it came.
    if (info.status == FrameStatus::Complete)
        info.arrivalTime = arrival;
    // The scaler writes every pixel of the small frame: zeroing it first would be a pass for nothing.
    SampleBuffer sample = SampleBuffer::videoFrame(m_targetWidth, m_targetHeight,
        media::MediaTime::fromNanoseconds(*stamp), SampleBuffer::Pixels::Uninitialised, info);
    std::uint8_t* destination = sample.imageBuffer->baseAddress();
    const std::size_t destinationRow = sample.imageBuffer->bytesPerRow();
    const media::ScaleStatus scaled
        = media::scaleArgb8888({ static_cast<const std::uint8_t*>(plane.data) + offset, height, width, stride },
            { destination, m_targetHeight, m_targetWidth, destinationRow });
    if (scaled != media::ScaleStatus::Success)
        return Reduced::failure({ CaptureError::Internal,
            "A shared screen frame could not be reduced (status " + std::to_string(int(scaled)) + ")." });
    // The scaler treats channels alike; only the small frame is put in BGRA order.
    const bool swap = isRgbOrder(m_format.format);
    const bool opaque = !hasAlpha(m_format.format);
    if (swap || opaque) {
        for (int y = 0; y < m_targetHeight; ++y) {
            std::uint8_t* pixel = destination + std::size_t(y) * destinationRow;
            for (int x = 0; x < m_targetWidth; ++x, pixel += 4) {
                if (swap)
                    std::swap(pixel[0], pixel[2]);
                if (opaque)
                    pixel[3] = 0xff;
            }
        }
    }
    return Reduced::success(std::move(sample));
}

} // namespace corvex::screencapture::portal

#pragma once

#include "platform/media/pixel_buffer.h"
#include "platform/media/rect.h"

#include <memory>
#include <optional>

namespace corvex::analysis {

/// A region of a frame in whole pixels.
struct PixelRegion {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    friend bool operator==(const PixelRegion&, const PixelRegion&) = default;
};

/// The pixels of a width × height frame that a crop rectangle (fractions of the
/// frame, origin top left) selects: each of x, y, width and height scaled to
/// pixels and truncated toward zero. No crop selects the whole frame. A
/// rectangle reaching outside the frame, or with values that are not finite,
/// is first clamped to the frame; none when nothing of the frame is left.
std::optional<PixelRegion> cropRegion(int frameWidth, int frameHeight, const std::optional<media::Rect>& crop);

/// A new pixel buffer of the given size and format; prints the status and
/// returns null when it cannot be created.
std::shared_ptr<media::PixelBuffer> createPixelBuffer(int width, int height, media::PixelFormat format);

/// Crops the source to the region of `crop` and scales that region into a new
/// width × height buffer of the source's format (area average). Null when no
/// destination can be made or the crop leaves nothing of the frame: the caller
/// drops the frame. A failure to lock or address the pixels is printed and the
/// destination is returned unwritten.
std::shared_ptr<media::PixelBuffer> resizePixelBuffer(
    media::PixelBuffer& source, int width, int height, const std::optional<media::Rect>& crop);

} // namespace corvex::analysis

#include "analysis/pixel_buffer_resize.h"

#include "analysis/analysis_log.h"
#include "platform/media/image_scaler.h"

#include <algorithm>
#include <cmath>

namespace corvex::analysis {

namespace {

const char* describe(media::PixelBufferStatus status)
{
    return status == media::PixelBufferStatus::AllocationFailed ? "out of memory" : "not a size a buffer can have";
}

const char* describe(media::ScaleStatus status)
{
    switch (status) {
    case media::ScaleStatus::NullBuffer:
        return "an image without pixels";
    case media::ScaleStatus::RowBytesTooSmall:
        return "rows shorter than their pixels";
    default:
        return "an empty image";
    }
}

struct Span {
    double origin;
    double length;
};

// Clamps one axis of a crop rectangle to 0..1. A span already inside is kept
// bit for bit, so that its pixel arithmetic is exactly that of a valid crop.
std::optional<Span> clampSpan(double origin, double length)
{
    if (length < 0) { // a rectangle with a negative size covers origin + length .. origin
        origin += length;
        length = -length;
    }
    if (std::isfinite(origin) && std::isfinite(length)) {
        if (origin < 0) {
            length += origin;
            origin = 0;
        }
        if (origin + length > 1)
            length = 1 - origin;
    } else {
        // Unknown edges fall back to the frame's own edges.
        const double end = origin + length;
        const double first = std::isnan(origin) ? 0.0 : std::clamp(origin, 0.0, 1.0);
        const double last = std::isnan(end) ? 1.0 : std::clamp(end, 0.0, 1.0);
        origin = first;
        length = last - first;
    }
    if (!(length > 0) || !(origin < 1))
        return std::nullopt;
    return Span { origin, length };
}

std::optional<std::pair<int, int>> toPixels(const Span& span, int size)
{
    const auto start = static_cast<int>(std::trunc(span.origin * size));
    const int length = std::min(static_cast<int>(std::trunc(span.length * size)), size - start);
    if (start < 0 || start >= size || length <= 0)
        return std::nullopt;
    return std::pair { start, length };
}

} // namespace

std::optional<PixelRegion> cropRegion(int frameWidth, int frameHeight, const std::optional<media::Rect>& crop)
{
    if (frameWidth <= 0 || frameHeight <= 0)
        return std::nullopt;
    if (!crop)
        return PixelRegion { 0, 0, frameWidth, frameHeight };
    const auto horizontal = clampSpan(crop->x, crop->width);
    const auto vertical = clampSpan(crop->y, crop->height);
    if (!horizontal || !vertical)
        return std::nullopt;
    const auto columns = toPixels(*horizontal, frameWidth);
    const auto rows = toPixels(*vertical, frameHeight);
    if (!columns || !rows)
        return std::nullopt;
    return PixelRegion { columns->first, rows->first, columns->second, rows->second };
}

std::shared_ptr<media::PixelBuffer> createPixelBuffer(int width, int height, media::PixelFormat format)
{
    auto [buffer, status] = media::PixelBuffer::create(width, height, format);
    if (status != media::PixelBufferStatus::Success) {
        qCWarning(lcAnalysis, "Could not create a %d x %d pixel buffer: %s", width, height, describe(status));
        return nullptr;
    }
    return buffer;
}

std::shared_ptr<media::PixelBuffer> resizePixelBuffer(
    media::PixelBuffer& source, int width, int height, const std::optional<media::Rect>& crop)
{
    const std::optional<PixelRegion> region = cropRegion(source.width(), source.height(), crop);
    if (!region)
        return nullptr;

    std::shared_ptr<media::PixelBuffer> destination = createPixelBuffer(width, height, source.format());
    if (!destination)
        return nullptr;

    const std::uint8_t* sourceBase = source.baseAddress();
    std::uint8_t* destinationBase = destination->baseAddress();
    const media::ConstImageView from { sourceBase + static_cast<std::size_t>(region->y) * source.bytesPerRow()
            + static_cast<std::size_t>(region->x) * 4,
        region->height, region->width, source.bytesPerRow() };
    const media::ImageView to { destinationBase, height, width, destination->bytesPerRow() };
    if (const media::ScaleStatus status = media::scaleArgb8888(from, to); status != media::ScaleStatus::Success)
        qCWarning(lcAnalysis, "Could not scale the image: %s", describe(status));
    return destination;
}

} // namespace corvex::analysis

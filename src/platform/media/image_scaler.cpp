#include "platform/media/image_scaler.h"

#include <algorithm>
#include <array>
#include <vector>

namespace corvex::media {

namespace {

using Sums = std::array<std::uint64_t, 4>;

// Adds the channels of `count` consecutive pixels into sums. Sixteen 16-bit
// lanes (four pixels) are summed per step and folded into the 64-bit totals
// before they can overflow (256 steps × 255 < 65536).
inline void addRun(const std::uint8_t* pixels, std::size_t count, Sums& sums)
{
    std::size_t done = 0;
    while (count - done >= 4) {
        const std::size_t steps = std::min<std::size_t>((count - done) / 4, 256);
        std::uint16_t lanes[16] = {};
        const std::uint8_t* p = pixels + 4 * done;
        for (std::size_t s = 0; s < steps; ++s, p += 16) {
            for (int k = 0; k < 16; ++k)
                lanes[k] = static_cast<std::uint16_t>(lanes[k] + p[k]);
        }
        for (int k = 0; k < 16; ++k)
            sums[static_cast<std::size_t>(k & 3)] += lanes[k];
        done += steps * 4;
    }
    for (; done < count; ++done) {
        for (std::size_t c = 0; c < 4; ++c)
            sums[c] += pixels[4 * done + c];
    }
}

// How the pixels of one source line map onto one destination cell, in units of
// 1/destinationSize of a source pixel: cells are srcSize units wide, pixels
// dstSize units wide, so every boundary is an integer.
struct Span {
    std::size_t firstFull = 0; // first source pixel wholly inside the cell
    std::size_t fullCount = 0; // pixels wholly inside
    std::size_t head = 0; // pixel cut by the leading edge, weight headWeight
    std::uint64_t headWeight = 0;
    std::size_t tail = 0; // pixel cut by the trailing edge, weight tailWeight
    std::uint64_t tailWeight = 0;
};

Span spanOf(std::uint64_t cell, std::uint64_t srcSize, std::uint64_t dstSize)
{
    const std::uint64_t begin = cell * srcSize; // in units
    const std::uint64_t end = (cell + 1) * srcSize;
    const std::uint64_t firstPixel = begin / dstSize; // pixel holding the leading edge
    const std::uint64_t lastPixel = (end - 1) / dstSize;
    Span span;
    if (firstPixel == lastPixel) {
        // The whole cell lies inside one source pixel (enlarging).
        span.head = firstPixel;
        span.headWeight = end - begin;
        return span;
    }
    const std::uint64_t headEnd = (firstPixel + 1) * dstSize;
    const std::uint64_t tailBegin = lastPixel * dstSize;
    std::uint64_t fullBegin = firstPixel;
    if (begin % dstSize != 0) {
        span.head = firstPixel;
        span.headWeight = headEnd - begin;
        fullBegin = firstPixel + 1;
    }
    std::uint64_t fullEnd = lastPixel + 1;
    if (end % dstSize != 0) {
        span.tail = lastPixel;
        span.tailWeight = end - tailBegin;
        fullEnd = lastPixel;
    }
    span.firstFull = fullBegin;
    span.fullCount = fullEnd > fullBegin ? fullEnd - fullBegin : 0;
    return span;
}

} // namespace

ScaleStatus scaleArgb8888(const ConstImageView& source, const ImageView& destination)
{
    if (source.data == nullptr || destination.data == nullptr)
        return ScaleStatus::NullBuffer;
    if (source.width <= 0 || source.height <= 0 || destination.width <= 0 || destination.height <= 0)
        return ScaleStatus::InvalidSize;
    if (source.rowBytes < static_cast<std::size_t>(source.width) * 4
        || destination.rowBytes < static_cast<std::size_t>(destination.width) * 4)
        return ScaleStatus::RowBytesTooSmall;

    const auto srcW = static_cast<std::uint64_t>(source.width);
    const auto srcH = static_cast<std::uint64_t>(source.height);
    const auto dstW = static_cast<std::uint64_t>(destination.width);
    const auto dstH = static_cast<std::uint64_t>(destination.height);

    std::vector<Span> columns(dstW);
    for (std::uint64_t x = 0; x < dstW; ++x)
        columns[x] = spanOf(x, srcW, dstW);

    // A cell's total weight: srcW × srcH units, each pixel dstW × dstH units.
    const std::uint64_t total = srcW * srcH;
    std::vector<Sums> cells(dstW);

    for (std::uint64_t y = 0; y < dstH; ++y) {
        std::fill(cells.begin(), cells.end(), Sums {});
        const Span rows = spanOf(y, srcH, dstH);

        auto addLine = [&](std::uint64_t line, std::uint64_t lineWeight) {
            const std::uint8_t* row = source.data + line * source.rowBytes;
            for (std::uint64_t x = 0; x < dstW; ++x) {
                const Span& c = columns[x];
                Sums inner {};
                addRun(row + 4 * c.firstFull, c.fullCount, inner);
                for (std::size_t k = 0; k < 4; ++k) {
                    std::uint64_t h = inner[k] * dstW;
                    if (c.headWeight != 0)
                        h += c.headWeight * row[4 * c.head + k];
                    if (c.tailWeight != 0)
                        h += c.tailWeight * row[4 * c.tail + k];
                    cells[x][k] += h * lineWeight;
                }
            }
        };

        if (rows.headWeight != 0)
            addLine(rows.head, rows.headWeight);
        for (std::uint64_t line = rows.firstFull; line < rows.firstFull + rows.fullCount; ++line)
            addLine(line, dstH);
        if (rows.tailWeight != 0)
            addLine(rows.tail, rows.tailWeight);

        std::uint8_t* out = destination.data + y * destination.rowBytes;
        for (std::uint64_t x = 0; x < dstW; ++x) {
            for (std::size_t k = 0; k < 4; ++k) {
                const std::uint64_t mean = (cells[x][k] + total / 2) / total;
                out[4 * x + k] = static_cast<std::uint8_t>(std::min<std::uint64_t>(mean, 255));
            }
        }
    }
    return ScaleStatus::Success;
}

} // namespace corvex::media

#include "platform/screencapture/x11/covered_pixels.h"

#include <algorithm>
#include <vector>

namespace corvex::screencapture::x11 {

namespace {

// Below this alpha too little of a pixel was visible to trust its colour (the
// division that restores it magnifies the rounding of the server's passes).
constexpr int kMinimumVisible = 32;

struct Overlap {
    int index;
    long long weight;
};

// For each of `to` cells along one side, the `from` cells it covers and by how
// much, in units of 1 / (from × to) of the side: exact integers.
std::vector<std::vector<Overlap>> overlaps(int from, int to)
{
    std::vector<std::vector<Overlap>> cells(static_cast<std::size_t>(to));
    for (int cell = 0; cell < to; ++cell) {
        // The cell spans [cell × from, (cell + 1) × from); source pixel i spans [i × to, (i + 1) × to).
        const long long begin = static_cast<long long>(cell) * from, end = begin + from;
        for (long long i = begin / to; i * to < end && i < from; ++i) {
            const long long weight = std::min(end, (i + 1) * to) - std::max(begin, i * to);
            if (weight > 0)
                cells[static_cast<std::size_t>(cell)].push_back({ static_cast<int>(i), weight });
        }
    }
    return cells;
}

} // namespace

void averageVisible(const media::ConstImageView& source, const media::ImageView& frame)
{
    if (source.width <= 0 || source.height <= 0 || frame.width <= 0 || frame.height <= 0)
        return;
    const std::vector<std::vector<Overlap>> columns = overlaps(source.width, frame.width);
    const std::vector<std::vector<Overlap>> rows = overlaps(source.height, frame.height);
    for (int y = 0; y < frame.height; ++y) {
        std::uint8_t* out = frame.data + static_cast<std::size_t>(y) * frame.rowBytes;
        for (int x = 0; x < frame.width; ++x) {
            // Sums of at most source width × source height × 255 × 255: far inside 64 bits.
            long long area = 0, visible = 0, colour[3] = { 0, 0, 0 };
            for (const Overlap& row : rows[static_cast<std::size_t>(y)]) {
                const std::uint8_t* line = source.data + static_cast<std::size_t>(row.index) * source.rowBytes;
                for (const Overlap& column : columns[static_cast<std::size_t>(x)]) {
                    const std::uint8_t* p = line + 4 * static_cast<std::size_t>(column.index);
                    const long long weight = row.weight * column.weight;
                    area += weight;
                    visible += weight * p[3];
                    for (int c = 0; c < 3; ++c)
                        colour[c] += weight * p[c];
                }
            }
            std::uint8_t* pixel = out + 4 * static_cast<std::size_t>(x);
            for (int c = 0; c < 3; ++c)
                pixel[c] = visible > 0
                    ? static_cast<std::uint8_t>(std::min(255LL, (2 * 255 * colour[c] + visible) / (2 * visible)))
                    : 0;
            pixel[3] = static_cast<std::uint8_t>((2 * visible + area) / (2 * area));
        }
    }
}

std::vector<std::uint8_t> revealCoveredPixels(std::uint8_t* bgra, int width, int height, std::size_t bytesPerRow)
{
    if (width <= 0 || height <= 0)
        return {};
    auto pixel = [&](int x, int y) { return bgra + static_cast<std::size_t>(y) * bytesPerRow + 4 * std::size_t(x); };
    // Nothing left out here (the usual frame): nothing to do.
    bool allVisible = true;
    for (int y = 0; y < height && allVisible; ++y)
        for (int x = 0; x < width && allVisible; ++x)
            allVisible = pixel(x, y)[3] == 255;
    if (allVisible)
        return {};
    const std::size_t count = std::size_t(width) * std::size_t(height);
    std::vector<std::uint8_t> known(count, 0);
    std::size_t holes = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = pixel(x, y);
            const int alpha = p[3];
            if (alpha < kMinimumVisible) {
                ++holes;
                continue;
            }
            p[3] = 255;
            known[std::size_t(y) * std::size_t(width) + std::size_t(x)] = 1;
        }
    if (holes == 0)
        return {}; // partly seen pixels keep the colour of what was seen
    std::vector<std::uint8_t> guessed(count);
    for (std::size_t i = 0; i < count; ++i)
        guessed[i] = known[i] ? 0 : 1;
    if (holes == count) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                std::uint8_t* p = pixel(x, y);
                p[0] = p[1] = p[2] = 0;
                p[3] = 255;
            }
        return guessed;
    }
    // Grow the known pixels into the holes, one ring a round: every round fills
    // at least the holes next to a known pixel, so this ends.
    std::vector<std::uint8_t> next = known;
    while (holes > 0) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                if (known[std::size_t(y) * std::size_t(width) + std::size_t(x)])
                    continue;
                int sum[3] = { 0, 0, 0 };
                int neighbours = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int nx = x + dx, ny = y + dy;
                        if (nx < 0 || ny < 0 || nx >= width || ny >= height
                            || !known[std::size_t(ny) * std::size_t(width) + std::size_t(nx)])
                            continue;
                        const std::uint8_t* n = pixel(nx, ny);
                        for (int c = 0; c < 3; ++c)
                            sum[c] += n[c];
                        ++neighbours;
                    }
                if (neighbours == 0)
                    continue;
                std::uint8_t* p = pixel(x, y);
                for (int c = 0; c < 3; ++c)
                    p[c] = static_cast<std::uint8_t>((sum[c] + neighbours / 2) / neighbours);
                p[3] = 255;
                next[std::size_t(y) * std::size_t(width) + std::size_t(x)] = 1;
                --holes;
            }
        known = next;
    }
    return guessed;
}

} // namespace corvex::screencapture::x11

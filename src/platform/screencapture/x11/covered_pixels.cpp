#include "platform/screencapture/x11/covered_pixels.h"

#include <algorithm>
#include <vector>

namespace corvex::screencapture::x11 {

namespace {

// Below this alpha too little of a pixel was visible to trust its colour (the
// division that restores it would magnify the rounding of the averages).
constexpr int kMinimumVisible = 32;

} // namespace

void revealCoveredPixels(std::uint8_t* bgra, int width, int height, std::size_t bytesPerRow)
{
    if (width <= 0 || height <= 0)
        return;
    auto pixel = [&](int x, int y) { return bgra + static_cast<std::size_t>(y) * bytesPerRow + 4 * std::size_t(x); };
    // Nothing left out here (the usual frame): nothing to do.
    bool allVisible = true;
    for (int y = 0; y < height && allVisible; ++y)
        for (int x = 0; x < width && allVisible; ++x)
            allVisible = pixel(x, y)[3] == 255;
    if (allVisible)
        return;
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
            if (alpha < 255)
                for (int c = 0; c < 3; ++c)
                    p[c] = static_cast<std::uint8_t>(std::min(255, (p[c] * 255 + alpha / 2) / alpha));
            p[3] = 255;
            known[std::size_t(y) * std::size_t(width) + std::size_t(x)] = 1;
        }
    if (holes == count) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                std::uint8_t* p = pixel(x, y);
                p[0] = p[1] = p[2] = 0;
                p[3] = 255;
            }
        return;
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
}

} // namespace corvex::screencapture::x11

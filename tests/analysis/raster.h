#pragma once

#include "platform/media/pixel_buffer.h"

#include <QtGlobal>

#include <functional>
#include <memory>

namespace corvex::test {

struct Bgr {
    std::uint8_t b;
    std::uint8_t g;
    std::uint8_t r;
};

/// A BGRA buffer of the given size and row padding whose pixel (column, row) is colourOf(column, row).
inline std::shared_ptr<media::PixelBuffer> makeRaster(
    int width, int height, const std::function<Bgr(int, int)>& colourOf, std::size_t padding = 0)
{
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4 + padding;
    std::shared_ptr<std::uint8_t> pixels(
        new std::uint8_t[rowBytes * static_cast<std::size_t>(height)], std::default_delete<std::uint8_t[]>());
    std::fill_n(pixels.get(), rowBytes * static_cast<std::size_t>(height), std::uint8_t(0x5A));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const Bgr c = colourOf(x, y);
            std::uint8_t* p = pixels.get() + static_cast<std::size_t>(y) * rowBytes + 4 * static_cast<std::size_t>(x);
            p[0] = c.b;
            p[1] = c.g;
            p[2] = c.r;
            p[3] = 0xFF;
        }
    return media::PixelBuffer::wrap(width, height, rowBytes, media::PixelFormat::BGRA, std::move(pixels));
}

/// A 5 × 5 buffer of one grey.
inline std::shared_ptr<media::PixelBuffer> grey(std::uint8_t value)
{
    return makeRaster(5, 5, [=](int, int) { return Bgr { value, value, value }; });
}

} // namespace corvex::test

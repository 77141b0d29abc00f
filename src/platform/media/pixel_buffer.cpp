#include "platform/media/pixel_buffer.h"

#include <cstring>
#include <new>

namespace corvex::media {

namespace {

constexpr int kMaxDimension = 1 << 15;
constexpr std::size_t kRowAlignment = 64;

} // namespace

std::string pixelFormatName(PixelFormat format)
{
    const auto code = static_cast<std::uint32_t>(format);
    std::string name(4, ' ');
    for (int i = 0; i < 4; ++i)
        name[static_cast<std::size_t>(i)] = static_cast<char>((code >> (24 - 8 * i)) & 0xff);
    return name;
}

PixelBuffer::PixelBuffer(
    int width, int height, std::size_t bytesPerRow, PixelFormat format, std::shared_ptr<std::uint8_t> pixels)
    : m_width(width)
    , m_height(height)
    , m_bytesPerRow(bytesPerRow)
    , m_format(format)
    , m_pixels(std::move(pixels))
{
}

PixelBuffer::CreateResult PixelBuffer::create(int width, int height, PixelFormat format)
{
    if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension)
        return { nullptr, PixelBufferStatus::InvalidArgument };
    const std::size_t rowBytes
        = (static_cast<std::size_t>(width) * 4 + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
    const std::size_t size = rowBytes * static_cast<std::size_t>(height);
    std::shared_ptr<std::uint8_t> pixels(
        new (std::nothrow) std::uint8_t[size](), std::default_delete<std::uint8_t[]>());
    if (!pixels)
        return { nullptr, PixelBufferStatus::AllocationFailed };
    return { std::shared_ptr<PixelBuffer>(new PixelBuffer(width, height, rowBytes, format, std::move(pixels))),
        PixelBufferStatus::Success };
}

std::shared_ptr<PixelBuffer> PixelBuffer::wrap(
    int width, int height, std::size_t bytesPerRow, PixelFormat format, std::shared_ptr<std::uint8_t> pixels)
{
    if (!pixels || width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension
        || bytesPerRow < static_cast<std::size_t>(width) * 4)
        return nullptr;
    return std::shared_ptr<PixelBuffer>(new PixelBuffer(width, height, bytesPerRow, format, std::move(pixels)));
}

} // namespace corvex::media

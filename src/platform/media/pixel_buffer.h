#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace corvex::media {

constexpr std::uint32_t fourCharCode(char a, char b, char c, char d)
{
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(a)) << 24)
        | (static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 16)
        | (static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 8)
        | static_cast<std::uint32_t>(static_cast<unsigned char>(d));
}

/// Pixel layouts by their four-character codes. Capture delivers BGRA:
/// bytes blue, green, red, alpha in memory.
enum class PixelFormat : std::uint32_t {
    BGRA = fourCharCode('B', 'G', 'R', 'A'),
    ARGB = fourCharCode('A', 'R', 'G', 'B'),
};

std::string pixelFormatName(PixelFormat format);

/// How a pixel-buffer operation ended.
enum class PixelBufferStatus : std::int32_t {
    Success,
    InvalidArgument, // a width or height of zero, below zero or too large
    AllocationFailed, // no memory for the pixels
};

/// A frame of four-byte pixels. Rows are bytesPerRow() bytes apart, which may be
/// more than 4 × width. The storage is shared: a buffer may wrap memory that
/// belongs to someone else (a capture surface), kept alive by the shared owner.
class PixelBuffer final {
public:
    struct CreateResult {
        std::shared_ptr<PixelBuffer> buffer;
        PixelBufferStatus status = PixelBufferStatus::Success;
    };

    /// Allocates a zero-filled buffer whose rows are padded to 64 bytes.
    static CreateResult create(int width, int height, PixelFormat format);
    /// Wraps existing pixels. Returns null when the geometry does not fit.
    static std::shared_ptr<PixelBuffer> wrap(
        int width, int height, std::size_t bytesPerRow, PixelFormat format, std::shared_ptr<std::uint8_t> pixels);

    int width() const { return m_width; }
    int height() const { return m_height; }
    std::size_t bytesPerRow() const { return m_bytesPerRow; }
    PixelFormat format() const { return m_format; }

    /// The first byte of row 0 (never null: both ways of making a buffer need pixels).
    std::uint8_t* baseAddress() const { return m_pixels.get(); }

private:
    PixelBuffer(
        int width, int height, std::size_t bytesPerRow, PixelFormat format, std::shared_ptr<std::uint8_t> pixels);

    int m_width;
    int m_height;
    std::size_t m_bytesPerRow;
    PixelFormat m_format;
    std::shared_ptr<std::uint8_t> m_pixels;
};

} // namespace corvex::media

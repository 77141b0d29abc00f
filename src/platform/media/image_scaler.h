#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvex::media {

/// A view of four-byte pixels: rows are rowBytes apart from data.
struct ImageView {
    std::uint8_t* data = nullptr;
    int height = 0;
    int width = 0;
    std::size_t rowBytes = 0;
};

struct ConstImageView {
    const std::uint8_t* data = nullptr;
    int height = 0;
    int width = 0;
    std::size_t rowBytes = 0;
};

enum class ScaleStatus : int {
    Success,
    NullBuffer, // the source or the destination has no pixels
    InvalidSize, // a width or height of zero or below
    RowBytesTooSmall, // a row holds fewer bytes than its pixels need
};

/// Resamples four 8-bit channels per pixel from source to destination with an
/// area-averaging (box) filter: every destination pixel is the mean of the
/// source area it covers, source pixels cut by an edge of that area weighted
/// by the part that lies inside. Each channel is treated alike, so the byte
/// order of the pixels does not matter. Exact integer weights, rounded to nearest.
///
/// Reads every covered source byte once; the inner loop is written so the
/// compiler vectorises it and the whole scale runs at memory speed.
ScaleStatus scaleArgb8888(const ConstImageView& source, const ImageView& destination);

/// The instructions the scaler's hot loops are written in. Every path gives
/// the same bytes; the best one the processor has is used unless asked otherwise.
enum class ScalerPath : int {
    Portable = 0, // 16-byte vectors, which every x86-64 and ARM64 processor has
    Avx2 = 1, // 256-bit registers
    Avx512 = 2, // 512-bit registers, twice as many
};
ScalerPath bestScalerPath();
/// The paths this processor can run, the portable one first.
std::vector<ScalerPath> availableScalerPaths();
/// The same scale on the given path (one the processor lacks gives way to the best it has).
ScaleStatus scaleArgb8888(const ConstImageView& source, const ImageView& destination, ScalerPath path);

} // namespace corvex::media

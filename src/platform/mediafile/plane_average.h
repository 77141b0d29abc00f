#pragma once

#include <cstdint>
#include <vector>

namespace corvex::mediafile {

/// Averages each factorX × factorY block of an 8-bit plane into one sample,
/// rounded to nearest; columns and rows beyond the last whole block (fewer
/// than a block) are left out. Reads every sample once, in row order, with
/// loops the compiler vectorises: far cheaper than a general scaler on a
/// full-size picture. `rowSums` is scratch space, kept between calls.
/// factorY is at most 257 (the column sums are 16-bit), factorX at most
/// kMaxBlockWidth (block sums stay below 2^31); other factors do nothing.
inline constexpr int kMaxBlockWidth = 16384;

void boxAverage(const std::uint8_t* source, int sourceStride, int width, int height, int factorX, int factorY,
    std::uint8_t* destination, int destinationStride, std::vector<std::uint16_t>& rowSums);

/// Converts a planar 4:4:4 8-bit YUV picture to BGRA (alpha 255), with a
/// colour table as libswscale gives it (crv, cbu, cgu, cgv in 16.16 fixed
/// point, for limited-range sources) and the source's range. For the small
/// pictures the reader hands out: the general scaler spends far longer on a
/// conversion without any scaling in it.
void yuv444ToBgra(const std::uint8_t* const planes[3], const int strides[3], int width, int height,
    const int coefficients[4], bool fullRange, std::uint8_t* destination, int destinationStride);

} // namespace corvex::mediafile

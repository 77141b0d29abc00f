// The scaler's first pass over a row of cells: every source column summed down
// the row's lines, by the widest SIMD path the processor has. Internal to the
// scaler.
#pragma once

#include "platform/media/image_scaler.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace corvex::media::scaler_detail {

// Source bytes widened into running sums, in vectors of one 16-byte SIMD
// register, which every x86-64 and ARM64 target has: the compiler turns these
// into SIMD instructions without intrinsics.
using Bytes16 = std::uint8_t __attribute__((vector_size(16)));
using Words8 = std::uint16_t __attribute__((vector_size(16)));
using Words4 = std::uint16_t __attribute__((vector_size(8)));
using Bytes4 = std::uint8_t __attribute__((vector_size(4)));
using Longs4 = std::uint32_t __attribute__((vector_size(16)));
// A 16-bit lane's low byte is the one that comes first in memory.
static_assert(std::endian::native == std::endian::little);

template <typename Vector, typename T> Vector load(const T* from)
{
    Vector v;
    std::memcpy(&v, from, sizeof v);
    return v;
}
template <typename Vector, typename T> void store(T* to, const Vector& v)
{
    std::memcpy(to, &v, sizeof v);
}

// The narrow cells' work, per row of cells: every source column's bytes summed
// down the row's lines, whole lines weighing dstH and the two lines cut by the
// row's edges their part inside, in 32-bit lanes in pixel order. The frame is
// walked in strips of 16 pixels (64 bytes) across, so that a strip's sums stay
// in registers over all the whole lines of the row and go to memory once,
// rather than being loaded and stored for every line.
//
// A strip's sums in registers are kept per 16-bit lane, as the sum of the
// lane's words and the sum of their high bytes (channels 1 and 3, shifted
// down): the low bytes' sum (channels 0 and 2) is the first less 256 times the
// second, modulo 2^16, which it is less than. A shift and two additions a
// register of pixels, one instruction fewer than masking the low bytes off,
// and none of the shuffles that widening bytes in order needs.
// Interleaving the two halves lane by lane puts them back in pixel order, once
// per row of cells.
constexpr std::size_t kStripPixels = 16;
constexpr std::size_t kStripBytes = 4 * kStripPixels;

// 16-bit sums of whole lines hold 257 of them (257 × 255 < 65536); a row of
// cells with more is summed 256 lines at a time.
constexpr std::size_t kLinesPerFold = 256;

/// One pass over a row of cells' lines (or 256 of its whole lines, when it has more).
struct ColumnPass {
    const std::uint8_t* whole = nullptr; // the first whole line
    std::size_t rowBytes = 0;
    std::size_t wholeLines = 0; // at most kLinesPerFold
    std::uint32_t wholeWeight = 0;
    std::size_t cutLines = 0; // lines cut by the row's edges, at most two
    std::array<const std::uint8_t*, 2> cut {};
    std::array<std::uint32_t, 2> cutWeight {};
    bool accumulate = false; // add to what the sums hold (a later pass of a tall row)
    // The next row of cells' lines, from the first byte of the first to the last
    // of the last, asked into the cache a share with each strip, in the order
    // they lie in memory: a walk down the lines is one the processor does not
    // guess by itself.
    const std::uint8_t* ahead = nullptr;
    std::size_t aheadBytes = 0;
    std::size_t strips = 0; // the whole strips of a line, from its start
};

/// out[4p + k] (+)= the pass's sum of channel k of column p, for the pass's
/// strips; the caller sees that the sums fit 32 bits.
using SumStrips = void (*)(std::uint32_t* out, const ColumnPass& pass);

/// What sumStrips does, for the columns from firstPixel to pixels, one by one.
void sumColumns(std::uint32_t* out, const ColumnPass& pass, std::size_t firstPixel, std::size_t pixels);

/// The strip summer for `path`.
SumStrips sumStripsFor(ScalerPath path);

} // namespace corvex::media::scaler_detail

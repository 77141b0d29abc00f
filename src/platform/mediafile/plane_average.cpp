#include "platform/mediafile/plane_average.h"

#include <algorithm>

namespace corvex::mediafile {

namespace {

// Dividing by the block's area once per output sample was most of the cost of
// the whole average (a 1080p picture reduced to 320 × 180 needs 57 600
// divisions a plane). A multiplication by a fixed-point reciprocal gives the
// same quotient: with n < 2^31 and m = ceil(2^(31+L) / d), L = ceil(log2 d),
// (n × m) >> (31 + L) is floor(n / d) for every such n, and n × m < 2^63.
struct Divider {
    std::uint64_t multiplier = 1;
    int shift = 0;

    explicit Divider(std::uint32_t divisor)
    {
        int bits = 0;
        while ((std::uint64_t(1) << bits) < divisor)
            ++bits;
        shift = 31 + bits;
        multiplier = ((std::uint64_t(1) << shift) + divisor - 1) / divisor;
    }

    std::uint32_t divide(std::uint32_t value) const
    {
        return static_cast<std::uint32_t>((std::uint64_t(value) * multiplier) >> shift);
    }
};

// One output row from the column sums: blocks of `factorX` sums each. The
// factor is a constant in the common cases so the compiler unrolls it.
template <int FactorX>
void sumBlocks(
    const std::uint16_t* sums, int outWidth, int factorX, std::uint32_t area, const Divider& divider, std::uint8_t* out)
{
    const int factor = FactorX > 0 ? FactorX : factorX;
    for (int x = 0; x < outWidth; ++x) {
        std::uint32_t sum = 0;
        for (int k = 0; k < factor; ++k)
            sum += sums[x * factor + k];
        out[x] = static_cast<std::uint8_t>(divider.divide(sum + area / 2));
    }
}

} // namespace

// Wider vectors where the processor has them, picked once at load time. Not
// under ThreadSanitizer: it instruments the resolver that picks the clone,
// which the loader runs before the sanitizer is set up.
#if defined(__SANITIZE_THREAD__)
#define CORVEX_VECTOR_CLONES
#else
#define CORVEX_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif
CORVEX_VECTOR_CLONES void boxAverage(const std::uint8_t* source, int sourceStride, int width, int height, int factorX,
    int factorY, std::uint8_t* destination, int destinationStride, std::vector<std::uint16_t>& rowSums)
{
    if (factorX < 1 || factorY < 1 || factorY > 257 || factorX > kMaxBlockWidth)
        return;
    const int outWidth = width / factorX;
    const int outHeight = height / factorY;
    const int usedWidth = outWidth * factorX;
    const auto area = static_cast<std::uint32_t>(factorX * factorY);
    const Divider divider(area);
    rowSums.resize(static_cast<std::size_t>(usedWidth));
    for (int y = 0; y < outHeight; ++y) {
        std::uint16_t* sums = rowSums.data();
        const std::uint8_t* first = source + std::ptrdiff_t(y * factorY) * sourceStride;
        for (int x = 0; x < usedWidth; ++x)
            sums[x] = first[x];
        for (int k = 1; k < factorY; ++k) {
            const std::uint8_t* row = first + std::ptrdiff_t(k) * sourceStride;
            for (int x = 0; x < usedWidth; ++x)
                sums[x] = static_cast<std::uint16_t>(sums[x] + row[x]);
        }
        std::uint8_t* out = destination + std::ptrdiff_t(y) * destinationStride;
        switch (factorX) {
        case 2:
            sumBlocks<2>(sums, outWidth, factorX, area, divider, out);
            break;
        case 3:
            sumBlocks<3>(sums, outWidth, factorX, area, divider, out);
            break;
        case 4:
            sumBlocks<4>(sums, outWidth, factorX, area, divider, out);
            break;
        case 6:
            sumBlocks<6>(sums, outWidth, factorX, area, divider, out);
            break;
        case 12:
            sumBlocks<12>(sums, outWidth, factorX, area, divider, out);
            break;
        default:
            sumBlocks<0>(sums, outWidth, factorX, area, divider, out);
        }
    }
}

CORVEX_VECTOR_CLONES void yuv444ToBgra(const std::uint8_t* const planes[3], const int strides[3], int width, int height,
    const int coefficients[4], bool fullRange, std::uint8_t* destination, int destinationStride)
{
    // Limited range: luma 16..235 stretched to 0..255, the table's chroma
    // factors already include the stretch of 16..240. Full range: no stretch,
    // and the chroma factors lose theirs. All in 16.16 fixed point, in
    // integers the compiler vectorises (floats clamped with branches it does not).
    const int lumaScale = fullRange ? 65536 : (255 * 65536 + 219 / 2) / 219;
    const int lumaOffset = fullRange ? 0 : 16;
    const auto chroma = [fullRange](int coefficient) {
        return fullRange ? static_cast<int>((std::int64_t(coefficient) * 224 + 127) / 255) : coefficient;
    };
    const int vToR = chroma(coefficients[0]);
    const int uToB = chroma(coefficients[1]);
    const int uToG = chroma(coefficients[2]);
    const int vToG = chroma(coefficients[3]);
    const auto channel
        = [](int value) { return static_cast<std::uint32_t>(std::min(std::max((value + 32768) >> 16, 0), 255)); };
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* luma = planes[0] + std::ptrdiff_t(y) * strides[0];
        const std::uint8_t* blue = planes[1] + std::ptrdiff_t(y) * strides[1];
        const std::uint8_t* red = planes[2] + std::ptrdiff_t(y) * strides[2];
        // Whole pixels at a time (B, G, R, A in memory order on this
        // little-endian machine): contiguous 32-bit stores vectorise, four
        // interleaved byte stores do not.
        auto* out = reinterpret_cast<std::uint32_t*>(destination + std::ptrdiff_t(y) * destinationStride);
        for (int x = 0; x < width; ++x) {
            const int l = (int(luma[x]) - lumaOffset) * lumaScale;
            const int u = int(blue[x]) - 128;
            const int v = int(red[x]) - 128;
            out[x] = channel(l + uToB * u) | (channel(l - uToG * u - vToG * v) << 8) | (channel(l + vToR * v) << 16)
                | 0xff000000u;
        }
    }
}

} // namespace corvex::mediafile

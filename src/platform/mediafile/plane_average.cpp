#include "platform/mediafile/plane_average.h"

#include <algorithm>

namespace corvex::mediafile {

namespace {

// One output row from the column sums: blocks of `factorX` sums each. The
// factor is a constant in the common cases so the compiler unrolls it.
template <int FactorX>
void sumBlocks(const std::uint16_t* sums, int outWidth, int factorX, std::uint32_t area, std::uint8_t* out)
{
    const int factor = FactorX > 0 ? FactorX : factorX;
    for (int x = 0; x < outWidth; ++x) {
        std::uint32_t sum = 0;
        for (int k = 0; k < factor; ++k)
            sum += sums[x * factor + k];
        out[x] = static_cast<std::uint8_t>((sum + area / 2) / area);
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
    if (factorX < 1 || factorY < 1 || factorY > 257)
        return;
    const int outWidth = width / factorX;
    const int outHeight = height / factorY;
    const int usedWidth = outWidth * factorX;
    const auto area = static_cast<std::uint32_t>(factorX * factorY);
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
            sumBlocks<2>(sums, outWidth, factorX, area, out);
            break;
        case 4:
            sumBlocks<4>(sums, outWidth, factorX, area, out);
            break;
        case 6:
            sumBlocks<6>(sums, outWidth, factorX, area, out);
            break;
        case 12:
            sumBlocks<12>(sums, outWidth, factorX, area, out);
            break;
        default:
            sumBlocks<0>(sums, outWidth, factorX, area, out);
        }
    }
}

} // namespace corvex::mediafile

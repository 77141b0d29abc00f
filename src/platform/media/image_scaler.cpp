#include "platform/media/image_scaler.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace corvex::media {

namespace {

using Sums = std::array<std::uint64_t, 4>;

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

// 16-bit sums of whole lines hold 257 of them (257 × 255 < 65536) before they
// are folded into 32-bit ones; 256 keeps it simple.
constexpr std::size_t kLinesPerFold = 256;
// The two lines cut by a cell row's edges, weighted, fit 16-bit sums when their
// weights together stay under this (and they do whenever the destination is at
// most 128 lines high).
constexpr std::uint64_t kMostEdgeWeight = 257;

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

// Sums of whole lines, per source byte, kept in groups of 16 pixels: 32 lanes
// of channels 0 and 2 (pixel by pixel), then 32 lanes of channels 1 and 3.
// That order comes straight out of a register of pixels: masking each 16-bit
// lane's high byte off gives channels 0 and 2, shifting it down gives 1 and 3,
// with none of the shuffles that widening bytes in order needs.
constexpr std::size_t kGroupPixels = 16;
constexpr std::size_t kGroupLanes = 4 * kGroupPixels;

constexpr std::size_t laneOf(std::size_t pixel, std::size_t channel)
{
    return pixel / kGroupPixels * kGroupLanes + (channel & 1) * (kGroupLanes / 2) + pixel % kGroupPixels * 2
        + (channel >> 1);
}

/// sums += the `lines` lines from `first` (rows `rowBytes` apart), whole groups
/// only, `groups` of them; lines plus what the sums hold stay at most 257.
using AddLines = void (*)(
    std::uint16_t* sums, const std::uint8_t* first, std::size_t rowBytes, std::size_t lines, std::size_t groups);
/// sums += weight × line, whole groups only; weight × 255 plus what the sums hold stays below 65536.
using AddWeightedLine
    = void (*)(std::uint16_t* sums, const std::uint8_t* line, std::uint16_t weight, std::size_t groups);

void addLinesPortable(
    std::uint16_t* sums, const std::uint8_t* first, std::size_t rowBytes, std::size_t lines, std::size_t groups)
{
    const Words8 low = Words8 {} + 0xff;
    for (; lines > 0; --lines, first += rowBytes) {
        std::uint16_t* group = sums;
        for (std::size_t g = 0; g < groups; ++g, group += kGroupLanes)
            for (std::size_t q = 0; q < 4; ++q) {
                const Words8 words = load<Words8>(first + g * kGroupLanes + 16 * q);
                store(group + 8 * q, load<Words8>(group + 8 * q) + (words & low));
                store(group + 32 + 8 * q, load<Words8>(group + 32 + 8 * q) + (words >> 8));
            }
    }
}

void addWeightedLinePortable(std::uint16_t* sums, const std::uint8_t* line, std::uint16_t weight, std::size_t groups)
{
    const Words8 low = Words8 {} + 0xff;
    for (std::size_t g = 0; g < groups; ++g, sums += kGroupLanes, line += kGroupLanes)
        for (std::size_t q = 0; q < 4; ++q) {
            const Words8 words = load<Words8>(line + 16 * q);
            store(sums + 8 * q, load<Words8>(sums + 8 * q) + (words & low) * weight);
            store(sums + 32 + 8 * q, load<Words8>(sums + 32 + 8 * q) + (words >> 8) * weight);
        }
}

#if defined(__x86_64__)
// The same with 256-bit registers: two per group.
[[gnu::target("avx2")]] void addLinesAvx2(
    std::uint16_t* sums, const std::uint8_t* first, std::size_t rowBytes, std::size_t lines, std::size_t groups)
{
    const __m256i low = _mm256_set1_epi16(0xff);
    for (; lines > 0; --lines, first += rowBytes) {
        std::uint16_t* group = sums;
        for (std::size_t g = 0; g < groups; ++g, group += kGroupLanes)
            for (std::size_t q = 0; q < 2; ++q) {
                const __m256i words
                    = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first + g * kGroupLanes + 32 * q));
                auto* even = reinterpret_cast<__m256i*>(group + 16 * q);
                auto* odd = reinterpret_cast<__m256i*>(group + 32 + 16 * q);
                _mm256_storeu_si256(even, _mm256_add_epi16(_mm256_loadu_si256(even), _mm256_and_si256(words, low)));
                _mm256_storeu_si256(odd, _mm256_add_epi16(_mm256_loadu_si256(odd), _mm256_srli_epi16(words, 8)));
            }
    }
}

[[gnu::target("avx2")]] void addWeightedLineAvx2(
    std::uint16_t* sums, const std::uint8_t* line, std::uint16_t weight, std::size_t groups)
{
    const __m256i low = _mm256_set1_epi16(0xff);
    const __m256i factor = _mm256_set1_epi16(static_cast<short>(weight));
    for (std::size_t g = 0; g < groups; ++g, sums += kGroupLanes, line += kGroupLanes)
        for (std::size_t q = 0; q < 2; ++q) {
            const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line + 32 * q));
            auto* evenSums = reinterpret_cast<__m256i*>(sums + 16 * q);
            auto* oddSums = reinterpret_cast<__m256i*>(sums + 32 + 16 * q);
            _mm256_storeu_si256(evenSums,
                _mm256_add_epi16(
                    _mm256_loadu_si256(evenSums), _mm256_mullo_epi16(_mm256_and_si256(words, low), factor)));
            _mm256_storeu_si256(oddSums,
                _mm256_add_epi16(_mm256_loadu_si256(oddSums), _mm256_mullo_epi16(_mm256_srli_epi16(words, 8), factor)));
        }
}

#endif

/// The pixels after the last whole group of a line, added to the sums one by one.
template <typename T>
void addLineTail(T* sums, const std::uint8_t* line, std::size_t firstPixel, std::size_t pixels, std::uint64_t weight)
{
    for (std::size_t p = firstPixel; p < pixels; ++p)
        for (std::size_t k = 0; k < 4; ++k)
            sums[laneOf(p, k)] = static_cast<T>(sums[laneOf(p, k)] + weight * line[4 * p + k]);
}

/// wide[i] += narrow[i] and narrow[i] = 0, for `count` lanes.
void fold(std::uint32_t* wide, std::uint16_t* narrow, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        wide[i] += narrow[i];
    std::fill_n(narrow, count, std::uint16_t(0));
}

// Four lanes of 32 or 64 bits.
template <typename T> struct Quad;
template <> struct Quad<std::uint16_t> {
    using Type = Words4;
};
template <> struct Quad<std::uint32_t> {
    using Type = Longs4;
};

/// Four lanes from `from`, widened.
template <typename Lanes, typename T> [[gnu::always_inline]] inline Lanes widen(const T* from)
{
    return __builtin_convertvector(load<typename Quad<T>::Type>(from), Lanes);
}

/// Pixel-ordered sums (four channels per pixel, in 32- or 64-bit lanes) of one
/// row of cells: whole lines' sums × `wholeWeight` plus the cut lines' sums.
template <typename Whole, typename Edge>
[[gnu::always_inline]] inline void combine(
    std::uint32_t* out, const Whole* whole, std::uint64_t wholeWeight, const Edge* edges, std::size_t pixels)
{
    const Longs4 weight = Longs4 {} + std::uint32_t(wholeWeight);
    for (std::size_t g = 0; g * kGroupPixels < pixels; ++g) {
        const std::size_t base = g * kGroupLanes;
        const std::size_t count = std::min(kGroupPixels, pixels - g * kGroupPixels);
        // Two pixels a step: lanes 0 and 2 of each, then 1 and 3.
        for (std::size_t j = 0; j < count; j += 2) {
            const Longs4 even = widen<Longs4>(whole + base + 2 * j) * weight + widen<Longs4>(edges + base + 2 * j);
            const Longs4 odd
                = widen<Longs4>(whole + base + 32 + 2 * j) * weight + widen<Longs4>(edges + base + 32 + 2 * j);
            const Longs4 first = __builtin_shufflevector(even, odd, 0, 4, 1, 5);
            const Longs4 second = __builtin_shufflevector(even, odd, 2, 6, 3, 7);
            std::memcpy(out + 4 * (g * kGroupPixels + j), &first, sizeof first);
            if (j + 1 < count)
                std::memcpy(out + 4 * (g * kGroupPixels + j + 1), &second, sizeof second);
        }
    }
}
template <typename Whole, typename Edge>
void combine(std::uint64_t* out, const Whole* whole, std::uint64_t wholeWeight, const Edge* edges, std::size_t pixels)
{
    for (std::size_t p = 0; p < pixels; ++p)
        for (std::size_t k = 0; k < 4; ++k)
            out[4 * p + k] = std::uint64_t(whole[laneOf(p, k)]) * wholeWeight + edges[laneOf(p, k)];
}

/// The sums of a row of cells whose lines all fit 16 bits, combined (the common case).
using CombineNarrow = void (*)(std::uint32_t* out, const std::uint16_t* whole, std::uint64_t wholeWeight,
    const std::uint16_t* edges, std::size_t pixels);

void combinePortable(std::uint32_t* out, const std::uint16_t* whole, std::uint64_t wholeWeight,
    const std::uint16_t* edges, std::size_t pixels)
{
    combine(out, whole, wholeWeight, edges, pixels);
}
#if defined(__x86_64__)
// The same with 256-bit registers: four pixels' sixteen lanes a step, put in
// pixel order by interleaving them.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i combinedLanesAvx2(
    const std::uint16_t* whole, const std::uint16_t* edges, __m256i weight)
{
    const __m256i w = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(whole)));
    const __m256i e = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(edges)));
    return _mm256_add_epi32(_mm256_mullo_epi32(w, weight), e);
}

[[gnu::target("avx2")]] void combineAvx2(std::uint32_t* out, const std::uint16_t* whole, std::uint64_t wholeWeight,
    const std::uint16_t* edges, std::size_t pixels)
{
    const __m256i weight = _mm256_set1_epi32(static_cast<int>(wholeWeight));
    for (std::size_t g = 0; g * kGroupPixels < pixels; ++g, out += kGroupLanes) {
        const std::size_t base = g * kGroupLanes;
        for (std::size_t q = 0; q < 4; ++q) {
            // Pixels 4q to 4q + 3, channels 0 and 2, then 1 and 3.
            const __m256i even = combinedLanesAvx2(whole + base + 8 * q, edges + base + 8 * q, weight);
            const __m256i odd = combinedLanesAvx2(whole + base + 32 + 8 * q, edges + base + 32 + 8 * q, weight);
            const __m256i low = _mm256_unpacklo_epi32(even, odd); // pixels 4q and 4q + 2
            const __m256i high = _mm256_unpackhi_epi32(even, odd); // pixels 4q + 1 and 4q + 3
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * q), _mm256_permute2x128_si256(low, high, 0x20));
            _mm256_storeu_si256(
                reinterpret_cast<__m256i*>(out + 16 * q + 8), _mm256_permute2x128_si256(low, high, 0x31));
        }
    }
}

#endif

struct LineKernels {
    AddLines addLines;
    AddWeightedLine addWeightedLine;
    CombineNarrow combineNarrow;
};

LineKernels lineKernels(ScalerPath path)
{
#if defined(__x86_64__)
    if (path == ScalerPath::Avx2)
        return { addLinesAvx2, addWeightedLineAvx2, combineAvx2 };
#endif
    (void)path;
    return { addLinesPortable, addWeightedLinePortable, combinePortable };
}

/// Sums of four channels over `pixels` pixels of pixel-ordered sums.
Sums sumPixels(const std::uint32_t* sums, std::size_t pixels)
{
    // Two running totals, so that one addition need not wait for the one before.
    Longs4 a {}, b {};
    std::size_t p = 0;
    for (; p + 2 <= pixels; p += 2, sums += 8) {
        a += load<Longs4>(sums);
        b += load<Longs4>(sums + 4);
    }
    if (p < pixels)
        a += load<Longs4>(sums);
    return { std::uint64_t(a[0]) + b[0], std::uint64_t(a[1]) + b[1], std::uint64_t(a[2]) + b[2],
        std::uint64_t(a[3]) + b[3] };
}
Sums sumPixels(const std::uint64_t* sums, std::size_t pixels)
{
    Sums total {};
    for (std::size_t p = 0; p < pixels; ++p, sums += 4)
        for (std::size_t k = 0; k < 4; ++k)
            total[k] += sums[k];
    return total;
}

/// sum / divisor rounded to nearest, for sums of at most 255 × divisor: a
/// multiplication by the reciprocal and an exact correction, rather than a
/// division for every channel of every cell.
class RoundedQuotient {
public:
    explicit RoundedQuotient(std::uint64_t divisor)
        : m_divisor(divisor)
        , m_reciprocal(1.0 / double(divisor))
        , m_fast(divisor < (std::uint64_t(1) << 40))
    {
    }
    std::uint64_t operator()(std::uint64_t sum) const
    {
        const std::uint64_t n = sum + m_divisor / 2;
        if (!m_fast)
            return n / m_divisor;
        // The quotient is at most 256, so the product errs by less than 2^-44,
        // less than the 1 / divisor by which a quotient below a whole number
        // falls short of it: only a whole quotient can come out one too small.
        const auto q = static_cast<std::uint64_t>(double(n) * m_reciprocal);
        return n - q * m_divisor >= m_divisor ? q + 1 : q;
    }

private:
    std::uint64_t m_divisor;
    double m_reciprocal;
    bool m_fast;
};

// How the pixels of one source line map onto one destination cell, in units of
// 1/destinationSize of a source pixel: cells are srcSize units wide, pixels
// dstSize units wide, so every boundary is an integer.
struct Span {
    std::size_t firstFull = 0; // first source pixel wholly inside the cell
    std::size_t fullCount = 0; // pixels wholly inside
    std::size_t head = 0; // pixel cut by the leading edge, weight headWeight
    std::uint64_t headWeight = 0;
    std::size_t tail = 0; // pixel cut by the trailing edge, weight tailWeight
    std::uint64_t tailWeight = 0;
};

Span spanOf(std::uint64_t cell, std::uint64_t srcSize, std::uint64_t dstSize)
{
    const std::uint64_t begin = cell * srcSize; // in units
    const std::uint64_t end = (cell + 1) * srcSize;
    const std::uint64_t firstPixel = begin / dstSize; // pixel holding the leading edge
    const std::uint64_t lastPixel = (end - 1) / dstSize;
    Span span;
    if (firstPixel == lastPixel) {
        // The whole cell lies inside one source pixel (enlarging).
        span.head = firstPixel;
        span.headWeight = end - begin;
        return span;
    }
    const std::uint64_t headEnd = (firstPixel + 1) * dstSize;
    const std::uint64_t tailBegin = lastPixel * dstSize;
    std::uint64_t fullBegin = firstPixel;
    if (begin % dstSize != 0) {
        span.head = firstPixel;
        span.headWeight = headEnd - begin;
        fullBegin = firstPixel + 1;
    }
    std::uint64_t fullEnd = lastPixel + 1;
    if (end % dstSize != 0) {
        span.tail = lastPixel;
        span.tailWeight = end - tailBegin;
        fullEnd = lastPixel;
    }
    span.firstFull = fullBegin;
    span.fullCount = fullEnd > fullBegin ? fullEnd - fullBegin : 0;
    return span;
}

/// Each cell's columns of one cell row's pixel-ordered sums, weighted: whole
/// columns dstW, cut ones their part inside.
template <typename T>
void addColumns(const std::vector<Span>& columns, const T* sums, std::uint64_t dstW, std::vector<Sums>& cells)
{
    for (std::size_t x = 0; x < columns.size(); ++x) {
        const Span& c = columns[x];
        const Sums interior = sumPixels(sums + 4 * c.firstFull, c.fullCount);
        for (std::size_t k = 0; k < 4; ++k) {
            std::uint64_t cell = interior[k] * dstW;
            if (c.headWeight != 0)
                cell += c.headWeight * sums[4 * c.head + k];
            if (c.tailWeight != 0)
                cell += c.tailWeight * sums[4 * c.tail + k];
            cells[x][k] += cell;
        }
    }
}

// Cells many pixels wide (a frame scaled to a few pixels for analysis): each
// cell's pixels of a line summed in registers, eight pixels a step, rather than
// down the columns, which for so few cells costs more than the sums.
typedef std::uint16_t Lanes16 __attribute__((vector_size(32)));

// Adds `steps` times eight pixels' bytes to the two sets of lanes (pixels 0-3
// and 4-7 of each eight).
void sumBlocks(std::uint16_t* first, std::uint16_t* second, const std::uint8_t* pixels, std::size_t steps);

#if defined(__x86_64__)
// The same with 256-bit registers, where the processor has them: sixteen lanes
// widened and added by one instruction each.
[[gnu::target("avx2")]] void sumBlocksWide(
    std::uint16_t* first, std::uint16_t* second, const std::uint8_t* pixels, std::size_t steps)
{
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(second));
    for (std::size_t s = 0; s < steps; ++s, pixels += 32) {
        a = _mm256_add_epi16(a, _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels))));
        b = _mm256_add_epi16(b, _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 16))));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(first), a);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(second), b);
}

#endif

using SumBlocks = void (*)(std::uint16_t*, std::uint16_t*, const std::uint8_t*, std::size_t);
SumBlocks sumBlocksFor(ScalerPath path)
{
#if defined(__x86_64__)
    if (path != ScalerPath::Portable)
        return sumBlocksWide;
#endif
    (void)path;
    return sumBlocks;
}

// Adds four pixels' bytes to the lanes.
[[gnu::always_inline]] inline void addWidened(Lanes16& lanes, const std::uint8_t* pixels)
{
    Bytes16 bytes;
    std::memcpy(&bytes, pixels, sizeof bytes);
    lanes += __builtin_convertvector(bytes, Lanes16);
}

void sumBlocks(std::uint16_t* first, std::uint16_t* second, const std::uint8_t* pixels, std::size_t steps)
{
    Lanes16 a, b;
    std::memcpy(&a, first, sizeof a);
    std::memcpy(&b, second, sizeof b);
    for (std::size_t s = 0; s < steps; ++s, pixels += 32) {
        addWidened(a, pixels);
        addWidened(b, pixels + 16);
    }
    std::memcpy(first, &a, sizeof a);
    std::memcpy(second, &b, sizeof b);
}

// Sums of one destination cell's pixels that lie wholly inside it, kept in
// 16-bit lanes (eight pixels per step, four in the first lanes when fewer are
// left) across the source lines of the cell, and folded into 64-bit totals
// before a lane can overflow (256 steps × 255 < 65536). (Kept as plain arrays:
// a vector member would ask more alignment of the containers than they give.)
struct Accumulator {
    std::uint16_t first[16] = {};
    std::uint16_t second[16] = {};
    std::size_t steps = 0;
    Sums totals {};

    void fold()
    {
        for (std::size_t k = 0; k < 16; ++k)
            totals[k & 3] += std::uint64_t(first[k]) + std::uint64_t(second[k]);
        std::fill(std::begin(first), std::end(first), std::uint16_t(0));
        std::fill(std::begin(second), std::end(second), std::uint16_t(0));
        steps = 0;
    }

    void add(SumBlocks sumBlocks, const std::uint8_t* pixels, std::size_t count)
    {
        std::size_t blocks = count / 8;
        while (blocks > 0) {
            if (steps == 256)
                fold();
            const std::size_t take = std::min(blocks, 256 - steps);
            sumBlocks(first, second, pixels, take);
            pixels += 32 * take;
            steps += take;
            blocks -= take;
        }
        if (count % 8 >= 4) {
            if (steps == 256)
                fold();
            Lanes16 a;
            std::memcpy(&a, first, sizeof a);
            addWidened(a, pixels);
            std::memcpy(first, &a, sizeof a);
            ++steps;
            pixels += 16;
        }
        for (std::size_t i = 0; i < count % 4; ++i) {
            for (std::size_t c = 0; c < 4; ++c)
                totals[c] += pixels[4 * i + c];
        }
    }

    Sums take()
    {
        fold();
        const Sums result = totals;
        totals = {};
        return result;
    }
};

// What one thread's scales of wide cells reuse from call to call rather than allocate anew.
struct WideWorkspace {
    std::vector<Span> columns;
    std::vector<Sums> cells;
    std::vector<Accumulator> inner;
};

void scaleWideCells(
    const ConstImageView& source, const ImageView& destination, SumBlocks sumBlocks, WideWorkspace& workspace)
{
    const auto srcW = static_cast<std::uint64_t>(source.width);
    const auto srcH = static_cast<std::uint64_t>(source.height);
    const auto dstW = static_cast<std::uint64_t>(destination.width);
    const auto dstH = static_cast<std::uint64_t>(destination.height);

    std::vector<Span>& columns = workspace.columns;
    columns.resize(dstW);
    for (std::uint64_t x = 0; x < dstW; ++x)
        columns[x] = spanOf(x, srcW, dstW);

    // A cell's total weight: srcW × srcH units, each pixel dstW × dstH units.
    const std::uint64_t total = srcW * srcH;
    const RoundedQuotient mean(total);
    std::vector<Sums>& cells = workspace.cells;
    cells.resize(dstW);
    std::vector<Accumulator>& inner = workspace.inner;
    inner.assign(dstW, Accumulator {});
    // Only part of each line read (a crop): the next line's part is fetched
    // ahead, which the processor does not guess across the gap.
    const bool gaps = source.rowBytes > srcW * 4;

    // The pixels of one line that only partly belong to the cell, weighted.
    auto edgeSums = [&](const std::uint8_t* row, const Span& c, std::size_t k) {
        std::uint64_t sum = 0;
        if (c.headWeight != 0)
            sum += c.headWeight * row[4 * c.head + k];
        if (c.tailWeight != 0)
            sum += c.tailWeight * row[4 * c.tail + k];
        return sum;
    };

    for (std::uint64_t y = 0; y < dstH; ++y) {
        std::fill(cells.begin(), cells.end(), Sums {});
        const Span rows = spanOf(y, srcH, dstH);

        // Lines cut by the cell's top or bottom edge count with their part inside.
        auto addPartialLine = [&](std::uint64_t line, std::uint64_t lineWeight) {
            const std::uint8_t* row = source.data + line * source.rowBytes;
            for (std::uint64_t x = 0; x < dstW; ++x) {
                const Span& c = columns[x];
                Accumulator run;
                run.add(sumBlocks, row + 4 * c.firstFull, c.fullCount);
                const Sums interior = run.take();
                for (std::size_t k = 0; k < 4; ++k)
                    cells[x][k] += (interior[k] * dstW + edgeSums(row, c, k)) * lineWeight;
            }
        };

        if (rows.headWeight != 0)
            addPartialLine(rows.head, rows.headWeight);
        if (rows.tailWeight != 0)
            addPartialLine(rows.tail, rows.tailWeight);

        // Lines wholly inside: the hot loop, one pass over the memory in order.
        for (std::uint64_t line = rows.firstFull; line < rows.firstFull + rows.fullCount; ++line) {
            const std::uint8_t* row = source.data + line * source.rowBytes;
            if (gaps && line + 1 < srcH)
                for (std::size_t offset = 0; offset < srcW * 4; offset += 64)
                    __builtin_prefetch(row + source.rowBytes + offset);
            for (std::uint64_t x = 0; x < dstW; ++x) {
                const Span& c = columns[x];
                inner[x].add(sumBlocks, row + 4 * c.firstFull, c.fullCount);
                for (std::size_t k = 0; k < 4; ++k)
                    cells[x][k] += edgeSums(row, c, k) * dstH;
            }
        }
        for (std::uint64_t x = 0; x < dstW; ++x) {
            const Sums interior = inner[x].take();
            for (std::size_t k = 0; k < 4; ++k)
                cells[x][k] += interior[k] * dstW * dstH;
        }

        std::uint8_t* out = destination.data + y * destination.rowBytes;
        for (std::uint64_t x = 0; x < dstW; ++x)
            for (std::size_t k = 0; k < 4; ++k)
                out[4 * x + k] = static_cast<std::uint8_t>(std::min<std::uint64_t>(mean(cells[x][k]), 255));
    }
}

// What one thread's scales of narrow cells reuse from call to call rather than allocate anew.
struct NarrowWorkspace {
    std::vector<Span> columns;
    std::vector<Sums> cells;
    std::vector<std::uint16_t> whole; // grouped, see laneOf
    std::vector<std::uint32_t> wholeWide; // when a row of cells has more whole lines than 16 bits hold
    std::vector<std::uint16_t> edges;
    std::vector<std::uint32_t> edgesWide; // when the cut lines' weights are too large for 16 bits
    std::vector<std::uint32_t> combined; // pixel-ordered
    std::vector<std::uint64_t> combinedWide; // for sources so tall that 32 bits do not hold a cell's sums
};

// For each row of cells: every source column's bytes summed down the lines of
// the row, whole lines (the bulk) and the two lines cut by its edges apart;
// then each cell's columns summed, weighted by the part of them inside it.
// Whole lines weigh dstH, cut ones their part inside.
void scaleNarrowCells(
    const ConstImageView& source, const ImageView& destination, LineKernels kernels, NarrowWorkspace& workspace)
{
    const auto srcW = static_cast<std::uint64_t>(source.width);
    const auto srcH = static_cast<std::uint64_t>(source.height);
    const auto dstW = static_cast<std::uint64_t>(destination.width);
    const auto dstH = static_cast<std::uint64_t>(destination.height);

    std::vector<Span>& columns = workspace.columns;
    columns.resize(dstW);
    for (std::uint64_t x = 0; x < dstW; ++x)
        columns[x] = spanOf(x, srcW, dstW);

    // A cell's total weight: srcW × srcH units, each pixel dstW × dstH units.
    const std::uint64_t total = srcW * srcH;
    const RoundedQuotient mean(total);
    const std::size_t groups = srcW / kGroupPixels; // whole groups, for the SIMD kernels
    const std::size_t tailPixel = groups * kGroupPixels;
    const std::size_t lanes = (srcW + kGroupPixels - 1) / kGroupPixels * kGroupLanes;
    // A column's sum over a row of cells is at most 255 × srcH; 32-bit lanes
    // hold a cell's worth of them (the widest cell spans srcW / dstW + 1 columns).
    const bool narrowTotals = srcW / dstW + 1 <= 0xffffffffu / 255 / srcH;
    std::vector<Sums>& cells = workspace.cells;
    cells.resize(dstW);
    workspace.whole.resize(lanes);
    workspace.edges.resize(lanes);
    if (narrowTotals)
        workspace.combined.resize(lanes); // whole groups, which the SIMD kernels write
    else
        workspace.combinedWide.resize(srcW * 4 + 4);
    auto line = [&](std::uint64_t index) { return source.data + index * source.rowBytes; };

    for (std::uint64_t y = 0; y < dstH; ++y) {
        std::fill(cells.begin(), cells.end(), Sums {});
        const Span rows = spanOf(y, srcH, dstH);

        // The lines cut by the row's top and bottom edges, with their part inside.
        const bool edgesFit = rows.headWeight + rows.tailWeight <= kMostEdgeWeight;
        std::fill(workspace.edges.begin(), workspace.edges.end(), std::uint16_t(0));
        if (!edgesFit)
            workspace.edgesWide.assign(lanes, 0);
        for (const auto& [index, weight] :
            { std::pair { rows.head, rows.headWeight }, std::pair { rows.tail, rows.tailWeight } }) {
            if (weight == 0)
                continue;
            if (edgesFit) {
                kernels.addWeightedLine(
                    workspace.edges.data(), line(index), static_cast<std::uint16_t>(weight), groups);
                addLineTail(workspace.edges.data(), line(index), tailPixel, srcW, weight);
            } else {
                addLineTail(workspace.edgesWide.data(), line(index), 0, srcW, weight);
            }
        }

        // Lines wholly inside.
        std::fill(workspace.whole.begin(), workspace.whole.end(), std::uint16_t(0));
        const bool wholeFit = rows.fullCount <= kLinesPerFold;
        if (!wholeFit)
            workspace.wholeWide.assign(lanes, 0);
        for (std::uint64_t n = 0; n < rows.fullCount; n += kLinesPerFold) {
            const std::size_t take = std::min<std::uint64_t>(kLinesPerFold, rows.fullCount - n);
            const std::uint64_t first = rows.firstFull + n;
            kernels.addLines(workspace.whole.data(), line(first), source.rowBytes, take, groups);
            if (tailPixel < srcW)
                for (std::uint64_t l = first; l < first + take; ++l)
                    addLineTail(workspace.whole.data(), line(l), tailPixel, srcW, 1);
            if (!wholeFit)
                fold(workspace.wholeWide.data(), workspace.whole.data(), lanes);
        }

        auto sumCells = [&](const auto* whole, const auto* edges) {
            if (narrowTotals) {
                combine(workspace.combined.data(), whole, dstH, edges, srcW);
                addColumns(columns, workspace.combined.data(), dstW, cells);
            } else {
                combine(workspace.combinedWide.data(), whole, dstH, edges, srcW);
                addColumns(columns, workspace.combinedWide.data(), dstW, cells);
            }
        };
        if (wholeFit && edgesFit && narrowTotals) {
            kernels.combineNarrow(
                workspace.combined.data(), workspace.whole.data(), dstH, workspace.edges.data(), srcW);
            addColumns(columns, workspace.combined.data(), dstW, cells);
        } else if (wholeFit && edgesFit)
            sumCells(workspace.whole.data(), workspace.edges.data());
        else if (wholeFit)
            sumCells(workspace.whole.data(), workspace.edgesWide.data());
        else if (edgesFit)
            sumCells(workspace.wholeWide.data(), workspace.edges.data());
        else
            sumCells(workspace.wholeWide.data(), workspace.edgesWide.data());

        std::uint8_t* out = destination.data + y * destination.rowBytes;
        for (std::uint64_t x = 0; x < dstW; ++x)
            for (std::size_t k = 0; k < 4; ++k)
                out[4 * x + k] = static_cast<std::uint8_t>(std::min<std::uint64_t>(mean(cells[x][k]), 255));
    }
}

} // namespace

ScalerPath bestScalerPath()
{
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2"))
        return ScalerPath::Avx2;
#endif
    return ScalerPath::Portable;
}

std::vector<ScalerPath> availableScalerPaths()
{
    std::vector<ScalerPath> paths { ScalerPath::Portable };
    if (bestScalerPath() != ScalerPath::Portable)
        paths.push_back(ScalerPath::Avx2);
    return paths;
}

ScaleStatus scaleArgb8888(const ConstImageView& source, const ImageView& destination)
{
    static const ScalerPath best = bestScalerPath();
    return scaleArgb8888(source, destination, best);
}

ScaleStatus scaleArgb8888(const ConstImageView& source, const ImageView& destination, ScalerPath path)
{
    // A path the processor cannot run would stop the program; the best it has stands in.
    static const ScalerPath best = bestScalerPath();
    if (static_cast<int>(path) > static_cast<int>(best))
        path = best;
    if (source.data == nullptr || destination.data == nullptr)
        return ScaleStatus::NullBuffer;
    if (source.width <= 0 || source.height <= 0 || destination.width <= 0 || destination.height <= 0)
        return ScaleStatus::InvalidSize;
    if (source.rowBytes < static_cast<std::size_t>(source.width) * 4
        || destination.rowBytes < static_cast<std::size_t>(destination.width) * 4)
        return ScaleStatus::RowBytesTooSmall;
    // Cells at least this many source pixels wide: summed along the lines, in registers.
    constexpr int kWideCell = 64;
    if (source.width >= kWideCell * destination.width) {
        thread_local WideWorkspace workspace;
        scaleWideCells(source, destination, sumBlocksFor(path), workspace);
        return ScaleStatus::Success;
    }

    thread_local NarrowWorkspace workspace;
    scaleNarrowCells(source, destination, lineKernels(path), workspace);
    return ScaleStatus::Success;
}

} // namespace corvex::media

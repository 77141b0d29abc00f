#include "platform/media/image_scaler.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace corvex::media {

namespace {

using Sums = std::array<std::uint64_t, 4>;

// Sixteen bytes (four pixels), and sixteen 16-bit lanes: the compiler's own
// vectors, which it maps onto whatever registers the processor has.
typedef std::uint8_t Bytes16 __attribute__((vector_size(16)));
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

using SumBlocks = void (*)(std::uint16_t*, std::uint16_t*, const std::uint8_t*, std::size_t);
const SumBlocks kSumBlocks = __builtin_cpu_supports("avx2") ? sumBlocksWide : sumBlocks;
#else
constexpr auto kSumBlocks = sumBlocks;
#endif

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

    void add(const std::uint8_t* pixels, std::size_t count)
    {
        std::size_t blocks = count / 8;
        while (blocks > 0) {
            if (steps == 256)
                fold();
            const std::size_t take = std::min(blocks, 256 - steps);
            kSumBlocks(first, second, pixels, take);
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

// What one thread's scales reuse from call to call rather than allocate anew.
struct Workspace {
    std::vector<Span> columns;
    std::vector<Sums> cells;
    std::vector<Accumulator> inner;
    std::vector<std::uint16_t> lineSums; // of whole lines, per byte of a line
    std::vector<std::uint32_t> columnSums; // weighted, per byte of a line
};

#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define CORVEX_WIDE_VARIANT [[gnu::target_clones("avx2", "default")]]
#else
#define CORVEX_WIDE_VARIANT
#endif

// The two loops of scaleNarrow that touch every byte: simple enough for the
// compiler to vectorise, compiled for 256-bit registers too.
typedef std::uint8_t Bytes8 __attribute__((vector_size(8)));
typedef std::uint16_t Shorts8 __attribute__((vector_size(16)));
typedef std::uint32_t Words8 __attribute__((vector_size(32)));
typedef std::uint32_t Words4 __attribute__((vector_size(16)));

// (Written with the compiler's vectors: at -O2 it would not vectorise the plain loops.)
CORVEX_WIDE_VARIANT void addLine(std::uint16_t* sums, const std::uint8_t* line, std::size_t bytes)
{
    std::size_t i = 0;
    for (; i + 16 <= bytes; i += 16) {
        Bytes16 values;
        Lanes16 lanes;
        std::memcpy(&values, line + i, sizeof values);
        std::memcpy(&lanes, sums + i, sizeof lanes);
        lanes += __builtin_convertvector(values, Lanes16);
        std::memcpy(sums + i, &lanes, sizeof lanes);
    }
    for (; i < bytes; ++i)
        sums[i] = static_cast<std::uint16_t>(sums[i] + line[i]);
}

// Four lines at once: a quarter of the trips through the sums (a lane still
// gains at most 255 a line).
void addFourLines(std::uint16_t* sums, const std::uint8_t* const* lines, std::size_t bytes)
{
    const std::uint8_t *l0 = lines[0], *l1 = lines[1], *l2 = lines[2], *l3 = lines[3];
    std::size_t i = 0;
    for (; i + 16 <= bytes; i += 16) {
        Lanes16 lanes;
        std::memcpy(&lanes, sums + i, sizeof lanes);
        Bytes16 a, b, c, d;
        std::memcpy(&a, l0 + i, sizeof a);
        std::memcpy(&b, l1 + i, sizeof b);
        std::memcpy(&c, l2 + i, sizeof c);
        std::memcpy(&d, l3 + i, sizeof d);
        lanes += __builtin_convertvector(a, Lanes16) + __builtin_convertvector(b, Lanes16)
            + __builtin_convertvector(c, Lanes16) + __builtin_convertvector(d, Lanes16);
        std::memcpy(sums + i, &lanes, sizeof lanes);
    }
    for (; i < bytes; ++i)
        sums[i] = static_cast<std::uint16_t>(sums[i] + l0[i] + l1[i] + l2[i] + l3[i]);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void addFourLinesWide(std::uint16_t* sums, const std::uint8_t* const* lines, std::size_t bytes)
{
    const std::uint8_t *l0 = lines[0], *l1 = lines[1], *l2 = lines[2], *l3 = lines[3];
#define CORVEX_WIDENED(p) _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))
    std::size_t i = 0;
    for (; i + 16 <= bytes; i += 16) {
        __m256i* target = reinterpret_cast<__m256i*>(sums + i);
        const __m256i pairA = _mm256_add_epi16(CORVEX_WIDENED(l0 + i), CORVEX_WIDENED(l1 + i));
        const __m256i pairB = _mm256_add_epi16(CORVEX_WIDENED(l2 + i), CORVEX_WIDENED(l3 + i));
        _mm256_storeu_si256(target, _mm256_add_epi16(_mm256_loadu_si256(target), _mm256_add_epi16(pairA, pairB)));
    }
#undef CORVEX_WIDENED
    for (; i < bytes; ++i)
        sums[i] = static_cast<std::uint16_t>(sums[i] + l0[i] + l1[i] + l2[i] + l3[i]);
}
using AddFourLines = void (*)(std::uint16_t*, const std::uint8_t* const*, std::size_t);
const AddFourLines kAddFourLines = __builtin_cpu_supports("avx2") ? addFourLinesWide : addFourLines;
#else
constexpr auto kAddFourLines = addFourLines;
#endif

CORVEX_WIDE_VARIANT void addWeighted(
    std::uint32_t* sums, const std::uint16_t* values, std::uint32_t weight, std::size_t bytes)
{
    std::size_t i = 0;
    for (; i + 8 <= bytes; i += 8) {
        Shorts8 shorts;
        Words8 words;
        std::memcpy(&shorts, values + i, sizeof shorts);
        std::memcpy(&words, sums + i, sizeof words);
        words += __builtin_convertvector(shorts, Words8) * weight;
        std::memcpy(sums + i, &words, sizeof words);
    }
    for (; i < bytes; ++i)
        sums[i] += weight * values[i];
}

CORVEX_WIDE_VARIANT void addWeightedLine(
    std::uint32_t* sums, const std::uint8_t* line, std::uint32_t weight, std::size_t bytes)
{
    std::size_t i = 0;
    for (; i + 8 <= bytes; i += 8) {
        Bytes8 values;
        Words8 words;
        std::memcpy(&values, line + i, sizeof values);
        std::memcpy(&words, sums + i, sizeof words);
        words += __builtin_convertvector(values, Words8) * weight;
        std::memcpy(sums + i, &words, sizeof words);
    }
    for (; i < bytes; ++i)
        sums[i] += weight * line[i];
}

// The same area average for cells a few pixels wide (a frame of a hundred
// pixels from a screen), where the per-cell work of scale() would outweigh
// the sums: first down the columns, every line of a row of cells summed into
// one line of per-column sums (whole lines in 16-bit lanes, then weighted
// into 32 bits), then across that line once per cell. Exactly the same
// weights, so exactly the same result.
void scaleNarrow(const ConstImageView& source, const ImageView& destination, Workspace& workspace)
{
    const auto srcW = static_cast<std::uint64_t>(source.width);
    const auto srcH = static_cast<std::uint64_t>(source.height);
    const auto dstW = static_cast<std::uint64_t>(destination.width);
    const auto dstH = static_cast<std::uint64_t>(destination.height);
    const std::size_t bytes = srcW * 4;
    std::vector<Span>& columns = workspace.columns;
    columns.resize(dstW);
    for (std::uint64_t x = 0; x < dstW; ++x)
        columns[x] = spanOf(x, srcW, dstW);
    std::vector<std::uint16_t>& lineSums = workspace.lineSums;
    std::vector<std::uint32_t>& columnSums = workspace.columnSums;
    lineSums.resize(bytes);
    columnSums.resize(bytes);
    const std::uint64_t total = srcW * srcH;
    const bool gaps = source.rowBytes > bytes;

    for (std::uint64_t y = 0; y < dstH; ++y) {
        const Span rows = spanOf(y, srcH, dstH);
        // Each column's sum over the row of cells, lines weighted by their part inside
        // (at most 255 × srcH units: 32 bits hold it).
        std::fill(columnSums.begin(), columnSums.end(), 0u);
        if (rows.headWeight != 0)
            addWeightedLine(columnSums.data(), source.data + rows.head * source.rowBytes,
                static_cast<std::uint32_t>(rows.headWeight), bytes);
        if (rows.tailWeight != 0)
            addWeightedLine(columnSums.data(), source.data + rows.tail * source.rowBytes,
                static_cast<std::uint32_t>(rows.tailWeight), bytes);
        const std::uint64_t end = rows.firstFull + rows.fullCount;
        for (std::uint64_t line = rows.firstFull; line < end;) {
            // Up to 256 lines in 16-bit lanes (256 × 255 < 65536), then weighted in.
            std::fill(lineSums.begin(), lineSums.end(), std::uint16_t(0));
            const std::uint64_t chunkEnd = std::min(end, line + 256);
            for (; line < chunkEnd;) {
                const std::uint8_t* row = source.data + line * source.rowBytes;
                const std::uint64_t count = chunkEnd - line >= 4 ? 4 : 1;
                if (gaps && line + count < srcH)
                    for (std::uint64_t ahead = count; ahead < 2 * count; ++ahead)
                        for (std::size_t offset = 0; offset < bytes; offset += 64)
                            __builtin_prefetch(row + ahead * source.rowBytes + offset);
                if (count == 4) {
                    const std::uint8_t* lines[4]
                        = { row, row + source.rowBytes, row + 2 * source.rowBytes, row + 3 * source.rowBytes };
                    kAddFourLines(lineSums.data(), lines, bytes);
                } else {
                    addLine(lineSums.data(), row, bytes);
                }
                line += count;
            }
            addWeighted(columnSums.data(), lineSums.data(), static_cast<std::uint32_t>(dstH), bytes);
        }

        std::uint8_t* out = destination.data + y * destination.rowBytes;
        for (std::uint64_t x = 0; x < dstW; ++x) {
            const Span& c = columns[x];
            // Fewer than 64 columns of at most 255 × srcH (< 2^22): 32 bits hold their sum.
            Words4 inside {};
            const std::uint32_t* sums = columnSums.data() + 4 * c.firstFull;
            for (std::size_t p = 0; p < c.fullCount; ++p) {
                Words4 pixel;
                std::memcpy(&pixel, sums + 4 * p, sizeof pixel);
                inside += pixel;
            }
            for (std::size_t k = 0; k < 4; ++k) {
                std::uint64_t cell = std::uint64_t(inside[k]) * dstW;
                if (c.headWeight != 0)
                    cell += c.headWeight * columnSums[4 * c.head + k];
                if (c.tailWeight != 0)
                    cell += c.tailWeight * columnSums[4 * c.tail + k];
                const std::uint64_t mean = (cell + total / 2) / total;
                out[4 * x + k] = static_cast<std::uint8_t>(std::min<std::uint64_t>(mean, 255));
            }
        }
    }
}

void scale(const ConstImageView& source, const ImageView& destination, Workspace& workspace)
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
                run.add(row + 4 * c.firstFull, c.fullCount);
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
                inner[x].add(row + 4 * c.firstFull, c.fullCount);
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
        for (std::uint64_t x = 0; x < dstW; ++x) {
            for (std::size_t k = 0; k < 4; ++k) {
                const std::uint64_t mean = (cells[x][k] + total / 2) / total;
                out[4 * x + k] = static_cast<std::uint8_t>(std::min<std::uint64_t>(mean, 255));
            }
        }
    }
}

} // namespace

ScaleStatus scaleArgb8888(const ConstImageView& source, const ImageView& destination)
{
    if (source.data == nullptr || destination.data == nullptr)
        return ScaleStatus::NullBuffer;
    if (source.width <= 0 || source.height <= 0 || destination.width <= 0 || destination.height <= 0)
        return ScaleStatus::InvalidSize;
    if (source.rowBytes < static_cast<std::size_t>(source.width) * 4
        || destination.rowBytes < static_cast<std::size_t>(destination.width) * 4)
        return ScaleStatus::RowBytesTooSmall;
    thread_local Workspace workspace;
    // Cells narrower than this many source pixels: down the columns first.
    constexpr int kNarrowCell = 64;
    if (source.width < kNarrowCell * destination.width)
        scaleNarrow(source, destination, workspace);
    else
        scale(source, destination, workspace);
    return ScaleStatus::Success;
}

} // namespace corvex::media

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
// Widening interleaves each byte with a zero byte: a 16-bit lane's low byte comes first.
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

Words8 lowHalf(Bytes16 bytes)
{
    const Bytes16 zero {};
    return reinterpret_cast<Words8>(
        __builtin_shufflevector(bytes, zero, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23));
}
Words8 highHalf(Bytes16 bytes)
{
    const Bytes16 zero {};
    return reinterpret_cast<Words8>(
        __builtin_shufflevector(bytes, zero, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31));
}

/// sums[i] += line[i], for `count` bytes: the hot loop, one in-order pass over the line.
void addLine(std::uint16_t* sums, const std::uint8_t* line, std::size_t count)
{
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const Bytes16 bytes = load<Bytes16>(line + i);
        store(sums + i, load<Words8>(sums + i) + lowHalf(bytes));
        store(sums + i + 8, load<Words8>(sums + i + 8) + highHalf(bytes));
    }
    for (; i < count; ++i)
        sums[i] = static_cast<std::uint16_t>(sums[i] + line[i]);
}

/// sums[i] += weight × line[i], for `count` bytes; weight × 255 plus what sums holds stays below 65536.
void addWeightedLine(std::uint16_t* sums, const std::uint8_t* line, std::uint16_t weight, std::size_t count)
{
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const Bytes16 bytes = load<Bytes16>(line + i);
        store(sums + i, load<Words8>(sums + i) + lowHalf(bytes) * weight);
        store(sums + i + 8, load<Words8>(sums + i + 8) + highHalf(bytes) * weight);
    }
    for (; i < count; ++i)
        sums[i] = static_cast<std::uint16_t>(sums[i] + weight * line[i]);
}

/// wide[i] += narrow[i] and narrow[i] = 0, for `count` lanes.
void fold(std::uint32_t* wide, std::uint16_t* narrow, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        wide[i] += narrow[i];
    std::fill_n(narrow, count, std::uint16_t(0));
}

/// Sums of four channels over `pixels` pixels of 16-bit sums, in 32-bit lanes
/// (which hold 65535 × 65537 of them: more than any line has).
Sums sumPixels(const std::uint16_t* sums, std::size_t pixels)
{
    Longs4 total {};
    for (std::size_t p = 0; p < pixels; ++p, sums += 4)
        total += __builtin_convertvector(load<Words4>(sums), Longs4);
    return { total[0], total[1], total[2], total[3] };
}
Sums sumPixels(const std::uint32_t* sums, std::size_t pixels)
{
    Sums total {};
    for (std::size_t p = 0; p < pixels; ++p, sums += 4)
        for (std::size_t k = 0; k < 4; ++k)
            total[k] += sums[k];
    return total;
}

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

/// Each cell's columns of one cell row's column sums, weighted: whole columns
/// dstW, cut ones their part inside.
template <typename T>
void addColumns(
    const std::vector<Span>& columns, const T* sums, std::uint64_t dstW, std::uint64_t weight, std::vector<Sums>& cells)
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
            cells[x][k] += cell * weight;
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

// What one thread's scales of wide cells reuse from call to call rather than allocate anew.
struct WideWorkspace {
    std::vector<Span> columns;
    std::vector<Sums> cells;
    std::vector<Accumulator> inner;
};

void scaleWideCells(const ConstImageView& source, const ImageView& destination, WideWorkspace& workspace)
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
    // Cells at least this many source pixels wide: summed along the lines, in registers.
    constexpr int kWideCell = 64;
    if (source.width >= kWideCell * destination.width) {
        thread_local WideWorkspace workspace;
        scaleWideCells(source, destination, workspace);
        return ScaleStatus::Success;
    }

    const auto srcW = static_cast<std::uint64_t>(source.width);
    const auto srcH = static_cast<std::uint64_t>(source.height);
    const auto dstW = static_cast<std::uint64_t>(destination.width);
    const auto dstH = static_cast<std::uint64_t>(destination.height);

    std::vector<Span> columns(dstW);
    for (std::uint64_t x = 0; x < dstW; ++x)
        columns[x] = spanOf(x, srcW, dstW);

    // A cell's total weight: srcW × srcH units, each pixel dstW × dstH units.
    const std::uint64_t total = srcW * srcH;
    // For each row of cells: every source column's bytes summed down the lines of
    // the row, whole lines (the bulk) and the two lines cut by its edges apart;
    // then each cell's columns summed, weighted by the part of them inside it.
    // Whole lines weigh dstH, cut ones their part inside.
    const std::size_t lineBytes = static_cast<std::size_t>(srcW) * 4;
    std::vector<std::uint16_t> whole(lineBytes);
    std::vector<std::uint32_t> wholeWide; // when a row of cells has more whole lines than 16 bits hold
    std::vector<std::uint16_t> edges(lineBytes);
    std::vector<std::uint32_t> edgesWide; // when the edge weights are too large for 16 bits
    std::vector<Sums> cells(dstW);
    auto line = [&](std::uint64_t index) { return source.data + index * source.rowBytes; };

    for (std::uint64_t y = 0; y < dstH; ++y) {
        std::fill(cells.begin(), cells.end(), Sums {});
        const Span rows = spanOf(y, srcH, dstH);

        // The lines cut by the row's top and bottom edges, with their part inside.
        if (rows.headWeight != 0 || rows.tailWeight != 0) {
            if (rows.headWeight + rows.tailWeight <= kMostEdgeWeight) {
                std::fill(edges.begin(), edges.end(), std::uint16_t(0));
                if (rows.headWeight != 0)
                    addWeightedLine(
                        edges.data(), line(rows.head), static_cast<std::uint16_t>(rows.headWeight), lineBytes);
                if (rows.tailWeight != 0)
                    addWeightedLine(
                        edges.data(), line(rows.tail), static_cast<std::uint16_t>(rows.tailWeight), lineBytes);
                addColumns(columns, edges.data(), dstW, 1, cells);
            } else {
                edgesWide.assign(lineBytes, 0);
                for (const auto& [index, weight] :
                    { std::pair { rows.head, rows.headWeight }, { rows.tail, rows.tailWeight } })
                    if (weight != 0) {
                        const std::uint8_t* bytes = line(index);
                        for (std::size_t i = 0; i < lineBytes; ++i)
                            edgesWide[i] += static_cast<std::uint32_t>(weight) * bytes[i];
                    }
                addColumns(columns, edgesWide.data(), dstW, 1, cells);
            }
        }

        // Lines wholly inside.
        if (rows.fullCount != 0) {
            std::fill(whole.begin(), whole.end(), std::uint16_t(0));
            const bool wide = rows.fullCount > kLinesPerFold;
            if (wide)
                wholeWide.assign(lineBytes, 0);
            for (std::uint64_t n = 0; n < rows.fullCount; ++n) {
                if (n != 0 && n % kLinesPerFold == 0)
                    fold(wholeWide.data(), whole.data(), lineBytes);
                addLine(whole.data(), line(rows.firstFull + n), lineBytes);
            }
            if (wide) {
                fold(wholeWide.data(), whole.data(), lineBytes);
                addColumns(columns, wholeWide.data(), dstW, dstH, cells);
            } else {
                addColumns(columns, whole.data(), dstW, dstH, cells);
            }
        }

        std::uint8_t* out = destination.data + y * destination.rowBytes;
        for (std::uint64_t x = 0; x < dstW; ++x) {
            for (std::size_t k = 0; k < 4; ++k) {
                const std::uint64_t mean = (cells[x][k] + total / 2) / total;
                out[4 * x + k] = static_cast<std::uint8_t>(std::min<std::uint64_t>(mean, 255));
            }
        }
    }
    return ScaleStatus::Success;
}

} // namespace corvex::media

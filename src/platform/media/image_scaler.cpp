#include "platform/media/image_scaler.h"
#include "platform/media/image_scaler_strips.h"

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
using namespace scaler_detail;

/// Sums of four channels over `pixels` pixels of pixel-ordered sums.
Longs4 sumPixels(const std::uint32_t* sums, std::size_t pixels)
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
    return a + b;
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
/// multiplication by the reciprocal, rather than a division for every channel
/// of every cell.
class RoundedQuotient {
public:
    explicit RoundedQuotient(std::uint64_t divisor)
        : m_divisor(divisor)
        // ceil(2^64 / divisor), or none where the product would not be exact.
        , m_multiplier(divisor >= 2 && divisor <= kMostExact ? ~std::uint64_t(0) / divisor + 1 : 0)
    {
    }
    std::uint64_t operator()(std::uint64_t sum) const
    {
        const std::uint64_t n = sum + m_divisor / 2;
        if (m_multiplier == 0)
            return n / m_divisor;
        // The multiplier exceeds 2^64 / divisor by less than one, which adds less
        // than n / 2^64 to n / divisor; n < 256 × divisor and divisor <= 2^28 make
        // that at most 1 / divisor, too little to reach the next whole number.
        return static_cast<std::uint64_t>((static_cast<Wide>(n) * m_multiplier) >> 64);
    }

private:
    __extension__ typedef unsigned __int128 Wide;
    static constexpr std::uint64_t kMostExact = std::uint64_t(1) << 28;
    std::uint64_t m_divisor;
    std::uint64_t m_multiplier;
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
        const auto interior = sumPixels(sums + 4 * c.firstFull, c.fullCount);
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

/// The same for cells whose sums fit 32 bits (sources of up to 2^32 / 255
/// pixels), four channels at once, each cell's mean written to `out` as it is done.
void writeCells(const std::vector<Span>& columns, const std::uint32_t* sums, std::uint64_t dstW,
    const RoundedQuotient& mean, std::uint8_t* out)
{
    const auto wholeWeight = static_cast<std::uint32_t>(dstW);
    for (std::size_t x = 0; x < columns.size(); ++x, out += 4) {
        const Span& c = columns[x];
        Longs4 cell = sumPixels(sums + 4 * c.firstFull, c.fullCount) * wholeWeight;
        if (c.headWeight != 0)
            cell += load<Longs4>(sums + 4 * c.head) * static_cast<std::uint32_t>(c.headWeight);
        if (c.tailWeight != 0)
            cell += load<Longs4>(sums + 4 * c.tail) * static_cast<std::uint32_t>(c.tailWeight);
        for (std::size_t k = 0; k < 4; ++k)
            out[k] = static_cast<std::uint8_t>(std::min<std::uint64_t>(mean(cell[k]), 255));
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
    std::vector<std::uint32_t> combined; // pixel-ordered column sums of a row of cells
    std::vector<std::uint64_t> combinedWide; // for sources so tall that 32 bits do not hold them
};

/// The column sums of a row of cells in 64-bit lanes, for sources too tall for
/// the 32-bit ones: plain loops, as such frames are rare.
void sumColumnsWide(std::uint64_t* out, const ConstImageView& source, const Span& rows, std::uint64_t wholeWeight)
{
    const std::size_t bytes = std::size_t(source.width) * 4;
    std::fill_n(out, bytes, std::uint64_t(0));
    auto add = [&](std::uint64_t index, std::uint64_t weight) {
        const std::uint8_t* line = source.data + index * source.rowBytes;
        for (std::size_t i = 0; i < bytes; ++i)
            out[i] += weight * line[i];
    };
    for (std::uint64_t l = rows.firstFull; l < rows.firstFull + rows.fullCount; ++l)
        add(l, wholeWeight);
    if (rows.headWeight != 0)
        add(rows.head, rows.headWeight);
    if (rows.tailWeight != 0)
        add(rows.tail, rows.tailWeight);
}

// For each row of cells: every source column's bytes summed down the lines of
// the row, weighted by the part of each line inside it (whole lines dstH, cut
// ones their part); then each cell's columns summed, weighted likewise.
void scaleNarrowCells(
    const ConstImageView& source, const ImageView& destination, SumStrips sumStrips, NarrowWorkspace& workspace)
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
    const std::size_t strips = srcW / kStripPixels; // whole strips, for the SIMD kernels
    const std::size_t tailPixel = strips * kStripPixels;
    // A column's sum over a row of cells is at most 255 × srcH; 32-bit lanes
    // hold a cell's worth of them (the widest cell spans srcW / dstW + 1 columns).
    const bool narrowTotals = srcW / dstW + 1 <= 0xffffffffu / 255 / srcH;
    // A cell's sum is at most 255 × srcW × srcH.
    const bool smallCells = total <= 0xffffffffu / 255;
    std::vector<Sums>& cells = workspace.cells;
    cells.resize(dstW);
    if (narrowTotals)
        workspace.combined.resize(srcW * 4);
    else
        workspace.combinedWide.resize(srcW * 4);
    auto line = [&](std::uint64_t index) { return source.data + index * source.rowBytes; };

    for (std::uint64_t y = 0; y < dstH; ++y) {
        std::fill(cells.begin(), cells.end(), Sums {});
        const Span rows = spanOf(y, srcH, dstH);
        std::uint8_t* out = destination.data + y * destination.rowBytes;
        if (narrowTotals) {
            ColumnPass pass;
            pass.rowBytes = source.rowBytes;
            pass.wholeWeight = static_cast<std::uint32_t>(dstH);
            pass.strips = strips;
            for (const auto& [index, weight] :
                { std::pair { rows.head, rows.headWeight }, std::pair { rows.tail, rows.tailWeight } })
                if (weight != 0) {
                    pass.cut[pass.cutLines] = line(index);
                    pass.cutWeight[pass.cutLines++] = static_cast<std::uint32_t>(weight);
                }
            if (y + 1 < dstH) {
                // The next row of cells' lines, its cut ones included.
                const std::uint64_t from = (y + 1) * srcH / dstH;
                const std::uint64_t last = ((y + 2) * srcH - 1) / dstH;
                pass.ahead = line(from);
                pass.aheadBytes = (last - from) * source.rowBytes + srcW * 4;
            }
            // The cut lines go with the first pass, the whole lines 256 at a time.
            std::uint64_t done = 0;
            do {
                pass.whole = line(rows.firstFull + done);
                pass.wholeLines = std::min<std::uint64_t>(kLinesPerFold, rows.fullCount - done);
                sumStrips(workspace.combined.data(), pass);
                sumColumns(workspace.combined.data(), pass, tailPixel, srcW);
                done += pass.wholeLines;
                pass.cutLines = 0;
                pass.accumulate = true;
                pass.aheadBytes = 0;
            } while (done < rows.fullCount);
            if (smallCells) {
                writeCells(columns, workspace.combined.data(), dstW, mean, out);
                continue;
            }
            addColumns(columns, workspace.combined.data(), dstW, cells);
        } else {
            sumColumnsWide(workspace.combinedWide.data(), source, rows, dstH);
            addColumns(columns, workspace.combinedWide.data(), dstW, cells);
        }

        for (std::uint64_t x = 0; x < dstW; ++x)
            for (std::size_t k = 0; k < 4; ++k)
                out[4 * x + k] = static_cast<std::uint8_t>(std::min<std::uint64_t>(mean(cells[x][k]), 255));
    }
}

} // namespace

ScalerPath bestScalerPath()
{
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512bw"))
        return ScalerPath::Avx512;
    if (__builtin_cpu_supports("avx2"))
        return ScalerPath::Avx2;
#endif
    return ScalerPath::Portable;
}

std::vector<ScalerPath> availableScalerPaths()
{
    std::vector<ScalerPath> paths;
    for (int path = 0; path <= static_cast<int>(bestScalerPath()); ++path)
        paths.push_back(static_cast<ScalerPath>(path));
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
    scaleNarrowCells(source, destination, sumStripsFor(path), workspace);
    return ScaleStatus::Success;
}

} // namespace corvex::media

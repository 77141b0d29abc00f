#include "analysis/black_bars.h"

#include "platform/media/pixel_buffer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace corvex::analysis {

namespace {

// Frames to see before anything is proposed, and scenes that must show the
// picture reaching the same edge.
constexpr int kMinFrames = 12;
constexpr int kMinScenesAtEdge = 3;
// A row or column is dark when at most this share of its pixels is brighter than black.
constexpr double kBrightShareInDarkLine = 0.02;
// Frames with fewer bright lines than this share show too little to say where the picture ends.
constexpr double kMinBrightShare = 0.15;
// Share of the observed frames that may show something inside a bar (a
// subtitle, a logo, a glitch) without undoing it.
constexpr double kOutlierShare = 0.02;
// Bars are really black on average, not just dark.
constexpr double kMaxBarMeanLuma = 10.0;
// A change of the coarse 4 × 4 picture by this much (mean luma) is a new scene.
constexpr int kSceneChange = 10;
constexpr int kSceneGrid = 4;

int luma(const std::uint8_t* pixel)
{
    // BGRA: BT.601 weights, integer.
    return (29 * pixel[0] + 150 * pixel[1] + 77 * pixel[2]) >> 8;
}

// Length of the run of dark lines from the start of `bright` (or from its end).
int darkRun(const std::vector<int>& bright, int limit, bool fromEnd)
{
    const int size = static_cast<int>(bright.size());
    for (int i = 0; i < size; ++i) {
        const int index = fromEnd ? size - 1 - i : i;
        if (bright[std::size_t(index)] > limit)
            return i;
    }
    return size;
}

} // namespace

void BlackBarDetector::reset(int width, int height)
{
    m_width = width;
    m_height = height;
    m_observed = 0;
    m_scenes = 0;
    m_lastSceneGrid.clear();
    const auto prepare = [](Axis& axis, int size) {
        for (Edge* edge : { &axis.first, &axis.second }) {
            edge->histogram.assign(std::size_t(size) + 1, 0);
            edge->scenes.assign(std::size_t(size) + 1, {});
        }
        axis.meanLumaSum.assign(std::size_t(size), 0.0);
    };
    prepare(m_rows, height);
    prepare(m_columns, width);
}

void BlackBarDetector::record(Edge& edge, int length, int scene)
{
    const auto at = std::size_t(length);
    ++edge.histogram[at];
    std::vector<int>& scenes = edge.scenes[at];
    if (std::find(scenes.begin(), scenes.end(), scene) == scenes.end() && scenes.size() < kMinScenesAtEdge * 4)
        scenes.push_back(scene);
}

void BlackBarDetector::addFrame(media::PixelBuffer& frame)
{
    const int width = frame.width();
    const int height = frame.height();
    if (width < 8 || height < 8)
        return;
    if (width != m_width || height != m_height)
        reset(width, height);
    if (frame.lockBaseAddress(media::LockReadOnly) != media::PixelBufferStatus::Success)
        return;
    const std::uint8_t* base = frame.baseAddress();
    if (base == nullptr) {
        frame.unlockBaseAddress(media::LockReadOnly);
        return;
    }

    std::vector<int> brightInRow(std::size_t(height), 0);
    std::vector<int> brightInColumn(std::size_t(width), 0);
    std::vector<double> rowLuma(std::size_t(height), 0.0);
    std::vector<double> columnLuma(std::size_t(width), 0.0);
    std::vector<int> grid(kSceneGrid * kSceneGrid, 0);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = base + std::size_t(y) * frame.bytesPerRow();
        for (int x = 0; x < width; ++x) {
            const int value = luma(row + std::size_t(x) * 4);
            if (value > kBlackLevel) {
                ++brightInRow[std::size_t(y)];
                ++brightInColumn[std::size_t(x)];
            }
            rowLuma[std::size_t(y)] += value;
            columnLuma[std::size_t(x)] += value;
            grid[std::size_t((y * kSceneGrid / height) * kSceneGrid + x * kSceneGrid / width)] += value;
        }
    }
    frame.unlockBaseAddress(media::LockReadOnly);

    const int rowLimit = static_cast<int>(kBrightShareInDarkLine * width);
    const int columnLimit = static_cast<int>(kBrightShareInDarkLine * height);
    const auto brightLines = [](const std::vector<int>& bright, int limit) {
        return static_cast<int>(std::count_if(bright.begin(), bright.end(), [&](int n) { return n > limit; }));
    };
    // A black frame, a frame fading out, a small title on black: too little
    // picture to say where the picture ends.
    if (brightLines(brightInRow, rowLimit) < kMinBrightShare * height
        || brightLines(brightInColumn, columnLimit) < kMinBrightShare * width)
        return;

    const int cellPixels = std::max(1, (width * height) / (kSceneGrid * kSceneGrid));
    for (int& cell : grid)
        cell /= cellPixels;
    bool newScene = m_lastSceneGrid.empty();
    if (!newScene) {
        int difference = 0;
        for (std::size_t i = 0; i < grid.size(); ++i)
            difference += std::abs(grid[i] - m_lastSceneGrid[i]);
        newScene = difference / static_cast<int>(grid.size()) >= kSceneChange;
    }
    if (newScene)
        ++m_scenes;
    m_lastSceneGrid = grid;

    ++m_observed;
    record(m_rows.first, darkRun(brightInRow, rowLimit, false), m_scenes);
    record(m_rows.second, darkRun(brightInRow, rowLimit, true), m_scenes);
    record(m_columns.first, darkRun(brightInColumn, columnLimit, false), m_scenes);
    record(m_columns.second, darkRun(brightInColumn, columnLimit, true), m_scenes);
    for (int y = 0; y < height; ++y)
        m_rows.meanLumaSum[std::size_t(y)] += rowLuma[std::size_t(y)] / width;
    for (int x = 0; x < width; ++x)
        m_columns.meanLumaSum[std::size_t(x)] += columnLuma[std::size_t(x)] / height;
}

// The bar lengths on both sides of one axis, or none when the evidence does not hold up.
std::optional<std::pair<int, int>> BlackBarDetector::bars(const Axis& axis, int size) const
{
    const int outliers = static_cast<int>(kOutlierShare * m_observed);
    // The longest run that nearly every frame has: any picture reaching into
    // a line proves that line is not a bar.
    const auto barLength = [&](const Edge& edge) {
        int below = 0;
        for (int length = 0; length <= size; ++length) {
            below += edge.histogram[std::size_t(length)];
            if (below > outliers)
                return length;
        }
        return size;
    };
    const int first = barLength(axis.first);
    const int second = barLength(axis.second);
    const int smallest = std::max(1, static_cast<int>(std::lround(size * 0.02)));
    if (first < smallest && second < smallest)
        return std::pair { 0, 0 }; // no bars: a sound answer, not a lack of evidence
    // Bars are the frame's, so they are of one size on both sides; a dark sky or a dark floor is not.
    const int tolerance = std::max(2, static_cast<int>(std::lround(size * 0.02)));
    if (std::abs(first - second) > tolerance || first < smallest || second < smallest)
        return std::nullopt;
    if (first + second > size * 0.7)
        return std::nullopt;
    // The picture must come up to the bar's edge in several different scenes,
    // not in one still picture (a title card) that happens to stop there.
    const auto scenesAtEdge = [&](const Edge& edge, int length) {
        std::vector<int> scenes;
        for (int at = length; at <= std::min(size, length + tolerance / 2 + 1); ++at)
            for (int scene : edge.scenes[std::size_t(at)])
                if (std::find(scenes.begin(), scenes.end(), scene) == scenes.end())
                    scenes.push_back(scene);
        return static_cast<int>(scenes.size());
    };
    if (scenesAtEdge(axis.first, first) < kMinScenesAtEdge || scenesAtEdge(axis.second, second) < kMinScenesAtEdge)
        return std::nullopt;
    // Really black: a dark picture at its edges is dim, bars are black.
    double barLuma = 0;
    for (int i = 0; i < first; ++i)
        barLuma += axis.meanLumaSum[std::size_t(i)];
    for (int i = size - second; i < size; ++i)
        barLuma += axis.meanLumaSum[std::size_t(i)];
    if (barLuma / (double(first + second) * m_observed) > kMaxBarMeanLuma)
        return std::nullopt;
    return std::pair { first, second };
}

std::optional<media::Rect> BlackBarDetector::proposedCrop() const
{
    if (m_observed < kMinFrames || m_scenes < kMinScenesAtEdge)
        return std::nullopt;
    const auto rows = bars(m_rows, m_height);
    const auto columns = bars(m_columns, m_width);
    // One axis in doubt: propose only what is sure, the other axis whole.
    const auto [top, bottom] = rows.value_or(std::pair { 0, 0 });
    const auto [left, right] = columns.value_or(std::pair { 0, 0 });
    if (top == 0 && bottom == 0 && left == 0 && right == 0)
        return std::nullopt;
    return media::Rect { double(left) / m_width, double(top) / m_height, double(m_width - left - right) / m_width,
        double(m_height - top - bottom) / m_height };
}

} // namespace corvex::analysis

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
// A change of the coarse 8 × 8 picture by this much (mean luma) is a new scene.
constexpr int kSceneChange = 10;
constexpr int kSceneGrid = 8;
// Enough for hours of evidence; later frames change nothing that matters.
constexpr std::size_t kMaxObservations = 100000;

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
    m_observations.clear();
    m_rowLumaSum.assign(std::size_t(height), 0.0);
    m_columnLumaSum.assign(std::size_t(width), 0.0);
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
    if (m_observations.size() < kMaxObservations)
        m_observations.push_back({ darkRun(brightInRow, rowLimit, false), darkRun(brightInRow, rowLimit, true),
            darkRun(brightInColumn, columnLimit, false), darkRun(brightInColumn, columnLimit, true), m_scenes });
    for (int y = 0; y < height; ++y)
        m_rowLumaSum[std::size_t(y)] += rowLuma[std::size_t(y)] / width;
    for (int x = 0; x < width; ++x)
        m_columnLumaSum[std::size_t(x)] += columnLuma[std::size_t(x)] / height;
}

bool BlackBarDetector::believable(const Window& window) const
{
    const int rowTolerance = std::max(2, static_cast<int>(std::lround(m_height * 0.02)));
    const int columnTolerance = std::max(2, static_cast<int>(std::lround(m_width * 0.02)));
    const int smallestRows = std::max(1, static_cast<int>(std::lround(m_height * 0.02)));
    const int smallestColumns = std::max(1, static_cast<int>(std::lround(m_width * 0.02)));
    // Bars are the frame's, so they are of one size on both sides; a dark sky
    // or a dark floor is not. And they leave most of the frame: 2.39:1 in 4:3
    // keeps 56 % of the height; a smaller window is a title card, not a film.
    const auto axisHolds = [](int first, int second, int size, int tolerance, int smallest) {
        if (first == 0 && second == 0)
            return true;
        return first >= smallest && second >= smallest && std::abs(first - second) <= tolerance
            && first + second <= size * 0.45;
    };
    if (!axisHolds(window.top, window.bottom, m_height, rowTolerance, smallestRows)
        || !axisHolds(window.left, window.right, m_width, columnTolerance, smallestColumns))
        return false;
    // Really black: a dark picture at its edges is dim, bars are black.
    double barLuma = 0;
    int barLines = 0;
    const auto addLines = [&](const std::vector<double>& sums, int from, int to) {
        for (int i = from; i < to; ++i)
            barLuma += sums[std::size_t(i)];
        barLines += std::max(0, to - from);
    };
    addLines(m_rowLumaSum, 0, window.top);
    addLines(m_rowLumaSum, m_height - window.bottom, m_height);
    addLines(m_columnLumaSum, 0, window.left);
    addLines(m_columnLumaSum, m_width - window.right, m_width);
    if (barLines > 0 && barLuma / (double(barLines) * m_observed) > kMaxBarMeanLuma)
        return false;
    // The picture must fill the window right up to the bars in several
    // different scenes: not a title card or a credit that happens to stop there.
    std::vector<int> scenes;
    for (const Observation& seen : m_observations) {
        if (seen.top > window.top + rowTolerance || seen.bottom > window.bottom + rowTolerance
            || seen.left > window.left + columnTolerance || seen.right > window.right + columnTolerance)
            continue;
        if (std::find(scenes.begin(), scenes.end(), seen.scene) == scenes.end()) {
            scenes.push_back(seen.scene);
            if (static_cast<int>(scenes.size()) >= kMinScenesAtEdge)
                return true;
        }
    }
    return false;
}

std::optional<media::Rect> BlackBarDetector::proposedCrop() const
{
    if (m_observed < kMinFrames || m_scenes < kMinScenesAtEdge)
        return std::nullopt;
    // The longest run from each side that nearly every frame has: any picture
    // reaching into a line proves that line is not a bar.
    const auto barLength = [&](int Observation::*side) {
        std::vector<int> lengths;
        lengths.reserve(m_observations.size());
        for (const Observation& seen : m_observations)
            lengths.push_back(seen.*side);
        const auto outliers = static_cast<std::size_t>(kOutlierShare * double(lengths.size()));
        std::nth_element(lengths.begin(), lengths.begin() + std::ptrdiff_t(outliers), lengths.end());
        return lengths[outliers];
    };
    const Window found { barLength(&Observation::top), barLength(&Observation::bottom), barLength(&Observation::left),
        barLength(&Observation::right) };
    // Both kinds of bars, else only the ones above and below, else only those at the sides.
    for (const Window& window :
        { found, Window { found.top, found.bottom, 0, 0 }, Window { 0, 0, found.left, found.right } }) {
        if (window.top == 0 && window.bottom == 0 && window.left == 0 && window.right == 0)
            continue;
        if (!believable(window))
            continue;
        return media::Rect { double(window.left) / m_width, double(window.top) / m_height,
            double(m_width - window.left - window.right) / m_width,
            double(m_height - window.top - window.bottom) / m_height };
    }
    return std::nullopt;
}

} // namespace corvex::analysis

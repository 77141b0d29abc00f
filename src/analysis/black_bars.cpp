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

// What one frame shows of a line (a row or a column).
enum class Line { Dark, Bright, Unseen };

struct LineCounts {
    int bright = 0; // pixels brighter than black
    int seen = 0; // pixels not covered
    double luma = 0; // of the pixels seen
};

std::vector<Line> judge(const std::vector<LineCounts>& lines)
{
    std::vector<Line> judged;
    judged.reserve(lines.size());
    for (const LineCounts& line : lines)
        judged.push_back(line.seen == 0
                ? Line::Unseen
                : (line.bright > static_cast<int>(kBrightShareInDarkLine * line.seen) ? Line::Bright : Line::Dark));
    return judged;
}

// Length of the run of dark lines from the start of `lines` (or from its end).
int darkRun(const std::vector<Line>& lines, bool fromEnd)
{
    const int size = static_cast<int>(lines.size());
    for (int i = 0; i < size; ++i)
        if (lines[std::size_t(fromEnd ? size - 1 - i : i)] != Line::Dark)
            return i;
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
    m_rowSeen.assign(std::size_t(height), 0);
    m_columnSeen.assign(std::size_t(width), 0);
}

void BlackBarDetector::addFrame(media::PixelBuffer& frame, const std::vector<std::uint8_t>* covered)
{
    const int width = frame.width();
    const int height = frame.height();
    if (width < 8 || height < 8)
        return;
    if (width != m_width || height != m_height)
        reset(width, height);
    const std::uint8_t* base = frame.baseAddress();

    if (covered && covered->size() != std::size_t(width) * std::size_t(height))
        covered = nullptr;
    std::vector<LineCounts> rows(static_cast<std::size_t>(height));
    std::vector<LineCounts> columns(static_cast<std::size_t>(width));
    std::vector<int> grid(kSceneGrid * kSceneGrid, 0);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = base + std::size_t(y) * frame.bytesPerRow();
        for (int x = 0; x < width; ++x) {
            if (covered && (*covered)[std::size_t(y) * std::size_t(width) + std::size_t(x)])
                continue;
            const int value = luma(row + std::size_t(x) * 4);
            for (LineCounts* line : { &rows[std::size_t(y)], &columns[std::size_t(x)] }) {
                line->bright += value > kBlackLevel;
                ++line->seen;
                line->luma += value;
            }
            grid[std::size_t((y * kSceneGrid / height) * kSceneGrid + x * kSceneGrid / width)] += value;
        }
    }

    const std::vector<Line> rowLines = judge(rows), columnLines = judge(columns);
    const auto brightLines = [](const std::vector<Line>& lines) {
        return static_cast<int>(std::count(lines.begin(), lines.end(), Line::Bright));
    };
    // A black frame, a frame fading out, a small title on black: too little
    // picture to say where the picture ends.
    if (brightLines(rowLines) < kMinBrightShare * height || brightLines(columnLines) < kMinBrightShare * width)
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
        m_observations.push_back({ darkRun(rowLines, false), darkRun(rowLines, true), darkRun(columnLines, false),
            darkRun(columnLines, true), m_scenes });
    const auto addLuma = [](const std::vector<LineCounts>& lines, std::vector<double>& sums, std::vector<int>& seen) {
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].seen > 0) {
                sums[i] += lines[i].luma / lines[i].seen;
                ++seen[i];
            }
    };
    addLuma(rows, m_rowLumaSum, m_rowSeen);
    addLuma(columns, m_columnLumaSum, m_columnSeen);
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
    long long barLinesSeen = 0; // lines of the bars, each counted in every frame that showed some of it
    const auto addLines = [&](const std::vector<double>& sums, const std::vector<int>& seen, int from, int to) {
        for (int i = from; i < to; ++i) {
            barLuma += sums[std::size_t(i)];
            barLinesSeen += seen[std::size_t(i)];
        }
    };
    addLines(m_rowLumaSum, m_rowSeen, 0, window.top);
    addLines(m_rowLumaSum, m_rowSeen, m_height - window.bottom, m_height);
    addLines(m_columnLumaSum, m_columnSeen, 0, window.left);
    addLines(m_columnLumaSum, m_columnSeen, m_width - window.right, m_width);
    if (barLinesSeen > 0 && barLuma / double(barLinesSeen) > kMaxBarMeanLuma)
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

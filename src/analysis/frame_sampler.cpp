#include "analysis/frame_sampler.h"

#include "analysis/video_analysis_record.h"
#include "platform/media/pixel_buffer.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace corvex::analysis {

namespace {

struct SamplePoint {
    std::size_t column;
    std::size_t row;
};

// The pixel each channel reads, by channel index. This table is the rule; it
// is not derived from the grid position: grid row 2 reads pixel row 4 except
// on the left, which reads row 3, and grid row 1 reads pixel row 1 except for
// the centre, which reads row 2.
constexpr std::array<SamplePoint, 9> kSamplePoints { {
    { 2, 2 }, // (1, 1)
    { 0, 3 }, // (0, 2)
    { 0, 1 }, // (0, 1)
    { 0, 0 }, // (0, 0)
    { 2, 0 }, // (1, 0)
    { 4, 0 }, // (2, 0)
    { 2, 4 }, // (1, 2)
    { 4, 4 }, // (2, 2)
    { 4, 1 }, // (2, 1)
} };

constexpr int kRasterSize = 5;

} // namespace

std::optional<std::uint32_t> timestampFromElapsed(double elapsedSeconds)
{
    const double hundredths = elapsedSeconds * 100.0;
    // Written so that NaN fails both comparisons.
    if (!(hundredths > -1.0 && hundredths < 4294967296.0))
        return std::nullopt;
    // Elapsed times are differences of integer clocks, exact until they become
    // doubles: a time on a hundredth (a film frame at 0.29 s) must not fall a
    // hundredth short because its double lies an ulp below (0.29 × 100 gives
    // 28.999999999999996). Nothing a clock can tell apart is that close.
    constexpr double kRepresentationError = 1e-6;
    return static_cast<std::uint32_t>(
        std::min(std::trunc(std::max(hundredths, 0.0) + kRepresentationError), 4294967295.0));
}

void sampleFrame(media::PixelBuffer& frame, double elapsedSeconds, VideoAnalysis& record)
{
    const std::optional<std::uint32_t> timestamp = timestampFromElapsed(elapsedSeconds);
    if (!timestamp || record.channels_size() != static_cast<int>(kSamplePoints.size()))
        return;
    const std::optional<ChannelColours> colours = sampleChannels(frame);
    if (!colours)
        return;
    for (std::size_t i = 0; i < kSamplePoints.size(); ++i) {
        VideoAnalysis::Channel* channel = record.mutable_channels(static_cast<int>(i));
        channel->add_r((*colours)[i][0]);
        channel->add_g((*colours)[i][1]);
        channel->add_b((*colours)[i][2]);
    }
    record.add_timestamps(*timestamp);
}

std::optional<ChannelColours> sampleChannels(media::PixelBuffer& frame)
{
    if (frame.width() < kRasterSize || frame.height() < kRasterSize)
        return std::nullopt;
    const std::size_t bytesPerRow = frame.bytesPerRow();
    const std::uint8_t* base = frame.baseAddress();
    ChannelColours colours;
    for (std::size_t i = 0; i < kSamplePoints.size(); ++i) {
        const std::uint8_t* pixel = base + kSamplePoints[i].row * bytesPerRow + 4 * kSamplePoints[i].column;
        colours[i] = { pixel[2], pixel[1], pixel[0] };
    }
    return colours;
}

std::optional<GridColours> sampleGrid(media::PixelBuffer& frame)
{
    if (frame.width() < kRasterSize || frame.height() < kRasterSize)
        return std::nullopt;
    const std::uint8_t* base = frame.baseAddress();
    GridColours colours;
    for (std::size_t i = 0; i < kSamplePoints.size(); ++i) {
        const std::uint8_t* pixel = base + kSamplePoints[i].row * frame.bytesPerRow() + 4 * kSamplePoints[i].column;
        colours[kChannelGrid[i].y * 3 + kChannelGrid[i].x] = RGB { pixel[2], pixel[1], pixel[0] };
    }
    return colours;
}

} // namespace corvex::analysis

#pragma once

#include "analysis/live_colour_message.h"
#include "analysis/proto/video_analysis.pb.h"
#include "analysis/video_analysis_record.h"

#include <array>
#include <cstdint>
#include <optional>

namespace corvex::media {
class PixelBuffer;
}

namespace corvex::analysis {

/// Hundredths of a second for an elapsed time, truncated toward zero (a time
/// within a few nanoseconds below a hundredth counts as on it); none when
/// the value does not fit an unsigned 32-bit time stamp (elapsed of −0.01 s or
/// less, 2^32 hundredths or more, or not a number).
std::optional<std::uint32_t> timestampFromElapsed(double elapsedSeconds);

/// Appends one sample of a 5 × 5 BGRA raster to the record: the red, green and
/// blue bytes of nine fixed pixels to the nine channels, then the time stamp.
/// A frame that cannot be sampled whole (no pixels, a raster smaller than
/// 5 × 5, a record without its nine channels, a time stamp out of range) leaves
/// the record unchanged, so every channel stays as long as the time stamps.
void sampleFrame(media::PixelBuffer& frame, double elapsedSeconds, VideoAnalysis& record);

/// The colours sampleFrame appends for a 5 × 5 BGRA raster, by channel
/// index; none when it cannot be sampled (no pixels, smaller than 5 × 5).
std::optional<ChannelColours> sampleChannels(media::PixelBuffer& frame);

/// The nine colours of a frame by grid position, row by row (index = y × 3 + x).
using GridColours = std::array<RGB, 9>;

/// The colours sampleFrame would append for a 5 × 5 BGRA raster, by grid
/// position; none when it cannot be sampled (no pixels, smaller than 5 × 5).
std::optional<GridColours> sampleGrid(media::PixelBuffer& frame);

} // namespace corvex::analysis

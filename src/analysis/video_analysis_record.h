#pragma once

#include "analysis/proto/video_analysis.pb.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace corvex::analysis {

struct GridPosition {
    std::uint32_t x;
    std::uint32_t y;
};

/// The channels of every record, in list order: the centre first, then the
/// rest of the grid. Receivers and the sampler rely on this order.
inline constexpr std::array<GridPosition, 9> kChannelGrid { {
    { 1, 1 },
    { 0, 2 },
    { 0, 1 },
    { 0, 0 },
    { 1, 0 },
    { 2, 0 },
    { 1, 2 },
    { 2, 2 },
    { 2, 1 },
} };

/// The red, green and blue of one frame's channels, by channel index (kChannelGrid's order).
using ChannelColours = std::array<std::array<std::uint8_t, 3>, 9>;

/// A record ready for a new recording: nine empty channels, no time stamps,
/// no signature.
VideoAnalysis initialVideoAnalysis();

/// The record's binary form (the upload body), or none when encoding fails.
std::optional<std::string> serializeVideoAnalysis(const VideoAnalysis& record);

/// Checks what every record we produce keeps: nine channels at the grid
/// positions above, every colour list as long as the time stamps, colour
/// values within 0..255, time stamps never decreasing. Returns a one-line
/// description of the first problem found, or none.
std::optional<std::string> findInvariantViolation(const VideoAnalysis& record);

} // namespace corvex::analysis

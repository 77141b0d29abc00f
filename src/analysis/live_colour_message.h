#pragma once

#include "analysis/proto/video_analysis.pb.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace corvex::analysis {

/// One colour of the live colour message.
struct RGB {
    std::int64_t r = 0;
    std::int64_t g = 0;
    std::int64_t b = 0;

    friend bool operator==(const RGB&, const RGB&) = default;
};

/// Member name ("11", "02", …: the channel's x then y in decimal) to colour.
using PreviewColors = std::map<std::string, RGB>;

/// The newest colour of every channel of the record, each component limited to
/// 255 and 0 for an empty list. A later channel with the same name replaces an
/// earlier one. Reads the record only.
PreviewColors previewColors(const VideoAnalysis& record);

/// Compact UTF-8 JSON: {"11":{"r":30,"g":20,"b":10},...}, no white space.
/// Receivers must look members up by name; their order is not part of the format.
std::string encodeLiveColourMessage(const PreviewColors& colors);

/// Reads a live colour message back: an object whose members are objects with
/// integer "r", "g" and "b" (other keys are ignored). None for anything else.
std::optional<PreviewColors> decodeLiveColourMessage(std::string_view bytes);

} // namespace corvex::analysis

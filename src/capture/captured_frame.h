#pragma once

#include "analysis/frame_sampler.h"
#include "platform/media/rect.h"
#include "platform/screencapture/sample_buffer.h"

#include <memory>
#include <optional>

namespace corvex::capture {

/// One accepted video frame, as the preview gets it: the full-size frame's
/// shared surface (no copy), its frame-info values, and the nine colours its
/// 5 × 5 reduction gives the lights (sampled once, on the video thread).
struct CapturedFrame {
    std::shared_ptr<const screencapture::Surface> surface;
    media::Rect contentRect;
    double contentScale = 0;
    double scaleFactor = 0;
    std::optional<analysis::GridColours> colours;
    screencapture::CoveredPixels coveredPixels; // the surface's pixels that show nothing of their own
};

} // namespace corvex::capture

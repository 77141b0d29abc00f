#pragma once

#include "platform/media/rect.h"
#include "platform/screencapture/sample_buffer.h"

#include <memory>

namespace corvex::capture {

/// One accepted video frame, as the preview gets it: the full-size frame's
/// shared surface (no copy) and its frame-info values.
struct CapturedFrame {
    std::shared_ptr<const screencapture::Surface> surface;
    media::Rect contentRect;
    double contentScale = 0;
    double scaleFactor = 0;
};

} // namespace corvex::capture

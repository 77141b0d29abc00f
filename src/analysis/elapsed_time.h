#pragma once

#include "platform/media/media_time.h"

namespace corvex::analysis {

/// Seconds from the recording's time origin to a buffer's presentation time.
/// Both times are narrowed to single precision before the subtraction, so that
/// light shows keep the exact time stamps that recordings have always had
/// (100000.01 s after an origin of 100000.0 s is 0.0078125 s, not 0.01 s).
double elapsedSeconds(const media::MediaTime& time, const media::MediaTime& origin);

} // namespace corvex::analysis

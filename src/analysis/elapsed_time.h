#pragma once

#include "platform/media/media_time.h"

namespace corvex::analysis {

/// Seconds from the recording's time origin to a buffer's presentation time.
/// The difference is taken exactly, in integers, and only the difference is
/// made a double: a time stamp does not depend on how far from zero the clock
/// stands (on the monotonic clock, how long the machine has been up). NaN when
/// either time is not a finite time.
double elapsedSeconds(const media::MediaTime& time, const media::MediaTime& origin);

} // namespace corvex::analysis

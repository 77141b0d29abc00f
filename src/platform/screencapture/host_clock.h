#pragma once

#include "platform/media/media_time.h"

#include <chrono>
#include <cstdint>

namespace corvex::screencapture {

/// Nanoseconds on the monotonic clock (CLOCK_MONOTONIC) that stamps every
/// video frame and audio buffer, so that sound and picture share one time line.
inline std::int64_t hostTimeNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline media::MediaTime hostTimeNow()
{
    return media::MediaTime::fromNanoseconds(hostTimeNanoseconds());
}

/// The configured minimum frame interval in nanoseconds, or `fallback` when it is not a positive time.
inline std::int64_t frameIntervalNanoseconds(const media::MediaTime& interval, std::int64_t fallback)
{
    const double seconds = interval.seconds();
    if (!(seconds > 0) || seconds > 10)
        return fallback;
    return static_cast<std::int64_t>(seconds * 1e9);
}

} // namespace corvex::screencapture

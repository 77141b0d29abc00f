#include "platform/media/media_time.h"

#include <limits>

namespace corvex::media {

MediaTime MediaTime::make(std::int64_t value, std::int32_t timescale)
{
    if (timescale <= 0)
        return invalid();
    return MediaTime { value, timescale, Valid, 0 };
}

MediaTime MediaTime::fromNanoseconds(std::int64_t nanoseconds)
{
    return make(nanoseconds, 1'000'000'000);
}

double MediaTime::seconds() const
{
    if (!isValid() || (flags & Indefinite) != 0)
        return std::numeric_limits<double>::quiet_NaN();
    if ((flags & PositiveInfinity) != 0)
        return std::numeric_limits<double>::infinity();
    if ((flags & NegativeInfinity) != 0)
        return -std::numeric_limits<double>::infinity();
    if (timescale <= 0)
        return std::numeric_limits<double>::quiet_NaN();
    // Split into whole seconds and remainder so large values keep their precision.
    const std::int64_t whole = value / timescale;
    const std::int64_t rest = value % timescale;
    return static_cast<double>(whole) + static_cast<double>(rest) / static_cast<double>(timescale);
}

} // namespace corvex::media

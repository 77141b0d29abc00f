#include "analysis/elapsed_time.h"

namespace corvex::analysis {

double elapsedSeconds(const media::MediaTime& time, const media::MediaTime& origin)
{
    const auto now = static_cast<float>(time.seconds());
    const auto first = static_cast<float>(origin.seconds());
    return static_cast<double>(now - first);
}

} // namespace corvex::analysis

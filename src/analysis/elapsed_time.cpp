#include "analysis/elapsed_time.h"

#include <cmath>
#include <limits>

namespace corvex::analysis {

namespace {
__extension__ typedef __int128 Int128;
}

double elapsedSeconds(const media::MediaTime& time, const media::MediaTime& origin)
{
    const double now = time.seconds();
    const double first = origin.seconds();
    if (!std::isfinite(now) || !std::isfinite(first))
        return now - first; // NaN or an infinity, as the times say
    // now = a / p and first = b / q: the difference (a q − b p) / (p q) in 128
    // bits, where neither product can overflow.
    const Int128 p = time.timescale;
    const Int128 q = origin.timescale;
    const Int128 numerator = static_cast<Int128>(time.value) * q - static_cast<Int128>(origin.value) * p;
    const Int128 denominator = p * q;
    const Int128 whole = numerator / denominator;
    const Int128 rest = numerator % denominator;
    return static_cast<double>(whole) + static_cast<double>(rest) / static_cast<double>(denominator);
}

} // namespace corvex::analysis

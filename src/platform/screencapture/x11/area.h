#pragma once

#include <algorithm>
#include <vector>

namespace corvex::screencapture::x11 {

/// A rectangle of pixels, [x0, x1) × [y0, y1).
struct Area {
    int x0 = 0;
    int y0 = 0;
    int x1 = 0;
    int y1 = 0;
    bool isEmpty() const { return x1 <= x0 || y1 <= y0; }
    long long pixels() const { return isEmpty() ? 0 : (long long)(x1 - x0) * (y1 - y0); }
    friend bool operator==(const Area&, const Area&) = default;
};

/// The smallest area holding both.
inline Area unite(const Area& a, const Area& b)
{
    if (a.isEmpty())
        return b;
    if (b.isEmpty())
        return a;
    return { std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1) };
}

/// What both share (empty when nothing).
inline Area intersect(const Area& a, const Area& b)
{
    const Area common { std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1) };
    return common.isEmpty() ? Area {} : common;
}

/// Takes `cut` out of every area (each splits into at most four).
void subtract(std::vector<Area>& areas, const Area& cut);

} // namespace corvex::screencapture::x11

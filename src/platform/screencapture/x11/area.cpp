#include "platform/screencapture/x11/area.h"

#include <utility>

namespace corvex::screencapture::x11 {

void subtract(std::vector<Area>& areas, const Area& cut)
{
    std::vector<Area> result;
    result.reserve(areas.size());
    for (const Area& a : areas) {
        if (cut.x0 >= a.x1 || cut.x1 <= a.x0 || cut.y0 >= a.y1 || cut.y1 <= a.y0) {
            result.push_back(a);
            continue;
        }
        const int top = std::max(a.y0, cut.y0), bottom = std::min(a.y1, cut.y1);
        const Area pieces[] = { { a.x0, a.y0, a.x1, top }, { a.x0, bottom, a.x1, a.y1 },
            { a.x0, top, std::max(a.x0, cut.x0), bottom }, { std::min(a.x1, cut.x1), top, a.x1, bottom } };
        for (const Area& piece : pieces)
            if (!piece.isEmpty())
                result.push_back(piece);
    }
    areas = std::move(result);
}

} // namespace corvex::screencapture::x11

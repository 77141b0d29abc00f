#pragma once

namespace corvex::media {

/// A rectangle in double precision, origin at the top left.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    friend bool operator==(const Rect&, const Rect&) = default;
};

} // namespace corvex::media

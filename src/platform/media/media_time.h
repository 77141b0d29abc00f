#pragma once

#include <cstdint>

namespace corvex::media {

/// A rational media time: value / timescale seconds, with validity flags.
struct MediaTime {
    enum Flags : std::uint32_t {
        Valid = 1u << 0,
        HasBeenRounded = 1u << 1,
        PositiveInfinity = 1u << 2,
        NegativeInfinity = 1u << 3,
        Indefinite = 1u << 4,
    };

    std::int64_t value = 0;
    std::int32_t timescale = 0;
    std::uint32_t flags = 0;
    std::int64_t epoch = 0;

    static MediaTime make(std::int64_t value, std::int32_t timescale);
    /// Nanoseconds on the monotonic clock that capture uses for presentation times.
    static MediaTime fromNanoseconds(std::int64_t nanoseconds);
    static MediaTime invalid() { return {}; }

    bool isValid() const { return (flags & Valid) != 0; }
    /// Seconds as a double; NaN for an invalid or indefinite time, ±infinity
    /// for the infinite ones.
    double seconds() const;

    friend bool operator==(const MediaTime&, const MediaTime&) = default;
};

} // namespace corvex::media

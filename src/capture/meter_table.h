#pragma once

#include <array>

namespace corvex::capture {

/// Maps a level in decibels to a display level from 0 to 1, on a curve that
/// spreads the audible range over the meter.
class MeterTable final {
public:
    static constexpr float kMinDB = -60.0f;
    static constexpr int tableSize = 300;

    MeterTable();

    /// 0 below kMinDB, 1 at 0 dB and above, a table entry in between.
    float valueForPower(float power) const;

    float scaleFactor() const { return m_scaleFactor; }
    const std::array<float, tableSize>& meterTable() const { return m_meterTable; }

private:
    float m_scaleFactor;
    std::array<float, tableSize> m_meterTable;
};

} // namespace corvex::capture

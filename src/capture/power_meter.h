#pragma once

#include "capture/meter_table.h"

#include <memory>
#include <mutex>
#include <vector>

namespace corvex::media {
class PcmBuffer;
}

namespace corvex::capture {

/// Levels of one channel, in decibels relative to full scale.
struct PowerLevels {
    float average = 0; // of the root mean square
    float peak = 0; // of the largest sample value
};

/// Measures each captured audio buffer. process() runs on the audio thread
/// and replaces the values whole; values() may be read from any thread.
class PowerMeter final {
public:
    /// Floor applied before the logarithm: silence reads −160 dB.
    static constexpr float kMinLevel = 1e-8f;

    void process(const media::PcmBuffer& buffer);
    /// One entry per channel of the latest buffer, in channel order.
    std::vector<PowerLevels> values() const;
    /// Forgets the latest buffer's values, as before the first.
    void reset();

    const MeterTable& meterTableAverage() const { return m_meterTableAverage; }
    const MeterTable& meterTablePeak() const { return m_meterTablePeak; }

private:
    mutable std::mutex m_mutex;
    std::vector<PowerLevels> m_values;
    MeterTable m_meterTableAverage;
    MeterTable m_meterTablePeak;
};

} // namespace corvex::capture

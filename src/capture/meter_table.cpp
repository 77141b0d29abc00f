#include "capture/meter_table.h"

#include <cmath>

namespace corvex::capture {

namespace {

float exp10(float value)
{
    return std::pow(10.0f, value);
}

} // namespace

MeterTable::MeterTable()
{
    // Single precision throughout, so the table matches other meters of this kind entry for entry.
    const float dbResolution = kMinDB / static_cast<float>(tableSize - 1);
    m_scaleFactor = 1.0f / dbResolution;
    const float minAmplitude = exp10(0.05f * kMinDB);
    const float amplitudeRange = 1.0f / (1.0f - minAmplitude);
    for (int i = 0; i < tableSize; ++i) {
        const float amplitude = exp10(static_cast<float>(i) * dbResolution * 0.05f);
        m_meterTable[static_cast<std::size_t>(i)] = std::sqrt((amplitude - minAmplitude) * amplitudeRange);
    }
}

float MeterTable::valueForPower(float power) const
{
    if (std::isnan(power) || power < kMinDB)
        return 0.0f;
    if (power >= 0.0f)
        return 1.0f;
    // Both factors are truncated before the product: the index moves in steps
    // of four per whole decibel, from 0 to 240.
    const int index = static_cast<int>(power) * static_cast<int>(m_scaleFactor);
    return m_meterTable[static_cast<std::size_t>(index)];
}

} // namespace corvex::capture

#include "capture/power_meter.h"

#include "platform/media/pcm_buffer.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace corvex::capture {

namespace {

// Reads channel c of the buffer as floats with the buffer's stride: float
// samples as they are, 16-bit ones divided by 32767, 32-bit ones by 2^31.
bool channelSamples(const media::PcmBuffer& buffer, std::uint32_t c, std::vector<float>& out)
{
    const std::uint32_t frames = buffer.frameLength();
    const std::size_t stride = buffer.stride();
    out.resize(frames);
    if (const float* f = buffer.floatChannel(c)) {
        for (std::uint32_t i = 0; i < frames; ++i)
            out[i] = f[i * stride];
    } else if (const std::int16_t* s = buffer.int16Channel(c)) {
        for (std::uint32_t i = 0; i < frames; ++i)
            out[i] = static_cast<float>(s[i * stride]) / 32767.0f;
    } else if (const std::int32_t* l = buffer.int32Channel(c)) {
        for (std::uint32_t i = 0; i < frames; ++i)
            out[i] = static_cast<float>(l[i * stride]) / 2147483648.0f;
    } else {
        return false;
    }
    return true;
}

} // namespace

void PowerMeter::process(const media::PcmBuffer& buffer)
{
    std::vector<PowerLevels> levels;
    std::vector<float> samples;
    const std::uint32_t channels = buffer.format().channelCount;
    levels.reserve(channels);
    for (std::uint32_t c = 0; c < channels; ++c) {
        if (!channelSamples(buffer, c, samples)) {
            levels.clear();
            break;
        }
        float peak = -std::numeric_limits<float>::infinity();
        double squares = 0;
        for (const float sample : samples) {
            peak = std::max(peak, sample);
            squares += static_cast<double>(sample) * sample;
        }
        float rms
            = samples.empty() ? 0.0f : static_cast<float>(std::sqrt(squares / static_cast<double>(samples.size())));
        // The signed maximum: a buffer of only negative samples has a floored peak.
        if (!(peak >= kMinLevel))
            peak = kMinLevel;
        if (!(rms >= kMinLevel))
            rms = kMinLevel;
        levels.push_back({ 20.0f * std::log10(rms), 20.0f * std::log10(peak) });
    }
    const std::lock_guard lock(m_mutex);
    m_values = std::move(levels);
}

std::vector<PowerLevels> PowerMeter::values() const
{
    const std::lock_guard lock(m_mutex);
    return m_values;
}

void PowerMeter::reset()
{
    const std::lock_guard lock(m_mutex);
    m_values.clear();
}

} // namespace corvex::capture

#pragma once

#include <cstdint>

namespace corvex::media {

enum class SampleKind : std::uint8_t {
    Float32,
    Int16,
    Int32,
};

/// How PCM samples are laid out: rate, channels, sample type, and whether the
/// channels are interleaved in one block or kept in one block each (planar).
struct AudioFormat {
    double sampleRate = 0;
    std::uint32_t channelCount = 0;
    SampleKind sampleKind = SampleKind::Float32;
    bool interleaved = false;

    /// 32-bit float, one block per channel: what capture delivers.
    static AudioFormat standard(double sampleRate, std::uint32_t channelCount)
    {
        return { sampleRate, channelCount, SampleKind::Float32, false };
    }

    std::uint32_t bytesPerSample() const { return sampleKind == SampleKind::Int16 ? 2 : 4; }
    bool isValid() const { return sampleRate > 0 && channelCount > 0; }

    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

} // namespace corvex::media

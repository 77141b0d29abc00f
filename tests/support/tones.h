#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace corvex::test {

/// A deterministic "melody" for fingerprint tests: a new note every quarter
/// second, each with a few harmonics, pitches drawn from the seed.
inline std::vector<float> melody(double seconds, int sampleRate, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> semitone(0, 35);
    const auto total = static_cast<std::size_t>(seconds * sampleRate);
    const auto noteLength = static_cast<std::size_t>(sampleRate / 4);
    std::vector<float> samples(total);
    double phase[3] = {};
    double frequency = 220;
    for (std::size_t i = 0; i < total; ++i) {
        if (i % noteLength == 0)
            frequency = 110.0 * std::pow(2.0, semitone(random) / 12.0);
        double value = 0;
        for (int h = 0; h < 3; ++h) {
            phase[h] += 2 * M_PI * frequency * (h + 1) / sampleRate;
            value += std::sin(phase[h]) / (h + 1);
        }
        samples[i] = static_cast<float>(0.4 * value);
    }
    return samples;
}

} // namespace corvex::test

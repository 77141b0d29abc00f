#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
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

/// Writes a 16-bit PCM WAV file of `channels` copies of the samples; false when it cannot.
inline bool writeWav(const std::string& path, const std::vector<float>& samples, int rate = 44100, int channels = 1)
{
    std::string data;
    for (const float sample : samples) {
        const auto value = static_cast<std::int16_t>(std::lrint(std::clamp(sample, -1.0f, 1.0f) * 32767));
        for (int c = 0; c < channels; ++c)
            data += { char(value & 0xff), char((value >> 8) & 0xff) };
    }
    const auto le = [](std::uint32_t v, int bytes) {
        std::string out;
        for (int i = 0; i < bytes; ++i)
            out += char((v >> (8 * i)) & 0xff);
        return out;
    };
    const auto size = static_cast<std::uint32_t>(data.size());
    const auto ch = static_cast<std::uint32_t>(channels);
    const auto hz = static_cast<std::uint32_t>(rate);
    const std::string file = "RIFF" + le(36 + size, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(ch, 2) + le(hz, 4)
        + le(hz * ch * 2, 4) + le(ch * 2, 2) + le(16, 2) + "data" + le(size, 4) + data;
    std::ofstream out(path, std::ios::binary);
    return bool(out.write(file.data(), static_cast<std::streamsize>(file.size())));
}

} // namespace corvex::test

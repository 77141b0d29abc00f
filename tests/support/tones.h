#pragma once

#include <QFile>
#include <QString>

#include <algorithm>
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

/// Writes a 16-bit PCM WAV file of `channels` copies of the samples; false when it cannot.
inline bool writeWav(const QString& path, const std::vector<float>& samples, int rate = 44100, int channels = 1)
{
    QByteArray data;
    for (const float sample : samples) {
        const auto value = static_cast<qint16>(std::lrint(std::clamp(sample, -1.0f, 1.0f) * 32767));
        for (int c = 0; c < channels; ++c)
            data.append(char(value & 0xff)).append(char((value >> 8) & 0xff));
    }
    const auto le = [](quint32 v, int bytes) {
        QByteArray out;
        for (int i = 0; i < bytes; ++i)
            out.append(char((v >> (8 * i)) & 0xff));
        return out;
    };
    const QByteArray file = "RIFF" + le(quint32(36 + data.size()), 4) + "WAVEfmt " + le(16, 4) + le(1, 2)
        + le(quint32(channels), 2) + le(quint32(rate), 4) + le(quint32(rate * channels * 2), 4)
        + le(quint32(channels * 2), 2) + le(16, 2) + "data" + le(quint32(data.size()), 4) + data;
    QFile out(path);
    return out.open(QIODevice::WriteOnly) && out.write(file) == file.size();
}

} // namespace corvex::test

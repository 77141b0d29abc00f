// Writes the studio's "Synth" sound: two seconds of a soft synthesised chord
// (A3, C#4, E4 with a slow swell), 44.1 kHz stereo, 16-bit AIFF.

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "Usage: %s OUTPUT.aif\n", argv[0]);
        return 2;
    }
    constexpr int kRate = 44100;
    constexpr int kFrames = 2 * kRate;
    constexpr double kNotes[] = { 220.0, 277.18, 329.63 };
    std::vector<short> samples(2 * static_cast<std::size_t>(kFrames));
    for (int i = 0; i < kFrames; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double envelope = std::sin(M_PI * t / 2.0); // swell and fade over the two seconds
        double value = 0;
        for (const double note : kNotes)
            value += std::sin(2 * M_PI * note * t) + 0.3 * std::sin(4 * M_PI * note * t);
        const auto sample = static_cast<short>(std::lrint(6000.0 * envelope * value / 3.0));
        samples[2 * static_cast<std::size_t>(i)] = sample;
        samples[2 * static_cast<std::size_t>(i) + 1] = sample;
    }
    SF_INFO info {};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(argv[1], SFM_WRITE, &info);
    if (file == nullptr) {
        std::fprintf(stderr, "cannot write %s: %s\n", argv[1], sf_strerror(nullptr));
        return 1;
    }
    const sf_count_t written = sf_writef_short(file, samples.data(), kFrames);
    sf_close(file);
    return written == kFrames ? 0 : 1;
}

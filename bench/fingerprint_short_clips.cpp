// How short a clip `corvex match` places in a two-hour soundtrack, and how
// often it places a clip of something else: a soundtrack of 120 one-minute
// tunes recorded at 48 kHz (through the recorder's converter), clips cut from
// the same tunes rendered at 44.1 kHz (another rate, as a receiver hears
// them), and as many clips of tunes that are not in it.
//
//   fingerprint_short_clips [CLIP_SECONDS [CLIPS [NOISE]]]
//
// Prints the share of clips placed within 0.15 s, misplaced and not found,
// the unrelated clips that were placed, the bit error rates of both kinds,
// and the time to place one clip (min / median / max).

#include "platform/fingerprint/signature_generator.h"
#include "platform/fingerprint/signature_matcher.h"
#include "platform/media/audio_converter.h"
#include "support/tones.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using namespace corvex;

namespace {

const media::AudioFormat kSignatureFormat { 16000, 1, media::SampleKind::Float32, false };

// Streams mono sound at one rate through a converter (as two equal channels, in 20 ms buffers).
class Converter {
public:
    explicit Converter(double rate)
        : m_rate(rate)
        , m_converter(media::AudioConverter::create(media::AudioFormat::standard(rate, 2), kSignatureFormat))
        , m_input(media::PcmBuffer::create(media::AudioFormat::standard(rate, 2), std::uint32_t(rate / 50)))
        , m_output(media::PcmBuffer::create(kSignatureFormat, 8192))
    {
    }

    void push(const float* sound, std::size_t count, std::vector<float>& out)
    {
        const std::uint32_t frames = m_input->frameCapacity();
        for (std::size_t start = 0; start < count; start += frames) {
            const auto n = std::uint32_t(std::min<std::size_t>(frames, count - start));
            m_input->setFrameLength(n);
            std::copy_n(sound + start, n, m_input->floatChannel(0));
            std::copy_n(sound + start, n, m_input->floatChannel(1));
            run(false, out);
        }
    }
    void finish(std::vector<float>& out) { run(true, out); }

private:
    void run(bool end, std::vector<float>& out)
    {
        bool handed = false;
        for (;;) {
            const auto status = m_converter->convert(
                *m_output, [&](media::AudioConverter::InputStatus& status) -> const media::PcmBuffer* {
                    status = end ? media::AudioConverter::InputStatus::EndOfStream
                        : handed ? media::AudioConverter::InputStatus::NoDataNow
                                 : media::AudioConverter::InputStatus::HaveData;
                    const bool give = !end && !handed;
                    handed = true;
                    return give ? m_input.get() : nullptr;
                });
            out.insert(out.end(), m_output->floatChannel(0), m_output->floatChannel(0) + m_output->frameLength());
            if (status.value != media::AudioConverter::OutputStatus::HaveData)
                return;
        }
    }

    double m_rate;
    std::unique_ptr<media::AudioConverter> m_converter;
    std::unique_ptr<media::PcmBuffer> m_input;
    std::unique_ptr<media::PcmBuffer> m_output;
};

std::vector<float> converted(const std::vector<float>& sound, double rate)
{
    Converter converter(rate);
    std::vector<float> out;
    converter.push(sound.data(), sound.size(), out);
    converter.finish(out);
    return out;
}

void append(fingerprint::SignatureGenerator& generator, std::vector<float>& samples)
{
    if (!samples.empty()) {
        const auto appended = generator.append(
            *media::PcmBuffer::wrap(kSignatureFormat, std::uint32_t(samples.size()), { samples.data() }));
        if (!appended) {
            std::fprintf(stderr, "the signature refused the sound: %s\n", appended.error.c_str());
            std::exit(EXIT_FAILURE);
        }
    }
    samples.clear();
}

struct Summary {
    double min = 0, median = 0, max = 0;
};

Summary summarise(std::vector<double> values)
{
    if (values.empty())
        return {};
    std::sort(values.begin(), values.end());
    return { values.front(), values[values.size() / 2], values.back() };
}

// The bit error rate at the best place (whether or not it counts as a match).
double bestRate(const std::vector<std::uint32_t>& recording, const std::vector<fingerprint::ClipFingerprint>& clip)
{
    double best = 1;
    for (const auto& f : clip) {
        if (f.items.size() < fingerprint::kMinimumClipItems || f.items.size() > recording.size())
            continue;
        for (std::size_t shift = 0; shift + f.items.size() <= recording.size(); ++shift) {
            int differing = 0;
            for (std::size_t i = 0; i < f.items.size(); ++i)
                differing += std::popcount(f.items[i] ^ recording[shift + i]);
            best = std::min(best, differing / (32.0 * double(f.items.size())));
        }
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    const double clipSeconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const int clips = argc > 2 ? std::atoi(argv[2]) : 200;
    const double noise = argc > 3 ? std::atof(argv[3]) : 0.0;
    constexpr int kMinutes = 120;
    constexpr std::uint32_t kFirstSeed = 100;

    fingerprint::SignatureGenerator soundtrack;
    {
        Converter converter(48000);
        std::vector<float> out;
        for (int minute = 0; minute < kMinutes; ++minute) {
            const auto tune = test::melody(60, 48000, kFirstSeed + std::uint32_t(minute));
            converter.push(tune.data(), tune.size(), out);
            append(soundtrack, out);
        }
        converter.finish(out);
        append(soundtrack, out);
    }
    const std::vector<std::uint32_t> recording = soundtrack.items();

    std::mt19937 random(2026);
    std::uniform_int_distribution<int> minuteOf(0, kMinutes - 1);
    std::uniform_real_distribution<double> secondOf(0, 60 - clipSeconds);
    std::normal_distribution<float> white(0, float(noise > 0 ? noise : 1));
    auto noisy = [&](std::vector<float> sound) {
        if (noise > 0)
            for (float& sample : sound)
                sample += white(random);
        return sound;
    };

    int placed = 0, misplaced = 0, missed = 0, falselyPlaced = 0;
    std::vector<double> trueRates, falseRates, seconds;
    std::size_t clipItems = 0;
    for (int i = 0; i < clips; ++i) {
        const int minute = minuteOf(random);
        const double second = secondOf(random);
        const auto tune = test::melody(60, 44100, kFirstSeed + std::uint32_t(minute));
        const auto from = tune.begin() + std::llround(second * 44100);
        const auto sound = converted(noisy(std::vector<float>(from, from + std::llround(clipSeconds * 44100))), 44100);
        const auto started = std::chrono::steady_clock::now();
        const auto fingerprints = fingerprint::clipFingerprints(sound.data(), sound.size());
        const auto match = fingerprint::locateClip(recording, fingerprints);
        if (!fingerprints.empty())
            clipItems = fingerprints.front().items.size();
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        const double offset = minute * 60 + second;
        if (!match)
            ++missed;
        else if (std::abs(match->offsetSeconds - offset) <= 0.15)
            ++placed;
        else
            ++misplaced;
        trueRates.push_back(bestRate(recording, fingerprints));

        const auto other = converted(noisy(test::melody(clipSeconds, 44100, 100000 + std::uint32_t(i))), 44100);
        const auto otherFingerprints = fingerprint::clipFingerprints(other.data(), other.size());
        falselyPlaced += fingerprint::locateClip(recording, otherFingerprints).has_value();
        falseRates.push_back(bestRate(recording, otherFingerprints));
    }
    const Summary t = summarise(trueRates), f = summarise(falseRates), s = summarise(seconds);
    std::printf("%.1f s clips, noise %.2f, in a %d-minute soundtrack (%zu items): %d placed within 0.15 s, %d "
                "misplaced, %d not found of %d; %d of %d unrelated clips placed\n",
        clipSeconds, noise, kMinutes, recording.size(), placed, misplaced, missed, clips, falselyPlaced, clips);
    std::printf("  bit error rate at the best place: same sound %.3f / %.3f / %.3f, unrelated %.3f / %.3f / %.3f "
                "(min / median / max); limit for a whole clip (%zu items) %.3f\n",
        t.min, t.median, t.max, f.min, f.median, f.max, clipItems, fingerprint::matchingBitErrorRate(clipItems));
    std::printf("  time to place one clip: %.3f / %.3f / %.3f s (min / median / max)\n", s.min, s.median, s.max);
    return 0;
}

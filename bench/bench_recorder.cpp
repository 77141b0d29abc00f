// The recorder's two capture paths: a frame (sample, message, no receiver) and
// an audio buffer (48 kHz stereo to 16 kHz mono, into the signature).

#include "support/tones.h"

#include "analysis/analysis_recorder.h"
#include "analysis/pixel_buffer_resize.h"
#include "platform/fingerprint/signature_generator.h"
#include "platform/fingerprint/signature_matcher.h"
#include "platform/media/pcm_buffer.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

using namespace corvex;

namespace {

void BM_RecorderVideoFrame(benchmark::State& state)
{
    analysis::AnalysisRecorder recorder(nullptr);
    auto raster = analysis::createPixelBuffer(5, 5, media::PixelFormat::BGRA);
    for (std::size_t i = 0; i < raster->bytesPerRow() * 5; ++i)
        raster->baseAddress()[i] = static_cast<std::uint8_t>(i * 7);
    recorder.start();
    std::int64_t frame = 0;
    for (auto _ : state) {
        // A new recording every two hours' worth of frames keeps the record's size realistic.
        if (frame % 216000 == 215999)
            recorder.start();
        recorder.appendVideoFrame(*raster, media::MediaTime::make(frame++, 30));
    }
    recorder.stop();
}

void BM_RecorderAudioBuffer(benchmark::State& state)
{
    constexpr std::uint32_t kFrames = 1024;
    const auto tune = test::melody(10, 48000, 1);
    std::vector<std::unique_ptr<media::PcmBuffer>> buffers;
    for (std::size_t start = 0; start + kFrames <= tune.size(); start += kFrames) {
        auto buffer = media::PcmBuffer::create(media::AudioFormat::standard(48000, 2), kFrames);
        buffer->setFrameLength(kFrames);
        std::copy_n(tune.data() + start, kFrames, buffer->floatChannel(0));
        std::copy_n(tune.data() + start, kFrames, buffer->floatChannel(1));
        buffers.push_back(std::move(buffer));
    }
    analysis::AnalysisRecorder recorder(nullptr);
    recorder.start();
    std::int64_t position = 0;
    std::size_t next = 0;
    for (auto _ : state) {
        recorder.appendAudioBuffer(*buffers[next], media::MediaTime::make(position, 48000));
        position += kFrames;
        next = (next + 1) % buffers.size();
    }
    recorder.stop();
    // Seconds of sound handled per second of work.
    state.counters["x_real_time"]
        = benchmark::Counter(static_cast<double>(state.iterations()) * kFrames / 48000.0, benchmark::Counter::kIsRate);
}

const media::AudioFormat kSignatureFormat { 16000, 1, media::SampleKind::Float32, false };

void appendAll(fingerprint::SignatureGenerator& generator, std::vector<float>& samples)
{
    auto buffer
        = media::PcmBuffer::wrap(kSignatureFormat, static_cast<std::uint32_t>(samples.size()), { samples.data() });
    if (const auto appended = generator.append(*buffer); !appended) {
        std::fprintf(stderr, "the signature refused the sound: %s\n", appended.error.c_str());
        std::exit(EXIT_FAILURE);
    }
}

// A receiver's job: a 10-second clip's signature, located in a two-hour
// soundtrack's signature (made once, outside the timing).
void BM_MatchTenSecondClipInTwoHours(benchmark::State& state)
{
    constexpr double kClipStart = 73 * 60 + 12.3;
    fingerprint::SignatureGenerator soundtrack;
    std::vector<float> clipSamples;
    for (std::uint32_t minute = 0; minute < 120; ++minute) {
        auto samples = test::melody(60, 16000, 100 + minute);
        if (minute == 73)
            clipSamples.assign(samples.begin() + 12.3 * 16000, samples.begin() + 22.3 * 16000);
        appendAll(soundtrack, samples);
    }
    const auto recording = fingerprint::decodeSignature(soundtrack.signature());
    double error = 0;
    for (auto _ : state) {
        fingerprint::SignatureGenerator clipGenerator;
        appendAll(clipGenerator, clipSamples);
        const auto clip = fingerprint::decodeSignature(clipGenerator.signature());
        const auto match = fingerprint::locateClip(*recording, *clip);
        error = match ? std::abs(match->offsetSeconds - kClipStart) : -1;
        benchmark::DoNotOptimize(match);
    }
    state.counters["offset_error_s"] = error;
    state.counters["recording_items"] = static_cast<double>(recording->size());
}

} // namespace

BENCHMARK(BM_MatchTenSecondClipInTwoHours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecorderVideoFrame);
BENCHMARK(BM_RecorderAudioBuffer);

BENCHMARK_MAIN();

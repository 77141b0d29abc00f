// The per-frame work of a recording: crop and scale a captured frame to 5 × 5,
// sample it, build the live colour message; and saving a long recording.

#include "analysis/frame_sampler.h"
#include "analysis/live_colour_message.h"
#include "analysis/pixel_buffer_resize.h"
#include "analysis/video_analysis_record.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

using namespace corvex;

namespace {

std::shared_ptr<media::PixelBuffer> makeFrame(int width, int height)
{
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    const std::size_t size = rowBytes * static_cast<std::size_t>(height);
    std::shared_ptr<std::uint8_t> pixels(new std::uint8_t[size], std::default_delete<std::uint8_t[]>());
    std::mt19937 random(1);
    for (std::size_t i = 0; i < size; ++i)
        pixels.get()[i] = static_cast<std::uint8_t>(random());
    return media::PixelBuffer::wrap(width, height, rowBytes, media::PixelFormat::BGRA, std::move(pixels));
}

// args: width, height, crop (0 none, 1 the right half, 2 a centred 80 % region)
void BM_ScaleTo5x5(benchmark::State& state)
{
    auto frame = makeFrame(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    std::optional<media::Rect> crop;
    if (state.range(2) == 1)
        crop = media::Rect { 0.5, 0, 0.5, 1 };
    else if (state.range(2) == 2)
        crop = media::Rect { 0.1, 0.1, 0.8, 0.8 };
    for (auto _ : state) {
        auto raster = analysis::resizePixelBuffer(*frame, 5, 5, crop);
        benchmark::DoNotOptimize(raster->baseAddress());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(frame->bytesPerRow()) * frame->height());
}

// The yardstick for the scaler: copying the same frame once.
void BM_MemcpyFrame(benchmark::State& state)
{
    const std::size_t size = static_cast<std::size_t>(state.range(0) * state.range(1) * 4);
    std::vector<std::uint8_t> from(size, 7);
    std::vector<std::uint8_t> to(size);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), size);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}

void frameSizes(benchmark::internal::Benchmark* b)
{
    for (const auto& [w, h] : { std::pair { 1920, 1080 }, { 3840, 2160 }, { 100, 56 } })
        for (int crop = 0; crop < 3; ++crop)
            b->Args({ w, h, crop });
}

void BM_SampleAndMessage(benchmark::State& state)
{
    auto raster = analysis::createPixelBuffer(5, 5, media::PixelFormat::BGRA);
    std::mt19937 random(2);
    for (std::size_t i = 0; i < raster->bytesPerRow() * 5; ++i)
        raster->baseAddress()[i] = static_cast<std::uint8_t>(random());
    VideoAnalysis record = analysis::initialVideoAnalysis();
    double elapsed = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        // A two-hour recording's worth of frames, then a new recording.
        if (record.timestamps_size() >= 216000)
            record = analysis::initialVideoAnalysis();
        analysis::sampleFrame(*raster, elapsed, record);
        elapsed += 1.0 / 30;
        const std::string message = analysis::encodeLiveColourMessage(analysis::previewColors(record));
        bytes = message.size();
        benchmark::DoNotOptimize(message.data());
    }
    state.counters["message_bytes"] = static_cast<double>(bytes);
}

void BM_SerializeTwoHours(benchmark::State& state)
{
    VideoAnalysis record = analysis::initialVideoAnalysis();
    std::mt19937 random(3);
    for (std::uint32_t frame = 0; frame < 216000; ++frame) {
        for (auto& channel : *record.mutable_channels()) {
            channel.add_r(random() % 256);
            channel.add_g(random() % 256);
            channel.add_b(random() % 256);
        }
        record.add_timestamps(frame * 100 / 30);
    }
    record.set_signature(std::string(30000, 'x'));
    std::size_t size = 0;
    for (auto _ : state) {
        auto bytes = analysis::serializeVideoAnalysis(record);
        size = bytes->size();
        benchmark::DoNotOptimize(bytes->data());
    }
    state.counters["body_MB"] = static_cast<double>(size) / 1e6;
}

} // namespace

BENCHMARK(BM_MemcpyFrame)->Args({ 1920, 1080 })->Args({ 3840, 2160 })->Args({ 100, 56 });
BENCHMARK(BM_ScaleTo5x5)->Apply(frameSizes);
BENCHMARK(BM_SampleAndMessage);
BENCHMARK(BM_SerializeTwoHours)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

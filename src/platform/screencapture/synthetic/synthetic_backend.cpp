#include "platform/screencapture/synthetic/synthetic_backend.h"

#include "platform/screencapture/host_clock.h"
#include "platform/screencapture/paced_worker.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <numbers>
#include <set>
#include <utility>

namespace corvex::screencapture {

namespace {

constexpr std::int64_t kDefaultFrameInterval = 1'000'000'000 / 60;

class FailureSwitch {
public:
    void set(const CaptureError& error)
    {
        std::lock_guard lock(m_mutex);
        m_error = error;
    }
    /// Fails once with the error set since the last call.
    Result<void, CaptureError> take()
    {
        std::lock_guard lock(m_mutex);
        if (!m_error)
            return Result<void, CaptureError>::success();
        return Result<void, CaptureError>::failure(*std::exchange(m_error, std::nullopt));
    }

private:
    std::mutex m_mutex;
    std::optional<CaptureError> m_error;
};

} // namespace

struct SyntheticBackend::Registry {
    std::mutex mutex;
    std::set<FailureSwitch*> switches;
};

namespace {

// Registers a source's failure switch with the backend for its lifetime.
class Registration {
public:
    Registration(std::shared_ptr<SyntheticBackend::Registry> registry, FailureSwitch* failure)
        : m_registry(std::move(registry))
        , m_failure(failure)
    {
        std::lock_guard lock(m_registry->mutex);
        m_registry->switches.insert(m_failure);
    }
    ~Registration()
    {
        std::lock_guard lock(m_registry->mutex);
        m_registry->switches.erase(m_failure);
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

private:
    std::shared_ptr<SyntheticBackend::Registry> m_registry;
    FailureSwitch* m_failure;
};

class SyntheticVideoSource final : public StreamSource {
public:
    SyntheticVideoSource(
        std::shared_ptr<SyntheticBackend::Registry> registry, int seed, int width, int height, std::int64_t interval)
        : m_registration(std::move(registry), &m_failure)
        , m_seed(seed)
        , m_width(width)
        , m_height(height)
        , m_interval(interval)
    {
    }
    ~SyntheticVideoSource() override { m_worker.stop(); }

    void start(StreamSink& sink) override
    {
        m_worker.start("corvex-synth-v", m_interval, [this, &sink] {
            if (Result<void, CaptureError> healthy = m_failure.take(); !healthy) {
                sink.fail(healthy.error);
                return false;
            }
            sink.deliverVideo(render(m_frameNumber++));
            return true;
        });
    }

private:
    SampleBuffer render(std::int64_t n) const
    {
        SampleBuffer frame = SampleBuffer::videoFrame(m_width, m_height, hostTimeNow());
        std::uint8_t* row = frame.imageBuffer->baseAddress();
        for (int y = 0; y < m_height; ++y, row += frame.imageBuffer->bytesPerRow()) {
            const double v = (y + 0.5) / m_height;
            for (int x = 0; x < m_width; ++x) {
                const std::uint32_t pixel = SyntheticBackend::syntheticPixel(m_seed, n, (x + 0.5) / m_width, v);
                std::memcpy(row + 4 * x, &pixel, 4);
            }
        }
        return frame;
    }

    FailureSwitch m_failure;
    Registration m_registration;
    const int m_seed;
    const int m_width;
    const int m_height;
    const std::int64_t m_interval;
    std::int64_t m_frameNumber = 0;
    PacedWorker m_worker; // last: stopped before the rest goes
};

class SyntheticAudioSource final : public StreamSource {
public:
    explicit SyntheticAudioSource(std::shared_ptr<SyntheticBackend::Registry> registry)
        : m_registration(std::move(registry), &m_failure)
    {
    }
    ~SyntheticAudioSource() override { m_worker.stop(); }

    void start(StreamSink& sink) override
    {
        constexpr auto frames = SyntheticBackend::kFramesPerBuffer;
        const auto interval = static_cast<std::int64_t>(frames * 1e9 / SyntheticBackend::kSampleRate);
        m_worker.start("corvex-synth-a", interval, [this, &sink] {
            if (Result<void, CaptureError> healthy = m_failure.take(); !healthy) {
                sink.fail(healthy.error);
                return false;
            }
            const std::int64_t now = hostTimeNanoseconds();
            if (m_startNanoseconds < 0)
                m_startNanoseconds = now;
            // A sound card does not skip: when this thread was late (a busy
            // machine), the buffers it missed come now, all at once.
            do {
                std::vector<std::vector<float>> channels(SyntheticBackend::kChannels, std::vector<float>(frames));
                for (std::uint32_t i = 0; i < frames; ++i) {
                    const float sample = SyntheticBackend::syntheticSample(m_position + i);
                    for (auto& channel : channels)
                        channel[i] = sample;
                }
                // The time of the buffer's first sample, counted in samples from the start.
                const auto offset = static_cast<std::int64_t>(
                    std::llround(static_cast<double>(m_position) * 1e9 / SyntheticBackend::kSampleRate));
                sink.deliverAudio(SampleBuffer::audio(SyntheticBackend::kSampleRate, std::move(channels),
                    media::MediaTime::fromNanoseconds(m_startNanoseconds + offset)));
                m_position += frames;
            } while (static_cast<double>(m_position + frames) * 1e9 / SyntheticBackend::kSampleRate
                <= static_cast<double>(now - m_startNanoseconds));
            return true;
        });
    }

private:
    FailureSwitch m_failure;
    Registration m_registration;
    std::int64_t m_startNanoseconds = -1;
    std::int64_t m_position = 0;
    PacedWorker m_worker;
};

} // namespace

SyntheticBackend::SyntheticBackend()
    : m_registry(std::make_shared<Registry>())
{
}

SyntheticBackend::~SyntheticBackend() = default;

ShareableContent SyntheticBackend::content()
{
    const RunningApplication player { "corvex-synthetic-player", "Synthetic.Player", 4201 };
    const RunningApplication viewer { "corvex-synthetic-viewer", "Synthetic.Viewer", 4202 };
    ShareableContent content;
    content.displays.push_back({ 1, 1920, 1080, { 0, 0, 1920, 1080 }, "Synthetic display" });
    content.windows.push_back({ 0x400001, { 100, 120, 800, 600 }, "Moving colours", player, true });
    content.windows.push_back({ 0x400002, { 960, 200, 640, 360 }, "Test card", viewer, true });
    content.applications = { player, viewer };
    return content;
}

ShareableContentResult SyntheticBackend::shareableContent(bool, bool)
{
    return ShareableContentResult::success(content());
}

SourceResult SyntheticBackend::createVideoSource(const ContentFilter& filter, const StreamConfiguration& configuration)
{
    const ShareableContent listed = content();
    int seed = -1;
    media::Rect frame;
    if (filter.kind == ContentFilter::Kind::Display && filter.display) {
        for (const Display& display : listed.displays)
            if (display.displayID == filter.display->displayID) {
                seed = 0;
                frame = display.frame;
            }
    } else if (filter.kind == ContentFilter::Kind::Window && filter.window) {
        for (std::size_t i = 0; i < listed.windows.size(); ++i)
            if (listed.windows[i].windowID == filter.window->windowID) {
                seed = static_cast<int>(i) + 1;
                frame = listed.windows[i].frame;
            }
    }
    if (seed < 0)
        return SourceResult::failure({ CaptureError::ContentUnavailable,
            filter.kind == ContentFilter::Kind::Window ? "The window to capture is no longer open."
                                                       : "The display to capture is no longer connected." });
    const int width = configuration.width > 0 ? configuration.width : static_cast<int>(frame.width);
    const int height = configuration.height > 0 ? configuration.height : static_cast<int>(frame.height);
    if (width > 16384 || height > 16384)
        return SourceResult::failure({ CaptureError::InvalidParameter, "The requested frame size is too large." });
    return SourceResult::success(std::make_unique<SyntheticVideoSource>(m_registry, seed, width, height,
        frameIntervalNanoseconds(configuration.minimumFrameInterval, kDefaultFrameInterval)));
}

SourceResult SyntheticBackend::createAudioSource(const StreamConfiguration&)
{
    return SourceResult::success(std::make_unique<SyntheticAudioSource>(m_registry));
}

void SyntheticBackend::failRunningStreams(const CaptureError& error)
{
    std::lock_guard lock(m_registry->mutex);
    for (FailureSwitch* failure : m_registry->switches)
        failure->set(error);
}

std::uint32_t SyntheticBackend::syntheticPixel(int seed, std::int64_t n, double u, double v)
{
    // Diagonal colour bands drifting to the right, a different hue for each seed.
    const auto step = static_cast<std::uint32_t>(n & 0xffff);
    const auto r = static_cast<std::uint32_t>(u * 200) + step * 3 + static_cast<std::uint32_t>(seed) * 70;
    const auto g = static_cast<std::uint32_t>(v * 200) + step * 5;
    const auto b = static_cast<std::uint32_t>((u + v) * 100) + step * 7 + static_cast<std::uint32_t>(seed) * 110;
    return (b & 0xff) | (g & 0xff) << 8 | (r & 0xff) << 16 | 0xffu << 24;
}

float SyntheticBackend::syntheticSample(std::int64_t i)
{
    // A new note every quarter second from a fixed eight-note tune.
    static constexpr double kNotes[] = { 440.0, 523.25, 659.25, 587.33, 493.88, 392.0, 349.23, 783.99 };
    const auto noteLength = static_cast<std::int64_t>(kSampleRate / 4);
    const double frequency = kNotes[(i / noteLength) % 8];
    const double t = static_cast<double>(i % noteLength) / kSampleRate;
    return kAmplitude * static_cast<float>(std::sin(2 * std::numbers::pi * frequency * t));
}

} // namespace corvex::screencapture

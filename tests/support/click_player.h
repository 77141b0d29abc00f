#pragma once

// A video player's side of the flash-and-click tests: it plays a click into
// the sound server (PULSE_SERVER) through a large buffer, kept full as players
// keep theirs, and shows its picture when the click is heard, by the latency
// the server reports to it. And where the click and the flash landed on a
// record's time line.

#include "platform/screencapture/host_clock.h"
#include "platform/screencapture/sample_buffer.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvex::test {

class ClickPlayer {
public:
    ClickPlayer()
    {
        // A 400 ms buffer, as players have.
        const pa_sample_spec sampleSpec { PA_SAMPLE_FLOAT32LE, 48000, 1 };
        const pa_buffer_attr attributes { std::uint32_t(-1), 48000 * 4 * 2 / 5, std::uint32_t(-1), std::uint32_t(-1),
            std::uint32_t(-1) };
        m_stream.reset(pa_simple_new(nullptr, "corvex-test", PA_STREAM_PLAYBACK, nullptr, "click", &sampleSpec, nullptr,
            &attributes, &m_error));
    }
    ClickPlayer(const ClickPlayer&) = delete;
    ClickPlayer& operator=(const ClickPlayer&) = delete;

    bool isOpen() const { return m_stream != nullptr; }
    std::string error() const { return pa_strerror(m_error); }

    /// Plays a second of silence (so the stream runs steadily), then the click,
    /// and calls `show` when the player, by the latency the server reports,
    /// has the click heard: after everything queued before the click's end,
    /// less the click itself. Then silence to the end. Returns when the click
    /// was to be heard (host seconds), or none on an error of the server.
    std::optional<double> playClick(const std::function<void()>& show)
    {
        if (!m_stream)
            return std::nullopt;
        const std::vector<float> silence(480, 0.0f), click(480, 0.8f);
        for (int i = 0; i < 100; ++i)
            if (pa_simple_write(m_stream.get(), silence.data(), silence.size() * 4, &m_error) != 0)
                return std::nullopt;
        if (pa_simple_write(m_stream.get(), click.data(), click.size() * 4, &m_error) != 0)
            return std::nullopt;
        const pa_usec_t latency = pa_simple_get_latency(m_stream.get(), &m_error);
        if (latency == pa_usec_t(-1))
            return std::nullopt;
        m_latency = double(latency) / 1e6;
        const double audible = screencapture::hostTimeNow().seconds() + m_latency - 0.01;
        // The moment the picture is due, as a player's clock schedules it (not a wait for something to happen).
        std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
            std::chrono::nanoseconds(std::int64_t(audible * 1e9))));
        show();
        for (int i = 0; i < 30; ++i)
            if (pa_simple_write(m_stream.get(), silence.data(), silence.size() * 4, &m_error) != 0)
                return std::nullopt;
        if (pa_simple_drain(m_stream.get(), &m_error) != 0)
            return std::nullopt;
        return audible;
    }

    /// The latency the server reported with the click queued, in seconds.
    double latency() const { return m_latency; }

    /// Where in `buffers` the click starts (seconds on their time line), if it is there.
    static std::optional<double> clickIn(const std::vector<screencapture::SampleBuffer>& buffers)
    {
        for (const screencapture::SampleBuffer& buffer : buffers) {
            const auto list = buffer.audioBufferList();
            const auto* samples = static_cast<const float*>(list->channels[0]);
            for (std::uint32_t i = 0; i < list->frameCount; ++i)
                if (samples[i] > 0.4f)
                    return buffer.outputPresentationTimeStamp.seconds() + i / buffer.formatDescription->sampleRate;
        }
        return std::nullopt;
    }

private:
    std::unique_ptr<pa_simple, void (*)(pa_simple*)> m_stream { nullptr, &pa_simple_free };
    int m_error = 0;
    double m_latency = 0;
};

} // namespace corvex::test

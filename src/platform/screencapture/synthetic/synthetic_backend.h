#pragma once

#include "platform/screencapture/capture_backend.h"

#include <cstdint>
#include <memory>

namespace corvex::screencapture {

/// A screen and a sound that exist only in memory, for tests, benchmarks and
/// demonstrations on machines without a display: one display and two windows
/// whose frames are moving colour patterns, and a tune of pure tones. The
/// pixels of frame n and the samples are functions of n and the sample index
/// alone, so they can be predicted (syntheticPixel, syntheticSample).
class SyntheticBackend final : public CaptureBackend {
public:
    static constexpr double kSampleRate = 48000;
    static constexpr std::uint32_t kChannels = 2;
    static constexpr std::uint32_t kFramesPerBuffer = 960; // 20 ms
    static constexpr float kAmplitude = 0.5f;

    SyntheticBackend();
    ~SyntheticBackend() override;

    std::string name() const override { return "synthetic"; }
    ShareableContentResult shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) override;
    SourceResult createVideoSource(const ContentFilter& filter, const StreamConfiguration& configuration) override;
    SourceResult createAudioSource(const StreamConfiguration& configuration) override;

    /// The content the backend lists.
    static ShareableContent content();

    /// Makes every running stream of this backend stop with the error (as a
    /// lost display would).
    void failRunningStreams(const CaptureError& error);

    /// BGRA bytes of frame `n` of content `seed` (0 the display, 1 and 2 the
    /// windows) at fraction (u, v) of its width and height.
    static std::uint32_t syntheticPixel(int seed, std::int64_t n, double u, double v);
    /// Sample `i` (counted from the start of the stream) of the tune.
    static float syntheticSample(std::int64_t i);

    struct Registry;

private:
    std::shared_ptr<Registry> m_registry;
};

} // namespace corvex::screencapture

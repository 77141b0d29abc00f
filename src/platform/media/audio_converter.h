#pragma once

#include "platform/media/audio_format.h"
#include "platform/media/pcm_buffer.h"
#include "platform/result.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct SwrContext;

namespace corvex::media {

/// Converts a stream of PCM buffers of one format to mono at another rate, in
/// 32-bit float or 16-bit integers: channels are mixed down and resampled in
/// one pass by FFmpeg's resampler, set as the fingerprinting library's own
/// tool sets it (so that a signature made from our samples is the one that
/// tool computes for the same sound), with its state carried over from one
/// call to the next, so consecutive buffers join without a seam. Made for one
/// input format; a stream whose format changes needs a new converter.
class AudioConverter final {
public:
    enum class InputStatus {
        HaveData = 0, // the block returns a buffer
        NoDataNow = 1, // nothing more in this call
        EndOfStream = 2 // nothing more ever: the filter's tail is flushed
    };
    enum class OutputStatus {
        HaveData = 0, // the output buffer is full
        InputRanDry = 1, // the output holds all that the input gave
        EndOfStream = 2, // everything, the filter's tail included, has been output
    };
    /// Asked for input until it says there is no more for now. The buffer it
    /// returns must stay valid until the next call of the block or the end of
    /// convert().
    using InputBlock = std::function<const PcmBuffer*(InputStatus& status)>;

    /// Null when the formats cannot be converted: the output must be mono,
    /// planar, 32-bit float or 16-bit integers; the input any sample kind,
    /// layout and channel count; both rates whole numbers of hertz above 0.
    static std::unique_ptr<AudioConverter> create(const AudioFormat& input, const AudioFormat& output);
    ~AudioConverter();
    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;

    const AudioFormat& inputFormat() const { return m_input; }
    const AudioFormat& outputFormat() const { return m_output; }
    /// Converted frames waiting for an output buffer with room for them.
    std::size_t pendingFrames() const { return m_pendingFrames; }

    /// Fills `output` (from its start; its frame length is set) with converted
    /// audio, pulling input from the block. A failure says why; what was
    /// converted before it is in `output` all the same.
    Result<OutputStatus, std::string> convert(PcmBuffer& output, const InputBlock& input);

private:
    AudioConverter(const AudioFormat& input, const AudioFormat& output, SwrContext* resampler);
    /// Resamples the buffer (or, with none, the filter's tail) into m_pending.
    Result<void, std::string> resample(const PcmBuffer* buffer);
    std::uint32_t drainInto(PcmBuffer& output, std::uint32_t written);

    AudioFormat m_input;
    AudioFormat m_output;
    SwrContext* m_resampler;
    std::vector<const std::uint8_t*> m_inputs;
    // Converted samples waiting for room in an output buffer, in the output's sample kind.
    std::vector<std::byte> m_pending;
    std::size_t m_pendingStart = 0; // in frames
    std::size_t m_pendingFrames = 0;
    bool m_ended = false;
};

} // namespace corvex::media

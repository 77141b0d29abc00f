#pragma once

#include "platform/media/audio_format.h"
#include "platform/media/pcm_buffer.h"
#include "platform/result.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvex::media {

/// Converts a stream of PCM buffers of one format to mono 32-bit float at
/// another rate: channels are averaged, then resampled with a high-quality
/// filter whose state carries over from one call to the next, so consecutive
/// buffers join without a seam. Made for one input format; a stream whose
/// format changes needs a new converter.
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

    /// Null when the formats cannot be converted: the output must be mono
    /// 32-bit float, planar; the input any sample kind, layout, channel count
    /// and a finite rate above 0.
    static std::unique_ptr<AudioConverter> create(const AudioFormat& input, const AudioFormat& output);
    ~AudioConverter();
    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;

    const AudioFormat& inputFormat() const { return m_input; }
    const AudioFormat& outputFormat() const { return m_output; }
    /// Converted frames waiting for an output buffer with room for them.
    std::size_t pendingFrames() const { return m_pending.size() - m_pendingStart; }

    /// Fills `output` (from its start; its frame length is set) with converted
    /// audio, pulling input from the block. A failure says why; what was
    /// converted before it is in `output` all the same.
    Result<OutputStatus, std::string> convert(PcmBuffer& output, const InputBlock& input);

private:
    AudioConverter(const AudioFormat& input, const AudioFormat& output, void* resampler);
    Result<void, std::string> resample(const float* mono, std::size_t frames, bool flush);
    std::uint32_t drainInto(PcmBuffer& output, std::uint32_t written);

    AudioFormat m_input;
    AudioFormat m_output;
    void* m_resampler; // soxr_t
    std::vector<float> m_mono;
    std::vector<float> m_resampled;
    std::vector<float> m_pending;
    std::size_t m_pendingStart = 0;
    bool m_ended = false;
};

} // namespace corvex::media

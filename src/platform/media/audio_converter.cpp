#include "platform/media/audio_converter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace corvex::media {

namespace {

soxr_t resamplerOf(void* handle)
{
    return static_cast<soxr_t>(handle);
}

// Averages the channels of one buffer into mono float samples.
void downMix(const PcmBuffer& buffer, std::vector<float>& mono)
{
    const std::uint32_t frames = buffer.frameLength();
    const std::uint32_t channels = buffer.format().channelCount;
    const std::size_t stride = buffer.stride();
    mono.assign(frames, 0.0f);
    for (std::uint32_t c = 0; c < channels; ++c) {
        if (const float* f = buffer.floatChannel(c)) {
            for (std::uint32_t i = 0; i < frames; ++i)
                mono[i] += f[i * stride];
        } else if (const std::int16_t* s = buffer.int16Channel(c)) {
            for (std::uint32_t i = 0; i < frames; ++i)
                mono[i] += static_cast<float>(s[i * stride]) / 32768.0f;
        } else if (const std::int32_t* l = buffer.int32Channel(c)) {
            for (std::uint32_t i = 0; i < frames; ++i)
                mono[i] += static_cast<float>(static_cast<double>(l[i * stride]) / 2147483648.0);
        }
    }
    if (channels > 1) {
        const float scale = 1.0f / static_cast<float>(channels);
        for (float& sample : mono)
            sample *= scale;
    }
}

} // namespace

std::unique_ptr<AudioConverter> AudioConverter::create(const AudioFormat& input, const AudioFormat& output)
{
    if (!input.isValid() || !std::isfinite(input.sampleRate) || input.channelCount > 64)
        return nullptr;
    if (!output.isValid() || !std::isfinite(output.sampleRate) || output.channelCount != 1
        || output.sampleKind != SampleKind::Float32 || output.interleaved)
        return nullptr;
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_t resampler = soxr_create(input.sampleRate, output.sampleRate, 1, &error, &io, &quality, nullptr);
    if (error != nullptr || resampler == nullptr)
        return nullptr;
    return std::unique_ptr<AudioConverter>(new AudioConverter(input, output, resampler));
}

AudioConverter::AudioConverter(const AudioFormat& input, const AudioFormat& output, void* resampler)
    : m_input(input)
    , m_output(output)
    , m_resampler(resampler)
{
}

AudioConverter::~AudioConverter()
{
    soxr_delete(resamplerOf(m_resampler));
}

Result<void, std::string> AudioConverter::resample(const float* mono, std::size_t frames, bool flush)
{
    using Resampled = Result<void, std::string>;
    if (!flush && frames == 0)
        return Resampled::success();
    // Room for this chunk's share plus what the filter may still hold back.
    const double ratio = m_output.sampleRate / m_input.sampleRate;
    m_resampled.resize(static_cast<std::size_t>(static_cast<double>(frames) * ratio) + 1024);
    std::size_t consumed = 0;
    const bool flushing = flush;
    for (;;) {
        std::size_t produced = 0;
        std::size_t used = 0;
        const soxr_error_t failure = soxr_process(resamplerOf(m_resampler), flushing ? nullptr : mono + consumed,
            flushing ? 0 : frames - consumed, &used, m_resampled.data(), m_resampled.size(), &produced);
        if (failure != nullptr)
            return Resampled::failure(std::string("resampling failed: ") + failure);
        consumed += used;
        m_pending.insert(
            m_pending.end(), m_resampled.begin(), m_resampled.begin() + static_cast<std::ptrdiff_t>(produced));
        // Go on while the filter still has output for us or input is left.
        if (flushing ? produced == 0 : (consumed >= frames && produced < m_resampled.size()))
            return Resampled::success();
    }
}

std::uint32_t AudioConverter::drainInto(PcmBuffer& output, std::uint32_t written)
{
    float* out = output.floatChannel(0);
    const std::size_t take = std::min<std::size_t>(pendingFrames(), output.frameCapacity() - written);
    std::copy_n(m_pending.begin() + static_cast<std::ptrdiff_t>(m_pendingStart), take, out + written);
    m_pendingStart += take;
    if (m_pendingStart == m_pending.size()) {
        m_pending.clear();
        m_pendingStart = 0;
    } else if (m_pendingStart > 65536) {
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(m_pendingStart));
        m_pendingStart = 0;
    }
    return written + static_cast<std::uint32_t>(take);
}

Result<AudioConverter::OutputStatus, std::string> AudioConverter::convert(PcmBuffer& output, const InputBlock& input)
{
    using Converted = Result<OutputStatus, std::string>;
    if (!(output.format() == m_output))
        return Converted::failure("the output buffer is not in the converter's output format");
    std::uint32_t written = drainInto(output, 0);
    while (written < output.frameCapacity() && !m_ended) {
        InputStatus status = InputStatus::NoDataNow;
        const PcmBuffer* buffer = input(status);
        if (status == InputStatus::NoDataNow) {
            output.setFrameLength(written);
            return Converted::success(OutputStatus::InputRanDry);
        }
        if (status == InputStatus::EndOfStream) {
            if (Result<void, std::string> flushed = resample(nullptr, 0, true); !flushed) {
                output.setFrameLength(written);
                return Converted::failure(std::move(flushed.error));
            }
            m_ended = true;
        } else {
            if (buffer == nullptr || !(buffer->format() == m_input)) {
                output.setFrameLength(written);
                return Converted::failure(buffer == nullptr
                        ? "the input block returned no buffer"
                        : "the input buffer is not in the converter's input format");
            }
            downMix(*buffer, m_mono);
            if (Result<void, std::string> resampled = resample(m_mono.data(), m_mono.size(), false); !resampled) {
                output.setFrameLength(written);
                return Converted::failure(std::move(resampled.error));
            }
        }
        written = drainInto(output, written);
    }
    output.setFrameLength(written);
    if (m_ended && pendingFrames() == 0)
        return Converted::success(OutputStatus::EndOfStream);
    return Converted::success(OutputStatus::HaveData);
}

} // namespace corvex::media

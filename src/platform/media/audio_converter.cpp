#include "platform/media/audio_converter.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <climits>
#include <optional>
#include <cmath>
#include <cstring>

namespace corvex::media {

namespace {

std::optional<int> wholeRate(double rate)
{
    if (!(rate >= 1 && rate <= INT_MAX) || std::floor(rate) != rate)
        return std::nullopt;
    return static_cast<int>(rate);
}

AVSampleFormat sampleFormatOf(const AudioFormat& format)
{
    switch (format.sampleKind) {
    case SampleKind::Float32:
        return format.interleaved ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_FLTP;
    case SampleKind::Int16:
        return format.interleaved ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S16P;
    case SampleKind::Int32:
        return format.interleaved ? AV_SAMPLE_FMT_S32 : AV_SAMPLE_FMT_S32P;
    }
    return AV_SAMPLE_FMT_NONE;
}

} // namespace

std::unique_ptr<AudioConverter> AudioConverter::create(const AudioFormat& input, const AudioFormat& output)
{
    const std::optional<int> inputRate = wholeRate(input.sampleRate);
    const std::optional<int> outputRate = wholeRate(output.sampleRate);
    if (!input.isValid() || !inputRate || input.channelCount > 64)
        return nullptr;
    if (!output.isValid() || !outputRate || output.channelCount != 1 || output.interleaved
        || output.sampleKind == SampleKind::Int32)
        return nullptr;
    AVChannelLayout inputLayout {};
    av_channel_layout_default(&inputLayout, static_cast<int>(input.channelCount));
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    SwrContext* resampler = nullptr;
    int status = swr_alloc_set_opts2(&resampler, &mono, sampleFormatOf(output), *outputRate, &inputLayout,
        sampleFormatOf(input), *inputRate, 0, nullptr);
    if (status >= 0) {
        // What the fingerprinting library's tool sets: a short filter with
        // linear interpolation between phases. With 16-bit output, the mix and
        // the filter run on 16-bit integers, as that tool's do for 16-bit sound.
        av_opt_set_int(resampler, "resampler", SWR_ENGINE_SWR, 0);
        av_opt_set_int(resampler, "filter_size", 16, 0);
        av_opt_set_int(resampler, "phase_shift", 8, 0);
        av_opt_set_int(resampler, "linear_interp", 1, 0);
        av_opt_set_double(resampler, "cutoff", 0.8, 0);
        if (output.sampleKind == SampleKind::Int16)
            av_opt_set_sample_fmt(resampler, "internal_sample_fmt", AV_SAMPLE_FMT_S16P, 0);
        // The channels are averaged, whatever their layout: for stereo that is
        // the resampler's own mix, and the level of a sound heard on every
        // channel stays what it is.
        const std::vector<double> matrix(input.channelCount, 1.0 / input.channelCount);
        status = swr_set_matrix(resampler, matrix.data(), static_cast<int>(input.channelCount));
    }
    if (status >= 0)
        status = swr_init(resampler);
    av_channel_layout_uninit(&inputLayout);
    if (status < 0) {
        swr_free(&resampler);
        return nullptr;
    }
    return std::unique_ptr<AudioConverter>(new AudioConverter(input, output, resampler));
}

AudioConverter::AudioConverter(const AudioFormat& input, const AudioFormat& output, SwrContext* resampler)
    : m_input(input)
    , m_output(output)
    , m_resampler(resampler)
{
}

AudioConverter::~AudioConverter()
{
    swr_free(&m_resampler);
}

Result<void, std::string> AudioConverter::resample(const PcmBuffer* buffer)
{
    using Resampled = Result<void, std::string>;
    const std::size_t bytesPerFrame = m_output.bytesPerSample();
    const int frames = buffer != nullptr ? static_cast<int>(buffer->frameLength()) : 0;
    if (buffer != nullptr) {
        if (frames == 0)
            return Resampled::success();
        m_inputs.clear();
        for (std::uint32_t c = 0; c < (m_input.interleaved ? 1 : m_input.channelCount); ++c) {
            void* start = buffer->floatChannel(c);
            if (start == nullptr)
                start = buffer->int16Channel(c);
            if (start == nullptr)
                start = buffer->int32Channel(c);
            m_inputs.push_back(static_cast<const std::uint8_t*>(start));
        }
    }
    // Keep what is still waiting at the front, and make room for this buffer's share.
    if (m_pendingStart > 0) {
        std::memmove(m_pending.data(), m_pending.data() + m_pendingStart * bytesPerFrame,
            m_pendingFrames * bytesPerFrame);
        m_pendingStart = 0;
    }
    for (;;) {
        const int room = std::max(swr_get_out_samples(m_resampler, frames), 0) + 64;
        m_pending.resize((m_pendingFrames + static_cast<std::size_t>(room)) * bytesPerFrame);
        std::uint8_t* out = reinterpret_cast<std::uint8_t*>(m_pending.data() + m_pendingFrames * bytesPerFrame);
        const int produced
            = swr_convert(m_resampler, &out, room, buffer != nullptr ? m_inputs.data() : nullptr, frames);
        if (produced < 0) {
            char text[AV_ERROR_MAX_STRING_SIZE] = {};
            av_strerror(produced, text, sizeof text);
            return Resampled::failure(std::string("resampling failed: ") + text);
        }
        m_pendingFrames += static_cast<std::size_t>(produced);
        // Flushing goes on while the filter still gives something.
        if (buffer != nullptr || produced == 0)
            return Resampled::success();
    }
}

std::uint32_t AudioConverter::drainInto(PcmBuffer& output, std::uint32_t written)
{
    const std::size_t bytesPerFrame = m_output.bytesPerSample();
    void* out = output.floatChannel(0);
    if (out == nullptr)
        out = output.int16Channel(0);
    const std::size_t take = std::min<std::size_t>(m_pendingFrames, output.frameCapacity() - written);
    if (take == 0)
        return written; // nothing pending: the buffer may not even exist yet, and memcpy wants a real one
    std::memcpy(static_cast<std::byte*>(out) + written * bytesPerFrame,
        m_pending.data() + m_pendingStart * bytesPerFrame, take * bytesPerFrame);
    m_pendingStart += take;
    m_pendingFrames -= take;
    if (m_pendingFrames == 0)
        m_pendingStart = 0;
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
        if (status == InputStatus::HaveData && (buffer == nullptr || !(buffer->format() == m_input))) {
            output.setFrameLength(written);
            return Converted::failure(buffer == nullptr ? "the input block returned no buffer"
                                                        : "the input buffer is not in the converter's input format");
        }
        const PcmBuffer* given = status == InputStatus::EndOfStream ? nullptr : buffer;
        if (Result<void, std::string> resampled = resample(given); !resampled) {
            output.setFrameLength(written);
            return Converted::failure(std::move(resampled.error));
        }
        m_ended = given == nullptr;
        written = drainInto(output, written);
    }
    output.setFrameLength(written);
    if (m_ended && pendingFrames() == 0)
        return Converted::success(OutputStatus::EndOfStream);
    return Converted::success(OutputStatus::HaveData);
}

} // namespace corvex::media

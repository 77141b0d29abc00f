#include "platform/mediafile/audio_resampling.h"

extern "C" {
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstdint>

namespace corvex::mediafile::detail {

AudioResampling::~AudioResampling()
{
    swr_free(&m_context);
    av_channel_layout_uninit(&m_layout);
}

bool AudioResampling::convert(const AVFrame* decoded, std::vector<std::vector<float>>& channels)
{
    const int count = decoded->ch_layout.nb_channels;
    const auto samples = static_cast<std::size_t>(decoded->nb_samples);
    channels.resize(static_cast<std::size_t>(count));
    // The two formats most sound comes in are copied or converted here,
    // straight onto the end of each channel (a resampler's call and the
    // zeroing of the room it writes into cost more than the conversion).
    if (decoded->format == AV_SAMPLE_FMT_FLTP) {
        for (int c = 0; c < count; ++c) {
            const auto* in = reinterpret_cast<const float*>(decoded->extended_data[c]);
            channels[std::size_t(c)].insert(channels[std::size_t(c)].end(), in, in + samples);
        }
        return true;
    }
    if (decoded->format == AV_SAMPLE_FMT_S16) {
        // As the resampler converts: exactly, by a power of two. Stereo, the
        // most common, is taken apart in one pass.
        constexpr float kScale = 1.0f / 32768.0f;
        const auto* in = reinterpret_cast<const std::int16_t*>(decoded->extended_data[0]);
        m_scratch.resize(samples * 2);
        float* first = m_scratch.data();
        float* second = first + samples;
        if (count == 2) {
            for (std::size_t i = 0; i < samples; ++i) {
                first[i] = static_cast<float>(in[2 * i]) * kScale;
                second[i] = static_cast<float>(in[2 * i + 1]) * kScale;
            }
            channels[0].insert(channels[0].end(), first, first + samples);
            channels[1].insert(channels[1].end(), second, second + samples);
            return true;
        }
        for (int c = 0; c < count; ++c) {
            for (std::size_t i = 0; i < samples; ++i)
                first[i] = static_cast<float>(in[i * std::size_t(count) + std::size_t(c)]) * kScale;
            channels[std::size_t(c)].insert(channels[std::size_t(c)].end(), first, first + samples);
        }
        return true;
    }
    const std::size_t start = channels.front().size();
    for (std::vector<float>& channel : channels)
        channel.resize(start + samples);
    const auto keep = [&](std::size_t size) {
        for (std::vector<float>& channel : channels)
            channel.resize(size);
    };
    if (!m_context || m_format != decoded->format || m_rate != decoded->sample_rate
        || av_channel_layout_compare(&m_layout, &decoded->ch_layout) != 0) {
        swr_free(&m_context);
        av_channel_layout_uninit(&m_layout);
        av_channel_layout_copy(&m_layout, &decoded->ch_layout);
        if (swr_alloc_set_opts2(&m_context, &m_layout, AV_SAMPLE_FMT_FLTP, decoded->sample_rate, &m_layout,
                static_cast<AVSampleFormat>(decoded->format), decoded->sample_rate, 0, nullptr)
                < 0
            || swr_init(m_context) < 0) {
            swr_free(&m_context);
            keep(start);
            return false;
        }
        m_format = decoded->format;
        m_rate = decoded->sample_rate;
    }
    m_outputs.resize(static_cast<std::size_t>(count));
    for (int c = 0; c < count; ++c)
        m_outputs[std::size_t(c)] = reinterpret_cast<std::uint8_t*>(channels[std::size_t(c)].data() + start);
    const int converted = swr_convert(m_context, m_outputs.data(), decoded->nb_samples,
        const_cast<const std::uint8_t**>(decoded->extended_data), decoded->nb_samples);
    keep(start + std::size_t(std::max(converted, 0)));
    return converted >= 0;
}

} // namespace corvex::mediafile::detail

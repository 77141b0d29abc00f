#include "platform/mediafile/audio_resampling.h"

extern "C" {
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstring>

namespace corvex::mediafile::detail {

AudioResampling::~AudioResampling()
{
    swr_free(&m_context);
    av_channel_layout_uninit(&m_layout);
}

bool AudioResampling::convert(AVFrame* decoded, std::vector<std::vector<float>>& channels)
{
    const int count = decoded->ch_layout.nb_channels;
    const auto samples = static_cast<std::size_t>(decoded->nb_samples);
    channels.resize(static_cast<std::size_t>(count));
    const std::size_t start = channels.front().size();
    for (std::vector<float>& channel : channels)
        channel.resize(start + samples);
    if (decoded->format == AV_SAMPLE_FMT_FLTP) {
        for (int c = 0; c < count; ++c)
            std::memcpy(channels[std::size_t(c)].data() + start, decoded->extended_data[c], sizeof(float) * samples);
        return true;
    }
    const auto keep = [&](std::size_t size) {
        for (std::vector<float>& channel : channels)
            channel.resize(size);
    };
    if (!m_context || m_format != decoded->format || m_rate != decoded->sample_rate
        || av_channel_layout_compare(&m_layout, &decoded->ch_layout) != 0) {
        swr_free(&m_context);
        if (swr_alloc_set_opts2(&m_context, &decoded->ch_layout, AV_SAMPLE_FMT_FLTP, decoded->sample_rate,
                &decoded->ch_layout, static_cast<AVSampleFormat>(decoded->format), decoded->sample_rate, 0, nullptr)
                < 0
            || swr_init(m_context) < 0) {
            swr_free(&m_context);
            keep(start);
            return false;
        }
        m_format = decoded->format;
        m_rate = decoded->sample_rate;
        av_channel_layout_uninit(&m_layout);
        av_channel_layout_copy(&m_layout, &decoded->ch_layout);
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

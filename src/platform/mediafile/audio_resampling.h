#pragma once

#include "platform/mediafile/reader_internals.h"

#include <vector>

struct SwrContext;

namespace corvex::mediafile::detail {

/// Turns decoded sound of any sample format into planar 32-bit float at its
/// own rate and channels, as the reader hands it out.
class AudioResampling final {
public:
    AudioResampling() = default;
    ~AudioResampling();
    AudioResampling(const AudioResampling&) = delete;
    AudioResampling& operator=(const AudioResampling&) = delete;

    /// Appends the frame's samples to `channels` (one vector per channel, as
    /// many as the frame has); false, with `channels` as it was, when they cannot be converted.
    bool convert(const AVFrame* decoded, std::vector<std::vector<float>>& channels);

private:
    SwrContext* m_context = nullptr;
    int m_format = -1;
    int m_rate = 0;
    AVChannelLayout m_layout {};
    std::vector<std::uint8_t*> m_outputs;
    std::vector<float> m_scratch; // one channel of a frame, converted
};

} // namespace corvex::mediafile::detail

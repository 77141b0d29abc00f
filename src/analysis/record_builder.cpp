#include "analysis/record_builder.h"

#include <limits>

namespace corvex::analysis {

void RecordBuilder::reserve(std::size_t frames)
{
    m_timestamps.reserve(frames);
    m_colours.reserve(frames);
}

void RecordBuilder::append(std::uint32_t timestamp, const ChannelColours& colours)
{
    m_timestamps.push_back(timestamp);
    m_colours.push_back(colours);
}

PreviewColors RecordBuilder::newestColours() const
{
    PreviewColors colours;
    for (std::size_t i = 0; i < kChannelGrid.size(); ++i) {
        RGB newest;
        if (!m_colours.empty()) {
            const std::array<std::uint8_t, 3>& rgb = m_colours.back()[i];
            newest = RGB { rgb[0], rgb[1], rgb[2] };
        }
        colours[std::to_string(kChannelGrid[i].x) + std::to_string(kChannelGrid[i].y)] = newest;
    }
    return colours;
}

std::optional<QByteArray> RecordBuilder::encode(const std::string& signature) const
{
    // The message exists only while it is encoded.
    VideoAnalysis record = initialVideoAnalysis();
    const int frames = static_cast<int>(m_timestamps.size());
    record.mutable_timestamps()->Reserve(frames);
    record.mutable_timestamps()->Add(m_timestamps.begin(), m_timestamps.end());
    for (std::size_t i = 0; i < kChannelGrid.size(); ++i) {
        VideoAnalysis::Channel* channel = record.mutable_channels(static_cast<int>(i));
        google::protobuf::RepeatedField<std::uint32_t>* const lists[] { channel->mutable_r(), channel->mutable_g(),
            channel->mutable_b() };
        for (std::size_t c = 0; c < 3; ++c) {
            lists[c]->Reserve(frames);
            for (const ChannelColours& frame : m_colours)
                lists[c]->AddAlreadyReserved(frame[i][c]);
        }
    }
    record.set_signature(signature);
    const std::size_t size = record.ByteSizeLong();
    if (size > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return std::nullopt;
    QByteArray bytes(static_cast<qsizetype>(size), Qt::Uninitialized);
    if (!record.SerializeToArray(bytes.data(), static_cast<int>(size)))
        return std::nullopt;
    return bytes;
}

} // namespace corvex::analysis

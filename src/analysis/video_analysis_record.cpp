#include "analysis/video_analysis_record.h"

#include <string>

namespace corvex::analysis {

namespace {

std::string n(std::uint64_t value)
{
    return std::to_string(value);
}

std::string at(int index, const VideoAnalysis::Channel& channel)
{
    return "channel " + n(static_cast<std::uint64_t>(index)) + " (" + n(channel.x()) + ", " + n(channel.y()) + ")";
}

} // namespace

VideoAnalysis initialVideoAnalysis()
{
    VideoAnalysis record;
    record.mutable_channels()->Reserve(static_cast<int>(kChannelGrid.size()));
    for (const GridPosition& position : kChannelGrid) {
        VideoAnalysis::Channel* channel = record.add_channels();
        channel->set_x(position.x);
        channel->set_y(position.y);
    }
    return record;
}

std::optional<std::string> serializeVideoAnalysis(const VideoAnalysis& record)
{
    std::string bytes;
    if (!record.SerializeToString(&bytes))
        return std::nullopt;
    return bytes;
}

std::optional<std::string> findInvariantViolation(const VideoAnalysis& record)
{
    if (record.channels_size() != static_cast<int>(kChannelGrid.size()))
        return "expected 9 channels, found " + n(static_cast<std::uint64_t>(record.channels_size()));

    const int frames = record.timestamps_size();
    for (int i = 0; i < record.channels_size(); ++i) {
        const VideoAnalysis::Channel& channel = record.channels(i);
        const GridPosition& expected = kChannelGrid[static_cast<std::size_t>(i)];
        if (channel.x() != expected.x || channel.y() != expected.y)
            return at(i, channel) + " is not at its grid position (" + n(expected.x) + ", " + n(expected.y) + ")";
        const struct {
            const char* name;
            const google::protobuf::RepeatedField<std::uint32_t>& values;
        } lists[] = { { "r", channel.r() }, { "g", channel.g() }, { "b", channel.b() } };
        for (const auto& list : lists) {
            if (list.values.size() != frames)
                return at(i, channel) + " has " + n(static_cast<std::uint64_t>(list.values.size())) + " " + list.name
                    + " values for " + n(static_cast<std::uint64_t>(frames)) + " time stamps";
            for (int k = 0; k < list.values.size(); ++k) {
                if (list.values.Get(k) > 255)
                    return at(i, channel) + " " + list.name + " value " + n(list.values.Get(k)) + " at frame "
                        + n(static_cast<std::uint64_t>(k)) + " is above 255";
            }
        }
    }
    for (int k = 1; k < frames; ++k) {
        if (record.timestamps(k) < record.timestamps(k - 1))
            return "time stamp " + n(record.timestamps(k)) + " at frame " + n(static_cast<std::uint64_t>(k))
                + " is earlier than the one before it (" + n(record.timestamps(k - 1)) + ")";
    }
    return std::nullopt;
}

} // namespace corvex::analysis

#pragma once

#include "analysis/live_colour_message.h"
#include "analysis/video_analysis_record.h"

#include <QByteArray>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvex::analysis {

/// The record while it is built, in a quarter of the memory the message would
/// take: a colour value is a byte here and four bytes in a message's list, and
/// a two-hour film has some 200 000 frames of 27 values. The message is made
/// only when the record is encoded, at the end, when the capture or the
/// decoder has given its memory back.
class RecordBuilder {
public:
    /// Makes room for this many frames at once.
    void reserve(std::size_t frames);
    void append(std::uint32_t timestamp, const ChannelColours& colours);
    std::size_t frameCount() const { return m_timestamps.size(); }
    /// The newest colour of every channel, as previewColors() gives it for the message.
    PreviewColors newestColours() const;
    /// The record with this signature in binary form; none when it is larger
    /// than a message may be (2 GB). The frames are kept.
    std::optional<QByteArray> encode(const std::string& signature) const;

private:
    std::vector<std::uint32_t> m_timestamps;
    std::vector<ChannelColours> m_colours;
};

} // namespace corvex::analysis

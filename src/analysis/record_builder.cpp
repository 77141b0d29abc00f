#include "analysis/record_builder.h"

#include <cstring>
#include <limits>

namespace corvex::analysis {

namespace {

// The message's field tags (field number << 3 | 2, a length-delimited field):
// VideoAnalysis.timestamps, .channels, .signature, and Channel.r, .g, .b; the
// channel's x and y are varints (field number << 3).
constexpr std::uint8_t kTimestampsTag = 0x0a;
constexpr std::uint8_t kChannelTag = 0x12;
constexpr std::uint8_t kSignatureTag = 0x1a;
constexpr std::uint8_t kXTag = 0x08;
constexpr std::uint8_t kYTag = 0x10;
constexpr std::array<std::uint8_t, 3> kColourTags { 0x1a, 0x22, 0x2a };

std::uint64_t varintSize(std::uint64_t value)
{
    std::uint64_t size = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++size;
    }
    return size;
}

char* putVarint(char* out, std::uint64_t value)
{
    while (value >= 0x80) {
        *out++ = static_cast<char>((value & 0x7f) | 0x80);
        value >>= 7;
    }
    *out++ = static_cast<char>(value);
    return out;
}

// A length-delimited field's size with its tag and length.
std::uint64_t fieldSize(std::uint64_t payload)
{
    return 1 + varintSize(payload) + payload;
}

} // namespace

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
    const std::size_t frames = m_timestamps.size();
    // First the size of every list, which its field's length gives ahead of it.
    std::uint64_t timestampBytes = 0;
    for (const std::uint32_t timestamp : m_timestamps)
        timestampBytes += varintSize(timestamp);
    std::array<std::array<std::uint64_t, 3>, 9> listBytes {};
    for (const ChannelColours& frame : m_colours)
        for (std::size_t i = 0; i < frame.size(); ++i)
            for (std::size_t c = 0; c < 3; ++c)
                listBytes[i][c] += frame[i][c] >= 0x80 ? 2 : 1;
    std::array<std::uint64_t, 9> channelBytes {};
    std::uint64_t total = frames > 0 ? fieldSize(timestampBytes) : 0;
    for (std::size_t i = 0; i < kChannelGrid.size(); ++i) {
        const GridPosition& position = kChannelGrid[i];
        channelBytes[i] = (position.x != 0 ? 1 + varintSize(position.x) : 0)
            + (position.y != 0 ? 1 + varintSize(position.y) : 0);
        if (frames > 0)
            for (const std::uint64_t bytes : listBytes[i])
                channelBytes[i] += fieldSize(bytes);
        total += fieldSize(channelBytes[i]);
    }
    if (!signature.empty())
        total += fieldSize(signature.size());
    if (total > static_cast<std::uint64_t>(std::numeric_limits<int>::max()))
        return std::nullopt;

    QByteArray bytes(static_cast<qsizetype>(total), Qt::Uninitialized);
    char* out = bytes.data();
    if (frames > 0) {
        *out++ = static_cast<char>(kTimestampsTag);
        out = putVarint(out, timestampBytes);
        for (const std::uint32_t timestamp : m_timestamps)
            out = putVarint(out, timestamp);
    }
    for (std::size_t i = 0; i < kChannelGrid.size(); ++i) {
        const GridPosition& position = kChannelGrid[i];
        *out++ = static_cast<char>(kChannelTag);
        out = putVarint(out, channelBytes[i]);
        if (position.x != 0) {
            *out++ = static_cast<char>(kXTag);
            out = putVarint(out, position.x);
        }
        if (position.y != 0) {
            *out++ = static_cast<char>(kYTag);
            out = putVarint(out, position.y);
        }
        if (frames == 0)
            continue;
        for (std::size_t c = 0; c < 3; ++c) {
            *out++ = static_cast<char>(kColourTags[c]);
            out = putVarint(out, listBytes[i][c]);
            for (const ChannelColours& frame : m_colours)
                out = putVarint(out, frame[i][c]);
        }
    }
    if (!signature.empty()) {
        *out++ = static_cast<char>(kSignatureTag);
        out = putVarint(out, signature.size());
        std::memcpy(out, signature.data(), signature.size());
    }
    return bytes;
}

} // namespace corvex::analysis

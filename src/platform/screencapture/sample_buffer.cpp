#include "platform/screencapture/sample_buffer.h"

#include <cstring>

namespace corvex::screencapture {

AttachmentDictionary rectDictionary(const media::Rect& rect)
{
    return { { "X", rect.x }, { "Y", rect.y }, { "Width", rect.width }, { "Height", rect.height } };
}

std::optional<media::Rect> rectFromDictionary(const AttachmentValue& value)
{
    const auto* dictionary = std::get_if<AttachmentDictionary>(&value);
    if (dictionary == nullptr)
        return std::nullopt;
    const auto x = dictionary->find("X");
    const auto y = dictionary->find("Y");
    const auto width = dictionary->find("Width");
    const auto height = dictionary->find("Height");
    const auto end = dictionary->end();
    if (x == end || y == end || width == end || height == end)
        return std::nullopt;
    return media::Rect { x->second, y->second, width->second, height->second };
}

std::optional<AudioBufferList> SampleBuffer::audioBufferList() const
{
    if (!audioSamples || audioSamples->empty())
        return std::nullopt;
    AudioBufferList list;
    list.frameCount = static_cast<std::uint32_t>(audioSamples->front().size());
    for (std::vector<float>& channel : *audioSamples) {
        if (channel.size() != list.frameCount)
            return std::nullopt;
        list.channels.push_back(channel.data());
    }
    return list;
}

SampleBuffer SampleBuffer::videoFrame(int width, int height, const media::MediaTime& time, Pixels fill)
{
    Attachments info;
    info[frame_info::kStatus] = static_cast<std::int64_t>(FrameStatus::Complete);
    info[frame_info::kContentRect] = rectDictionary({ 0, 0, double(width), double(height) });
    info[frame_info::kContentScale] = 1.0;
    info[frame_info::kScaleFactor] = 1.0;
    return videoFrame(width, height, time, fill, std::vector<Attachments> { std::move(info) });
}

SampleBuffer SampleBuffer::videoFrame(
    int width, int height, const media::MediaTime& time, Pixels fill, AttachmentList attachments)
{
    SampleBuffer buffer;
    buffer.outputPresentationTimeStamp = time;
    const std::size_t bytesPerRow = static_cast<std::size_t>(width) * 4;
    const std::size_t size = bytesPerRow * static_cast<std::size_t>(height);
    std::shared_ptr<std::uint8_t> pixels(
        fill == Pixels::Zeroed ? new std::uint8_t[size > 0 ? size : 1]() : new std::uint8_t[size > 0 ? size : 1],
        std::default_delete<std::uint8_t[]>());
    buffer.imageBuffer = media::PixelBuffer::wrap(width, height, bytesPerRow, media::PixelFormat::BGRA, pixels);
    buffer.surface
        = std::make_shared<const Surface>(Surface { width, height, bytesPerRow, media::PixelFormat::BGRA, pixels });
    buffer.sampleAttachments = std::move(attachments);
    return buffer;
}

SampleBuffer SampleBuffer::audio(
    double sampleRate, std::vector<std::vector<float>> channels, const media::MediaTime& time)
{
    SampleBuffer buffer;
    buffer.outputPresentationTimeStamp = time;
    buffer.formatDescription = AudioStreamDescription { sampleRate, static_cast<std::uint32_t>(channels.size()) };
    buffer.audioSamples = std::make_shared<std::vector<std::vector<float>>>(std::move(channels));
    return buffer;
}

} // namespace corvex::screencapture

#include "platform/screencapture/sample_buffer.h"

#include <cstring>

namespace corvex::screencapture {

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

SampleBuffer SampleBuffer::videoFrame(
    int width, int height, const media::MediaTime& time, Pixels fill, std::optional<FrameInfo> info)
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
    buffer.frameInfo = info ? *info : FrameInfo::filling(width, height);
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

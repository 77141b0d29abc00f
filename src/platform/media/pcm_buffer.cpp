#include "platform/media/pcm_buffer.h"

#include <algorithm>
#include <limits>
#include <new>

namespace corvex::media {

namespace {

constexpr std::uint32_t kMaxChannels = 64;

bool acceptable(const AudioFormat& format)
{
    return format.isValid() && format.channelCount <= kMaxChannels;
}

} // namespace

PcmBuffer::PcmBuffer(const AudioFormat& format, std::uint32_t capacity, std::uint32_t length, std::vector<void*> blocks)
    : m_format(format)
    , m_frameCapacity(capacity)
    , m_frameLength(length)
    , m_blocks(std::move(blocks))
{
}

std::unique_ptr<PcmBuffer> PcmBuffer::create(const AudioFormat& format, std::uint32_t frameCapacity)
{
    if (!acceptable(format) || frameCapacity == 0)
        return nullptr;
    const std::size_t samples = static_cast<std::size_t>(frameCapacity) * format.channelCount;
    if (samples > std::numeric_limits<std::size_t>::max() / 8)
        return nullptr;
    std::unique_ptr<std::byte[]> storage(new (std::nothrow) std::byte[samples * format.bytesPerSample()]());
    if (!storage)
        return nullptr;
    std::vector<void*> blocks;
    if (format.interleaved) {
        blocks.push_back(storage.get());
    } else {
        const std::size_t blockBytes = static_cast<std::size_t>(frameCapacity) * format.bytesPerSample();
        for (std::uint32_t c = 0; c < format.channelCount; ++c)
            blocks.push_back(storage.get() + c * blockBytes);
    }
    std::unique_ptr<PcmBuffer> buffer(new PcmBuffer(format, frameCapacity, 0, std::move(blocks)));
    buffer->m_storage = std::move(storage);
    return buffer;
}

std::unique_ptr<PcmBuffer> PcmBuffer::wrap(
    const AudioFormat& format, std::uint32_t frameLength, const std::vector<void*>& blocks)
{
    const std::size_t expected = format.interleaved ? 1 : format.channelCount;
    if (!acceptable(format) || blocks.size() != expected
        || std::any_of(blocks.begin(), blocks.end(), [](void* block) { return block == nullptr; }))
        return nullptr;
    return std::unique_ptr<PcmBuffer>(new PcmBuffer(format, frameLength, frameLength, blocks));
}

void PcmBuffer::setFrameLength(std::uint32_t frames)
{
    m_frameLength = std::min(frames, m_frameCapacity);
}

void* PcmBuffer::channelStart(std::uint32_t channel) const
{
    if (channel >= m_format.channelCount)
        return nullptr;
    if (m_format.interleaved)
        return static_cast<std::byte*>(m_blocks.front())
            + static_cast<std::size_t>(channel) * m_format.bytesPerSample();
    return m_blocks[channel];
}

float* PcmBuffer::floatChannel(std::uint32_t channel) const
{
    return m_format.sampleKind == SampleKind::Float32 ? static_cast<float*>(channelStart(channel)) : nullptr;
}

std::int16_t* PcmBuffer::int16Channel(std::uint32_t channel) const
{
    return m_format.sampleKind == SampleKind::Int16 ? static_cast<std::int16_t*>(channelStart(channel)) : nullptr;
}

std::int32_t* PcmBuffer::int32Channel(std::uint32_t channel) const
{
    return m_format.sampleKind == SampleKind::Int32 ? static_cast<std::int32_t*>(channelStart(channel)) : nullptr;
}

} // namespace corvex::media

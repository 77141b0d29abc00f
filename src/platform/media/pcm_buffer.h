#pragma once

#include "platform/media/audio_format.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace corvex::media {

/// A block of PCM audio in one format. Either owns its samples (create) or
/// points at someone else's (wrap: capture hands over its buffers without a
/// copy; such a buffer must not outlive the call it was given to).
///
/// Planar buffers have one data block per channel and a stride of 1;
/// interleaved ones have one block and a stride of the channel count, and
/// channel c starts at sample c of that block.
class PcmBuffer final {
public:
    /// A zero-filled buffer with room for `frameCapacity` frames and a frame
    /// length of 0; null for an invalid format, no capacity, or when memory
    /// cannot be had.
    static std::unique_ptr<PcmBuffer> create(const AudioFormat& format, std::uint32_t frameCapacity);
    /// A buffer over existing samples: one pointer per channel for planar
    /// formats, one for interleaved. Null when the pointers do not fit the format.
    static std::unique_ptr<PcmBuffer> wrap(
        const AudioFormat& format, std::uint32_t frameLength, const std::vector<void*>& blocks);

    const AudioFormat& format() const { return m_format; }
    std::uint32_t frameCapacity() const { return m_frameCapacity; }
    std::uint32_t frameLength() const { return m_frameLength; }
    /// Sets how many frames hold data; limited to the capacity.
    void setFrameLength(std::uint32_t frames);
    std::uint32_t stride() const { return m_format.interleaved ? m_format.channelCount : 1; }

    /// First sample of each channel, or null when the samples are of another kind.
    float* floatChannel(std::uint32_t channel) const;
    std::int16_t* int16Channel(std::uint32_t channel) const;
    std::int32_t* int32Channel(std::uint32_t channel) const;

private:
    PcmBuffer(const AudioFormat& format, std::uint32_t capacity, std::uint32_t length, std::vector<void*> blocks);
    void* channelStart(std::uint32_t channel) const;

    AudioFormat m_format;
    std::uint32_t m_frameCapacity;
    std::uint32_t m_frameLength;
    std::vector<void*> m_blocks;
    std::unique_ptr<std::byte[]> m_storage;
};

} // namespace corvex::media

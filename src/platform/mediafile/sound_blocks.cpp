#include "platform/mediafile/sound_blocks.h"

#include <cstdlib>
#include <utility>

namespace corvex::mediafile::detail {

namespace {

// Sound is handed out in blocks of about this length (in seconds) where the
// file's own blocks follow on from each other within the slack (microseconds).
constexpr double kJoinedSoundSeconds = 0.1;
constexpr std::int64_t kJoinedSoundSlackMicroseconds = 1000;

} // namespace

SoundBlocks::SoundBlocks(const AVStream* stream, std::int64_t startMicroseconds)
    : m_stream(stream)
    , m_startMicroseconds(startMicroseconds)
{
}

void SoundBlocks::add(const AVFrame* decoded)
{
    if (frameIsDamaged(decoded))
        ++m_damagedFrames;
    if (decoded->nb_samples <= 0 || decoded->sample_rate <= 0 || decoded->ch_layout.nb_channels <= 0)
        return;
    std::optional<std::int64_t> time = frameMicroseconds(decoded, m_stream, m_startMicroseconds);
    // Sound without a time follows on from the block before it.
    if (!time)
        time = m_nextMicroseconds;
    if (!time) {
        ++m_framesWithoutTime;
        return;
    }
    const auto channels = static_cast<std::size_t>(decoded->ch_layout.nb_channels);
    const bool joins = m_joining && m_joining->sampleRate == decoded->sample_rate
        && m_joining->channels.size() == channels && m_nextMicroseconds
        && std::abs(*time - *m_nextMicroseconds) <= kJoinedSoundSlackMicroseconds;
    if (!joins) {
        if (m_joining)
            m_ready.push_back(std::move(*m_joining));
        AudioBlock& fresh = m_joining.emplace();
        fresh.sampleRate = decoded->sample_rate;
        fresh.time = media::MediaTime::make(*time, 1'000'000);
        // Room for the blocks that may join it, so that it is not copied as it grows.
        fresh.channels.resize(channels);
        for (std::vector<float>& channel : fresh.channels)
            channel.reserve(static_cast<std::size_t>(decoded->sample_rate * kJoinedSoundSeconds) + decoded->nb_samples);
    }
    AudioBlock& sound = *m_joining;
    if (!m_resampling.convert(decoded, sound.channels)) {
        if (!joins)
            m_joining.reset();
        ++m_damagedFrames;
        return;
    }
    // A joined block keeps to its sample count, as if the sound had come in one piece.
    m_nextMicroseconds
        = (joins ? *m_nextMicroseconds : *time) + av_rescale(decoded->nb_samples, 1'000'000, decoded->sample_rate);
    if (sound.channels.front().size() >= static_cast<std::size_t>(sound.sampleRate * kJoinedSoundSeconds)) {
        m_ready.push_back(std::move(*m_joining));
        m_joining.reset();
    }
}

std::optional<AudioBlock> SoundBlocks::take(bool unfinished)
{
    if (m_ready.empty() && unfinished && m_joining)
        m_ready.push_back(std::move(*std::exchange(m_joining, std::nullopt)));
    if (m_ready.empty())
        return std::nullopt;
    AudioBlock block = std::move(m_ready.front());
    m_ready.pop_front();
    return block;
}

void SoundBlocks::reset()
{
    m_ready.clear();
    m_joining.reset();
    m_nextMicroseconds.reset();
}

} // namespace corvex::mediafile::detail

#pragma once

#include "platform/mediafile/audio_resampling.h"
#include "platform/mediafile/media_file_reader.h"
#include "platform/mediafile/reader_internals.h"

#include <cstdint>
#include <deque>
#include <optional>

namespace corvex::mediafile::detail {

/// Makes a film's decoded sound into the blocks the reader hands out: float
/// channels, where the file's own blocks follow on from each other joined into
/// blocks of about a tenth of a second. A film's sound comes in blocks of a few
/// milliseconds, and every block costs the same on its way to the signature
/// whatever its length. Lives on the decoding thread, so that the decoded
/// frames never leave it.
class SoundBlocks final {
public:
    /// Times are counted from `startMicroseconds` of the file, in `stream`'s time base.
    SoundBlocks(const AVStream* stream, std::int64_t startMicroseconds);

    /// Adds a decoded frame's samples. A block that ends, because it is long
    /// enough or because this frame does not follow on from it, is ready
    /// (a frame may make two so).
    void add(const AVFrame* decoded);
    /// The first block that is ready, if any; with `unfinished`, the one being
    /// joined as well, last (before a picture or the end, which must not overtake it).
    std::optional<AudioBlock> take(bool unfinished);
    /// Forgets the block being joined and where the sound was (before a seek).
    void reset();

    /// What was met on the way, counted since the reader opened.
    int damagedFrames() const { return m_damagedFrames; }
    int framesWithoutTime() const { return m_framesWithoutTime; }

private:
    const AVStream* const m_stream;
    const std::int64_t m_startMicroseconds;
    AudioResampling m_resampling;
    std::deque<AudioBlock> m_ready;
    std::optional<AudioBlock> m_joining;
    std::optional<std::int64_t> m_nextMicroseconds;
    int m_damagedFrames = 0;
    int m_framesWithoutTime = 0;
};

} // namespace corvex::mediafile::detail

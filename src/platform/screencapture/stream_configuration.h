#pragma once

#include "platform/media/media_time.h"
#include "platform/media/pixel_buffer.h"

namespace corvex::screencapture {

/// How a stream delivers what it captures.
struct StreamConfiguration {
    bool capturesAudio = false;
    /// Kept for the recorder's setting; no backend here can leave out one
    /// process's sound (the sound server's monitor carries the mix), so a
    /// change of it alone never restarts the audio source.
    bool excludesCurrentProcessAudio = false;
    bool showsCursor = true;
    /// Size of the delivered frames; 0 means the content's own size.
    int width = 0;
    int height = 0;
    /// Shortest time between two frames; an invalid time means as often as the content changes.
    media::MediaTime minimumFrameInterval;
    /// How many frames may wait for the consumer; when more arrive the oldest is dropped.
    int queueDepth = 8;
    media::PixelFormat pixelFormat = media::PixelFormat::BGRA;

    friend bool operator==(const StreamConfiguration&, const StreamConfiguration&) = default;
};

} // namespace corvex::screencapture

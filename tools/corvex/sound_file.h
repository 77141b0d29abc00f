#pragma once

#include "platform/media/pcm_buffer.h"
#include "platform/result.h"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace corvex::cli {

/// Reads a sound file (WAV, AIFF, FLAC, … whatever libsndfile reads) as
/// planar float buffers of up to `framesPerBuffer` frames, in order. Each
/// buffer is handed to `consume` with the number of frames before it. A
/// failure's message names the file.
Result<void> readSoundFile(const QString& path, std::uint32_t framesPerBuffer,
    const std::function<void(const media::PcmBuffer&, std::uint64_t firstFrame)>& consume);

/// The sound of a whole file as the signature takes it (16 kHz mono float),
/// converted the way a recording converts it.
Result<std::vector<float>> signatureSamplesOfSoundFile(const QString& path);

} // namespace corvex::cli

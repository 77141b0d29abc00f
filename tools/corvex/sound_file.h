#pragma once

#include "platform/media/audio_converter.h"
#include "platform/media/pcm_buffer.h"
#include "platform/result.h"

#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvex::cli {

/// Reads a sound file (WAV, AIFF, FLAC, … whatever libsndfile reads) as
/// planar float buffers of up to `framesPerBuffer` frames, in order. Each
/// buffer is handed to `consume` with the number of frames before it. A
/// failure's message names the file.
Result<void> readSoundFile(const QString& path, std::uint32_t framesPerBuffer,
    const std::function<void(const media::PcmBuffer&, std::uint64_t firstFrame)>& consume);

/// One call of the converter, as media::AudioConverter::convert makes it.
/// Tests put a failing one in its place: a real file hardly ever makes the
/// resampler fail.
using ConvertStep = std::function<Result<media::AudioConverter::OutputStatus, std::string>(
    media::AudioConverter&, media::PcmBuffer&, const media::AudioConverter::InputBlock&)>;

/// The sound of a whole file as the signature takes it (16 kHz mono float),
/// converted the way a recording converts it. A conversion that fails part of
/// the way is a failure: a clip cut short would be matched as if whole.
Result<std::vector<float>> signatureSamplesOfSoundFile(const QString& path, const ConvertStep& step = {});

} // namespace corvex::cli

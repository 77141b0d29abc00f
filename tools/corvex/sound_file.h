#pragma once

#include "platform/media/pcm_buffer.h"

#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvex::cli {

/// Reads a sound file (WAV, AIFF, FLAC, … whatever libsndfile reads) as
/// planar float buffers of up to `framesPerBuffer` frames, in order. Each
/// buffer is handed to `consume` with the number of frames before it. False,
/// with a message naming the file, when it cannot be read.
bool readSoundFile(const QString& path, std::uint32_t framesPerBuffer,
    const std::function<void(const media::PcmBuffer&, std::uint64_t firstFrame)>& consume, QString& error);

/// The sound of a whole file as the signature takes it (16 kHz mono float),
/// converted the way a recording converts it.
bool signatureSamplesOfSoundFile(const QString& path, std::vector<float>& samples, QString& error);

/// The signature of a whole sound file, made the way a recording makes it.
bool signatureOfSoundFile(const QString& path, std::string& signature, QString& error);

} // namespace corvex::cli

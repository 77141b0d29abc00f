// corvex match: finds where a clip of sound sits in a recording's soundtrack,
// as a receiver does to follow playback.

#include "cli_support.h"
#include "commands.h"
#include "sound_file.h"

#include "analysis/proto/video_analysis.pb.h"
#include "platform/fingerprint/signature_generator.h"
#include "platform/fingerprint/signature_matcher.h"

#include <QCommandLineParser>

#include <algorithm>
#include <vector>

namespace corvex::cli {

int runMatch(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Finds where CLIP (a sound file: WAV, AIFF, FLAC, ...) sits in the soundtrack of RECORDING (a light-show "
        "record) by their signatures, and prints the offset from the start of the recording's sound in seconds "
        "and a confidence from 0 to 1. Exits with status 1 when the clip is not found."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("RECORDING"), QStringLiteral("The light-show record (.pb)."));
    parser.addPositionalArgument(QStringLiteral("CLIP"), QStringLiteral("A sound file of 3 seconds or more."));
    if (const std::optional<int> done = parseArguments(parser, arguments))
        return *done;
    const QStringList files = parser.positionalArguments();
    if (files.size() != 2) {
        printError(QStringLiteral("match takes a recording and a clip; run 'corvex match --help'"));
        return Usage;
    }

    const Result<VideoAnalysis> read = readRecord(files[0]);
    if (!read) {
        printError(read.error);
        return Failure;
    }
    const VideoAnalysis& record = *read.value;
    const auto recording = fingerprint::decodeSignature(record.signature());
    if (!recording) {
        printError(QStringLiteral("%1 has no usable soundtrack signature (%2 bytes)")
                       .arg(files[0])
                       .arg(record.signature().size()));
        return Failure;
    }
    const Result<std::vector<float>> sound = signatureSamplesOfSoundFile(files[1]);
    if (!sound) {
        printError(sound.error);
        return Failure;
    }
    const std::vector<float>& clipSound = *sound.value;
    // The clip is fingerprinted at several phases, so that one of them falls
    // on the recording's item grid wherever the clip was cut.
    const std::vector<fingerprint::ClipFingerprint> clip
        = fingerprint::clipFingerprints(clipSound.data(), clipSound.size());
    const bool usable = std::any_of(clip.begin(), clip.end(),
        [](const fingerprint::ClipFingerprint& f) { return fingerprint::isPlaceable(f.items); });
    if (!usable) {
        printError(
            QStringLiteral("%1 cannot be placed (%2 s of sound): a clip needs at least 3 s of changing sound, such "
                           "as speech or music, not silence or a steady tone")
                .arg(files[1])
                .arg(double(clipSound.size()) / fingerprint::SignatureGenerator::kSampleRate, 0, 'f', 1));
        return Failure;
    }
    const auto match = fingerprint::locateClipPrecisely(*recording, clip, clipSound.data(), clipSound.size());
    if (!match) {
        printOut(QStringLiteral("no match: %1 does not sound like any part of %2").arg(files[1], files[0]));
        return Failure;
    }
    printOut(QStringLiteral("offset %1 s, confidence %2")
                 .arg(match->offsetSeconds, 0, 'f', 3)
                 .arg(match->confidence, 0, 'f', 2));
    return Success;
}

} // namespace corvex::cli

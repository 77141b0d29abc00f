#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvex::fingerprint {

/// The fingerprint items of a signature, or none when the bytes are not one.
std::optional<std::vector<std::uint32_t>> decodeSignature(std::string_view signature);

/// Seconds of sound between two consecutive fingerprint items.
double signatureItemSeconds();

/// Fewest items a clip's fingerprint must have to be placed at all: a clip of
/// about 3 s of sound (the first item needs 2.6 s of it).
constexpr std::size_t kMinimumClipItems = 3;

/// Whether a clip's fingerprint can be placed at all: at least
/// kMinimumClipItems items, and not all the same (silence, or one steady
/// tone, sounds alike wherever it is).
bool isPlaceable(const std::vector<std::uint32_t>& clip);

/// The largest share of differing bits at which a clip of `comparedItems`
/// items still counts as the same sound. Short clips get a strict limit:
/// among the hundreds of thousands of places in a long recording, a few
/// items of unrelated music come close by chance far more often than many.
double matchingBitErrorRate(std::size_t comparedItems);

struct SignatureMatch {
    double offsetSeconds = 0; // where the clip starts in the recording
    double confidence = 0; // 0 (no better than chance) to 1 (identical)
    int comparedItems = 0;
};

/// One fingerprint of a clip, made from its sound from `startSeconds` on.
struct ClipFingerprint {
    double startSeconds = 0;
    std::vector<std::uint32_t> items;
};

/// Phases per item at which clipFingerprints() starts the clip's fingerprints.
constexpr int kClipPhases = 8;

/// Fingerprints of a clip (16 kHz mono float) started at kClipPhases evenly
/// spaced points within its first item. A recording's items fall every
/// 0.124 s from its first sound, a clip's from its own first sound: one of
/// these fingerprints is within 1/16 of an item of the recording's grid,
/// where its bits agree best, wherever the clip was cut.
std::vector<ClipFingerprint> clipFingerprints(const float* samples, std::size_t count);

/// Where a clip's sound (16 kHz mono float) starts in the recording, to a few
/// milliseconds: placed by locateClip() with the clip's clipFingerprints(),
/// then refined by fingerprints started at finer phases around that place,
/// whose bit error rates are fitted with a V whose tip is the answer.
std::optional<SignatureMatch> locateClipPrecisely(const std::vector<std::uint32_t>& recording,
    const std::vector<ClipFingerprint>& clip, const float* samples, std::size_t count);

/// Finds where the clip sits in the recording: the place and phase with the
/// fewest differing bits. None when no place looks like the same sound (see
/// matchingBitErrorRate), or no fingerprint of the clip is placeable.
std::optional<SignatureMatch> locateClip(
    const std::vector<std::uint32_t>& recording, const std::vector<ClipFingerprint>& clip);

/// The same for a clip fingerprinted once, from its start.
std::optional<SignatureMatch> locateClip(
    const std::vector<std::uint32_t>& recording, const std::vector<std::uint32_t>& clip);

} // namespace corvex::fingerprint

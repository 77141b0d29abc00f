#pragma once

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

struct SignatureMatch {
    double offsetSeconds = 0; // where the clip starts in the recording
    double confidence = 0; // 0 (no better than chance) to 1 (identical)
    int comparedItems = 0;
};

/// Finds where the clip's fingerprint sits in the recording's: the shift with
/// the fewest differing bits. None when no shift looks like the same sound
/// (or either fingerprint is too short to tell).
std::optional<SignatureMatch> locateClip(
    const std::vector<std::uint32_t>& recording, const std::vector<std::uint32_t>& clip);

} // namespace corvex::fingerprint

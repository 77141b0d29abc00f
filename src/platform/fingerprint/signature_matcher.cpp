#include "platform/fingerprint/signature_matcher.h"

#include <chromaprint.h>

#include <algorithm>
#include <bit>
#include <limits>

namespace corvex::fingerprint {

namespace {

// A shift must compare at least this many items (about 2 s) to count.
constexpr std::size_t kMinimumOverlap = 16;
// Unrelated sound differs in about half of the bits; the same sound, even
// re-encoded or cut at another sample, in far fewer.
constexpr double kMatchingBitErrorRate = 0.35;

} // namespace

std::optional<std::vector<std::uint32_t>> decodeSignature(std::string_view signature)
{
    if (signature.empty() || signature.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return std::nullopt;
    std::uint32_t* items = nullptr;
    int size = 0;
    int algorithm = 0;
    if (chromaprint_decode_fingerprint(
            signature.data(), static_cast<int>(signature.size()), &items, &size, &algorithm, 0)
            != 1
        || items == nullptr || size <= 0) {
        chromaprint_dealloc(items);
        return std::nullopt;
    }
    std::vector<std::uint32_t> result(items, items + size);
    chromaprint_dealloc(items);
    return result;
}

double signatureItemSeconds()
{
    static const double seconds = [] {
        ChromaprintContext* context = chromaprint_new(CHROMAPRINT_ALGORITHM_DEFAULT);
        const double value = static_cast<double>(chromaprint_get_item_duration(context))
            / static_cast<double>(chromaprint_get_sample_rate(context));
        chromaprint_free(context);
        return value;
    }();
    return seconds;
}

std::optional<SignatureMatch> locateClip(
    const std::vector<std::uint32_t>& recording, const std::vector<std::uint32_t>& clip)
{
    if (recording.size() < kMinimumOverlap || clip.size() < kMinimumOverlap)
        return std::nullopt;
    // Shifts from the clip hanging over the start of the recording to it
    // hanging over the end, always with enough items in common.
    const auto first = -static_cast<std::ptrdiff_t>(clip.size() - kMinimumOverlap);
    const auto last = static_cast<std::ptrdiff_t>(recording.size() - kMinimumOverlap);
    double bestRate = 1.0;
    std::ptrdiff_t bestShift = 0;
    std::size_t bestCompared = 0;
    for (std::ptrdiff_t shift = first; shift <= last; ++shift) {
        const std::size_t begin = shift < 0 ? static_cast<std::size_t>(-shift) : 0;
        const std::size_t end = std::min(
            clip.size(), recording.size() - static_cast<std::size_t>(std::max<std::ptrdiff_t>(shift, 0)) + begin);
        if (end <= begin)
            continue;
        // Overlaps shorter than half the clip only count when the clip is at an edge.
        const std::size_t compared = end - begin;
        if (compared < std::min(clip.size(), std::max(kMinimumOverlap, clip.size() / 2)))
            continue;
        std::uint64_t differing = 0;
        for (std::size_t i = begin; i < end; ++i)
            differing += static_cast<std::uint64_t>(
                std::popcount(clip[i] ^ recording[static_cast<std::size_t>(shift + static_cast<std::ptrdiff_t>(i))]));
        const double rate = static_cast<double>(differing) / (32.0 * static_cast<double>(compared));
        if (rate < bestRate) {
            bestRate = rate;
            bestShift = shift;
            bestCompared = compared;
        }
    }
    if (bestCompared == 0 || bestRate > kMatchingBitErrorRate)
        return std::nullopt;
    return SignatureMatch { static_cast<double>(bestShift) * signatureItemSeconds(),
        std::clamp(1.0 - 2.0 * bestRate, 0.0, 1.0), static_cast<int>(bestCompared) };
}

} // namespace corvex::fingerprint

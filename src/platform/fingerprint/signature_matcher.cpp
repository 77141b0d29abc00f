#include "platform/fingerprint/signature_matcher.h"

#include "platform/fingerprint/signature_generator.h"

#include <chromaprint.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <utility>

namespace corvex::fingerprint {

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

bool isPlaceable(const std::vector<std::uint32_t>& clip)
{
    return clip.size() >= kMinimumClipItems
        && std::adjacent_find(clip.begin(), clip.end(), std::not_equal_to<>()) != clip.end();
}

double matchingBitErrorRate(std::size_t comparedItems)
{
    // Measured on a two-hour recording of tunes against clips of other tunes
    // of the same kind (bench/fingerprint_short_clips.sh): the closest place
    // an unrelated clip found differed in about 8 % of the bits at 3 items,
    // 14 % at 7, 18 % at 11, 23 % at 19 and 28 % at 43. The limits sit at
    // about 60 % of those; the same sound, cut anywhere and with noise added,
    // stays under 4 %.
    static constexpr std::array<std::pair<double, double>, 6> kLimits { {
        { 3, 0.045 },
        { 6, 0.08 },
        { 12, 0.11 },
        { 24, 0.15 },
        { 48, 0.2 },
        { 96, 0.25 },
    } };
    const double n = static_cast<double>(comparedItems);
    if (n < kLimits.front().first)
        return 0;
    if (n >= kLimits.back().first)
        return kLimits.back().second;
    std::size_t upper = 1;
    while (kLimits[upper].first <= n)
        ++upper;
    const auto [n0, limit0] = kLimits[upper - 1];
    const auto [n1, limit1] = kLimits[upper];
    const double along = std::log(n / n0) / std::log(n1 / n0);
    return limit0 + along * (limit1 - limit0);
}

std::vector<ClipFingerprint> clipFingerprints(const float* samples, std::size_t count)
{
    std::vector<ClipFingerprint> fingerprints;
    const double rate = SignatureGenerator::kSampleRate;
    const media::AudioFormat format { rate, 1, media::SampleKind::Float32, false };
    for (int phase = 0; phase < kClipPhases; ++phase) {
        const auto skipped
            = static_cast<std::size_t>(std::llround(signatureItemSeconds() * phase / kClipPhases * rate));
        if (skipped >= count || count - skipped > std::numeric_limits<std::uint32_t>::max())
            continue;
        SignatureGenerator generator;
        const auto buffer = media::PcmBuffer::wrap(
            format, static_cast<std::uint32_t>(count - skipped), { const_cast<float*>(samples + skipped) });
        if (!buffer || !generator.append(*buffer))
            continue;
        // As long as the clip, so that a later start costs no item: the last
        // item hears a little silence at its very end instead of sound.
        std::vector<float> silence(skipped, 0.0f);
        const auto tail = media::PcmBuffer::wrap(format, static_cast<std::uint32_t>(skipped), { silence.data() });
        if (skipped > 0 && (!tail || !generator.append(*tail)))
            continue;
        ClipFingerprint fingerprint { static_cast<double>(skipped) / rate, generator.items() };
        if (!fingerprint.items.empty())
            fingerprints.push_back(std::move(fingerprint));
    }
    return fingerprints;
}

std::optional<SignatureMatch> locateClip(
    const std::vector<std::uint32_t>& recording, const std::vector<ClipFingerprint>& clip)
{
    double bestRate = 1.0;
    double bestMargin = std::numeric_limits<double>::infinity();
    double bestOffset = 0;
    std::size_t bestCompared = 0;
    bool found = false;
    for (const ClipFingerprint& fingerprint : clip) {
        const std::vector<std::uint32_t>& items = fingerprint.items;
        if (!isPlaceable(items) || recording.size() < kMinimumClipItems)
            continue;
        // A clip may hang over either end of the recording by up to half its
        // length; short clips must lie wholly inside it.
        const std::size_t minimumOverlap = std::min(items.size(), std::max(kMinimumClipItems, items.size() / 2));
        if (recording.size() < minimumOverlap)
            continue;
        const double wholeLimit = matchingBitErrorRate(items.size());
        const auto first = -static_cast<std::ptrdiff_t>(items.size() - minimumOverlap);
        const auto last = static_cast<std::ptrdiff_t>(recording.size() - minimumOverlap);
        for (std::ptrdiff_t shift = first; shift <= last; ++shift) {
            const std::size_t begin = shift < 0 ? static_cast<std::size_t>(-shift) : 0;
            const std::size_t end = std::min(
                items.size(), recording.size() - static_cast<std::size_t>(std::max<std::ptrdiff_t>(shift, 0)) + begin);
            if (end <= begin || end - begin < minimumOverlap)
                continue;
            const std::size_t compared = end - begin;
            std::uint64_t differing = 0;
            for (std::size_t i = begin; i < end; ++i)
                differing += static_cast<std::uint64_t>(std::popcount(
                    items[i] ^ recording[static_cast<std::size_t>(shift + static_cast<std::ptrdiff_t>(i))]));
            const double rate = static_cast<double>(differing) / (32.0 * static_cast<double>(compared));
            // Judged against the limit for its length, so that a long overlap
            // is not beaten by a short one that is close by chance.
            const double margin = rate - (compared == items.size() ? wholeLimit : matchingBitErrorRate(compared));
            if (margin < bestMargin) {
                found = true;
                bestMargin = margin;
                bestRate = rate;
                bestCompared = compared;
                bestOffset = static_cast<double>(shift) * signatureItemSeconds() - fingerprint.startSeconds;
            }
        }
    }
    if (!found || bestRate > matchingBitErrorRate(bestCompared))
        return std::nullopt;
    return SignatureMatch { bestOffset, std::clamp(1.0 - 2.0 * bestRate, 0.0, 1.0), static_cast<int>(bestCompared) };
}

std::optional<SignatureMatch> locateClip(
    const std::vector<std::uint32_t>& recording, const std::vector<std::uint32_t>& clip)
{
    return locateClip(recording, std::vector<ClipFingerprint> { ClipFingerprint { 0, clip } });
}

} // namespace corvex::fingerprint

#include "platform/fingerprint/signature_matcher.h"

#include "platform/fingerprint/signature_generator.h"

#include <chromaprint.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
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

namespace {

// The clip's fingerprint from `skipped` samples on. It is as long as the clip,
// so that a later start costs no item: the last item hears a little silence
// at its very end instead of sound.
std::optional<ClipFingerprint> fingerprintFrom(const float* samples, std::size_t count, std::size_t skipped)
{
    const double rate = SignatureGenerator::kSampleRate;
    const media::AudioFormat format { rate, 1, media::SampleKind::Float32, false };
    if (skipped >= count || count - skipped > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    SignatureGenerator generator;
    const auto buffer = media::PcmBuffer::wrap(
        format, static_cast<std::uint32_t>(count - skipped), { const_cast<float*>(samples + skipped) });
    if (!buffer || !generator.append(*buffer))
        return std::nullopt;
    std::vector<float> silence(skipped, 0.0f);
    const auto tail = media::PcmBuffer::wrap(format, static_cast<std::uint32_t>(skipped), { silence.data() });
    if (skipped > 0 && (!tail || !generator.append(*tail)))
        return std::nullopt;
    ClipFingerprint fingerprint { static_cast<double>(skipped) / rate, generator.items() };
    if (fingerprint.items.empty())
        return std::nullopt;
    return fingerprint;
}

// The share of differing bits where the clip's item i lies on the recording's
// item shift + i, over the items both have; `compared` says how many.
double bitErrorRate(const std::vector<std::uint32_t>& items, const std::vector<std::uint32_t>& recording,
    std::ptrdiff_t shift, std::size_t& compared)
{
    const std::size_t begin = shift < 0 ? static_cast<std::size_t>(-shift) : 0;
    const auto shifted = static_cast<std::size_t>(std::max<std::ptrdiff_t>(shift, 0));
    const std::size_t end = shifted >= recording.size() ? begin : std::min(items.size(), recording.size() - shifted + begin);
    compared = end > begin ? end - begin : 0;
    if (compared == 0)
        return 1.0;
    std::uint64_t differing = 0;
    for (std::size_t i = begin; i < end; ++i)
        differing += static_cast<std::uint64_t>(
            std::popcount(items[i] ^ recording[static_cast<std::size_t>(shift + static_cast<std::ptrdiff_t>(i))]));
    return static_cast<double>(differing) / (32.0 * static_cast<double>(compared));
}

} // namespace

std::vector<ClipFingerprint> clipFingerprints(const float* samples, std::size_t count)
{
    std::vector<ClipFingerprint> fingerprints;
    for (int phase = 0; phase < kClipPhases; ++phase) {
        const auto skipped = static_cast<std::size_t>(
            std::llround(signatureItemSeconds() * phase / kClipPhases * SignatureGenerator::kSampleRate));
        if (auto fingerprint = fingerprintFrom(samples, count, skipped))
            fingerprints.push_back(std::move(*fingerprint));
    }
    return fingerprints;
}

std::optional<SignatureMatch> locateClipPrecisely(const std::vector<std::uint32_t>& recording,
    const std::vector<ClipFingerprint>& clip, const float* samples, std::size_t count)
{
    std::optional<SignatureMatch> match = locateClip(recording, clip);
    if (!match)
        return match;
    // Offsets one fine step apart on either side of the coarse one, each from
    // the fingerprint of the clip started where it puts the recording's item
    // grid: offset = shift * item - start.
    constexpr int kFineSteps = 8; // per coarse phase step
    const double item = signatureItemSeconds();
    const double step = item / (kClipPhases * kFineSteps);
    struct Point {
        double offset;
        double rate;
    };
    std::vector<Point> points;
    for (int j = -kFineSteps; j <= kFineSteps; ++j) {
        const double wanted = match->offsetSeconds + j * step;
        double start = std::fmod(-wanted, item);
        if (start < 0)
            start += item;
        const auto skipped = static_cast<std::size_t>(std::llround(start * SignatureGenerator::kSampleRate));
        const auto fingerprint = fingerprintFrom(samples, count, skipped);
        if (!fingerprint)
            return match;
        const auto shift = static_cast<std::ptrdiff_t>(std::llround((wanted + fingerprint->startSeconds) / item));
        std::size_t compared = 0;
        const double rate = bitErrorRate(fingerprint->items, recording, shift, compared);
        if (compared < static_cast<std::size_t>(match->comparedItems))
            return match; // near an end of the recording: keep the coarse answer
        points.push_back({ static_cast<double>(shift) * item - fingerprint->startSeconds, rate });
    }
    // The rate grows with the distance from the true place, |offset - place|,
    // steeply and noisily at these lengths: a V fitted to all points by least
    // squares finds its tip more surely than the lowest point does.
    double offset = match->offsetSeconds;
    double leastError = std::numeric_limits<double>::infinity();
    const double mean = std::accumulate(points.begin(), points.end(), 0.0,
                            [](double sum, const Point& p) { return sum + p.rate; })
        / static_cast<double>(points.size());
    for (double place = points.front().offset; place <= points.back().offset; place += step / 8) {
        double sx = 0, sxx = 0, sxy = 0;
        for (const Point& p : points) {
            const double x = std::abs(p.offset - place);
            sx += x;
            sxx += x * x;
            sxy += x * (p.rate - mean);
        }
        const double n = static_cast<double>(points.size());
        const double variance = sxx - sx * sx / n;
        if (variance <= 0)
            continue;
        const double slope = sxy / variance;
        if (slope <= 0)
            continue;
        // The squared error left after the fit, less what all places share.
        const double error = -slope * sxy;
        if (error < leastError) {
            leastError = error;
            offset = place;
        }
    }
    match->offsetSeconds = offset;
    return match;
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
            std::size_t compared = 0;
            const double rate = bitErrorRate(items, recording, shift, compared);
            if (compared < minimumOverlap)
                continue;
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

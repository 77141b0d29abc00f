#include "platform/media/image_scaler_strips.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace corvex::media::scaler_detail {

namespace {

/// Asks the cache for strip `strip`'s share of the next row of cells, into the
/// nearest level (which measured about 8 % faster than stopping one level out).
[[gnu::always_inline]] inline void fetchAhead(const ColumnPass& pass, std::size_t strip)
{
    const std::size_t end = pass.aheadBytes * (strip + 1) / pass.strips;
    for (std::size_t at = pass.aheadBytes * strip / pass.strips; at < end; at += 64)
        __builtin_prefetch(pass.ahead + at, 0, 3);
}

// Portable: 16-byte vectors, which every x86-64 and ARM64 processor has, one
// strip at a time, its eight sums in half of the sixteen registers there are.
void sumStripsPortable(std::uint32_t* out, const ColumnPass& pass)
{
    const Longs4 wholeWeight = Longs4 {} + pass.wholeWeight;
    for (std::size_t s = 0; s < pass.strips; ++s, out += 4 * kStripPixels) {
        const std::size_t offset = s * kStripBytes;
        fetchAhead(pass, s);
        Words8 words[4] {}, high[4] {}; // pixels 4q to 4q + 3 in words[q] and high[q]
        const std::uint8_t* line = pass.whole + offset;
        for (std::size_t l = 0; l < pass.wholeLines; ++l, line += pass.rowBytes)
#pragma GCC unroll 4 // so that the sums stay in registers
            for (std::size_t q = 0; q < 4; ++q) {
                const Words8 v = load<Words8>(line + 16 * q);
                words[q] += v;
                high[q] += v >> 8;
            }
        for (std::size_t q = 0; q < 4; ++q) {
            const Words8 low = words[q] - (high[q] << 8);
            // Pixels 4q and 4q + 1, then 4q + 2 and 4q + 3.
            const Words8 pairs[2] = { __builtin_shufflevector(low, high[q], 0, 8, 1, 9, 2, 10, 3, 11),
                __builtin_shufflevector(low, high[q], 4, 12, 5, 13, 6, 14, 7, 15) };
            for (std::size_t i = 0; i < 4; ++i) {
                const std::size_t pixel = 4 * q + i;
                const Words4 channels = i % 2 == 0 ? __builtin_shufflevector(pairs[i / 2], pairs[i / 2], 0, 1, 2, 3)
                                                   : __builtin_shufflevector(pairs[i / 2], pairs[i / 2], 4, 5, 6, 7);
                Longs4 sum = __builtin_convertvector(channels, Longs4) * wholeWeight;
                for (std::size_t c = 0; c < pass.cutLines; ++c)
                    sum += __builtin_convertvector(load<Bytes4>(pass.cut[c] + offset + 4 * pixel), Longs4)
                        * pass.cutWeight[c];
                if (pass.accumulate)
                    sum += load<Longs4>(out + 4 * pixel);
                store(out + 4 * pixel, sum);
            }
        }
    }
}

#if defined(__x86_64__)
// 256-bit registers: a strip's sums in four, and two lines a step into two
// sets of sums, so that no addition waits for the one before. (Two strips a
// step measured slower: the walk down the lines then leaves more behind in the
// cache at once, and the sixteen registers no longer hold all the sums.)
[[gnu::target("avx2"), gnu::always_inline]] inline void addLineAvx2(
    __m256i (&words)[2], __m256i (&high)[2], const std::uint8_t* line)
{
    for (std::size_t h = 0; h < 2; ++h) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line + 32 * h));
        words[h] = _mm256_add_epi16(words[h], v);
        high[h] = _mm256_add_epi16(high[h], _mm256_srli_epi16(v, 8));
    }
}

[[gnu::target("avx2")]] void sumStripsAvx2(std::uint32_t* out, const ColumnPass& pass)
{
    const __m256i wholeWeight = _mm256_set1_epi32(static_cast<int>(pass.wholeWeight));
    for (std::size_t s = 0; s < pass.strips; ++s, out += 4 * kStripPixels) {
        const std::size_t offset = s * kStripBytes;
        fetchAhead(pass, s);
        // Pixels 8h to 8h + 7 of the strip in words[set][h] and high[set][h].
        __m256i words[2][2], high[2][2];
        for (std::size_t set = 0; set < 2; ++set)
            for (std::size_t h = 0; h < 2; ++h)
                words[set][h] = high[set][h] = _mm256_setzero_si256();
        const std::uint8_t* line = pass.whole + offset;
        std::size_t l = 0;
        for (; l + 2 <= pass.wholeLines; l += 2, line += 2 * pass.rowBytes) {
            addLineAvx2(words[0], high[0], line);
            addLineAvx2(words[1], high[1], line + pass.rowBytes);
        }
        if (l < pass.wholeLines)
            addLineAvx2(words[0], high[0], line);

        for (std::size_t h = 0; h < 2; ++h) {
            const __m256i odd = _mm256_add_epi16(high[0][h], high[1][h]);
            const __m256i even
                = _mm256_sub_epi16(_mm256_add_epi16(words[0][h], words[1][h]), _mm256_slli_epi16(odd, 8));
            // Interleaved within each 128-bit half: pixels 0, 1 | 4, 5 and 2, 3 | 6, 7 of the eight.
            const __m256i pairs[2] = { _mm256_unpacklo_epi16(even, odd), _mm256_unpackhi_epi16(even, odd) };
            for (std::size_t i = 0; i < 4; ++i) {
                const std::size_t pixel = 8 * h + 2 * i; // and the one after it
                const __m256i& channels = pairs[i % 2];
                const __m128i half = i < 2 ? _mm256_castsi256_si128(channels) : _mm256_extracti128_si256(channels, 1);
                __m256i sum = _mm256_mullo_epi32(_mm256_cvtepu16_epi32(half), wholeWeight);
                for (std::size_t c = 0; c < pass.cutLines; ++c) {
                    const __m128i bytes
                        = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pass.cut[c] + offset + 4 * pixel));
                    sum = _mm256_add_epi32(sum,
                        _mm256_mullo_epi32(
                            _mm256_cvtepu8_epi32(bytes), _mm256_set1_epi32(static_cast<int>(pass.cutWeight[c]))));
                }
                auto* to = reinterpret_cast<__m256i*>(out + 4 * pixel);
                if (pass.accumulate)
                    sum = _mm256_add_epi32(sum, _mm256_loadu_si256(to));
                _mm256_storeu_si256(to, sum);
            }
        }
    }
}

// 512-bit registers: a strip's sums in two, two lines a step as above. (More
// strips a step, which the 32 registers would hold, measured slower too.)
[[gnu::target("avx512bw"), gnu::always_inline]] inline void addLineAvx512(
    __m512i& words, __m512i& high, const std::uint8_t* line)
{
    const __m512i v = _mm512_loadu_si512(line);
    words = _mm512_add_epi16(words, v);
    high = _mm512_add_epi16(high, _mm512_srli_epi16(v, 8));
}

[[gnu::target("avx512bw")]] void sumStripsAvx512(std::uint32_t* out, const ColumnPass& pass)
{
    // Word 4p + k of pixel order: channel k of pixel p, from the low bytes' sums
    // (k = 0, 2) or the high ones' (k = 1, 3); pixels 0 to 7, then 8 to 15.
    alignas(64) static constexpr std::array<std::array<std::uint16_t, 32>, 2> kPixelOrder = [] {
        std::array<std::array<std::uint16_t, 32>, 2> order {};
        for (std::size_t half = 0; half < 2; ++half)
            for (std::size_t i = 0; i < 32; ++i)
                order[half][i] = static_cast<std::uint16_t>((i & 1) * 32 + 16 * half + i / 4 * 2 + (i >> 1 & 1));
        return order;
    }();
    const __m512i wholeWeight = _mm512_set1_epi32(static_cast<int>(pass.wholeWeight));
    for (std::size_t s = 0; s < pass.strips; ++s, out += 4 * kStripPixels) {
        const std::size_t offset = s * kStripBytes;
        fetchAhead(pass, s);
        __m512i words[2] = { _mm512_setzero_si512(), _mm512_setzero_si512() };
        __m512i high[2] = { _mm512_setzero_si512(), _mm512_setzero_si512() };
        const std::uint8_t* line = pass.whole + offset;
        std::size_t l = 0;
        for (; l + 2 <= pass.wholeLines; l += 2, line += 2 * pass.rowBytes) {
            addLineAvx512(words[0], high[0], line);
            addLineAvx512(words[1], high[1], line + pass.rowBytes);
        }
        if (l < pass.wholeLines)
            addLineAvx512(words[0], high[0], line);

        const __m512i odd = _mm512_add_epi16(high[0], high[1]);
        const __m512i even = _mm512_sub_epi16(_mm512_add_epi16(words[0], words[1]), _mm512_slli_epi16(odd, 8));
        for (std::size_t half = 0; half < 2; ++half) {
            const __m512i ordered = _mm512_permutex2var_epi16(even, _mm512_load_si512(kPixelOrder[half].data()), odd);
            for (std::size_t quarter = 0; quarter < 2; ++quarter) {
                const std::size_t pixel = 8 * half + 4 * quarter;
                // (The masked forms: the plain ones trip a false uninitialised-value warning.)
                const __m256i four = quarter == 0 ? _mm512_maskz_extracti64x4_epi64(0xff, ordered, 0)
                                                  : _mm512_maskz_extracti64x4_epi64(0xff, ordered, 1);
                __m512i sum = _mm512_mullo_epi32(_mm512_maskz_cvtepu16_epi32(0xffff, four), wholeWeight);
                for (std::size_t c = 0; c < pass.cutLines; ++c) {
                    const __m128i bytes
                        = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pass.cut[c] + offset + 4 * pixel));
                    sum = _mm512_add_epi32(sum,
                        _mm512_mullo_epi32(_mm512_maskz_cvtepu8_epi32(0xffff, bytes),
                            _mm512_set1_epi32(static_cast<int>(pass.cutWeight[c]))));
                }
                if (pass.accumulate)
                    sum = _mm512_add_epi32(sum, _mm512_loadu_si512(out + 4 * pixel));
                _mm512_storeu_si512(out + 4 * pixel, sum);
            }
        }
    }
}
#endif

} // namespace

/// What sumStrips does, for the columns from firstPixel to pixels, one by one.
void sumColumns(std::uint32_t* out, const ColumnPass& pass, std::size_t firstPixel, std::size_t pixels)
{
    for (std::size_t i = 4 * firstPixel; i < 4 * pixels; ++i) {
        std::uint32_t whole = 0;
        for (std::size_t l = 0; l < pass.wholeLines; ++l)
            whole += pass.whole[l * pass.rowBytes + i];
        std::uint32_t sum = whole * pass.wholeWeight;
        for (std::size_t c = 0; c < pass.cutLines; ++c)
            sum += pass.cut[c][i] * pass.cutWeight[c];
        out[i] = pass.accumulate ? out[i] + sum : sum;
    }
}

SumStrips sumStripsFor(ScalerPath path)
{
#if defined(__x86_64__)
    if (path == ScalerPath::Avx512)
        return sumStripsAvx512;
    if (path == ScalerPath::Avx2)
        return sumStripsAvx2;
#endif
    (void)path;
    return sumStripsPortable;
}

} // namespace corvex::media::scaler_detail

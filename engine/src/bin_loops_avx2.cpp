// The per-bin loops eight bins at a time (AVX2) with fused multiply-adds.
// Everything after the target switch is compiled for those instructions and
// runs only where the processor has them; the headers come before it, so
// that the copies of their inline functions (the plain loops, which finish
// the last bins of every run) that other files may share keep the baseline
// target. Inlined here, those may be fused too.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "bin_loops.h"
#include "formant_loops.h"
#include "vector_ops.h"

#if defined(KELVANE_EIGHT_LANES) && defined(KELVANE_HAVE_SSE2)
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif

namespace kelvane {
namespace {

namespace plain = vector_ops::scalar;
namespace formant = formant_loops::scalar;

// All ones in the lanes of the eight bins whose stability counter is 0.
inline __m256 RestartLanes(const std::uint8_t* counters)
{
    const __m256i widened = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(counters)));
    return _mm256_castsi256_ps(_mm256_cmpeq_epi32(widened, _mm256_setzero_si256()));
}

// Eight peak indices, widened to lanes for gathers.
inline __m256i PeakLanes(const std::int16_t* peak)
{
    return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(peak)));
}

// `taken` where `mask` is set, `other` elsewhere.
inline __m256 Pick(__m256 mask, __m256 taken, __m256 other)
{
    return _mm256_blendv_ps(other, taken, mask);
}

void SplitPolar(const float* re, const float* im, float* KELVANE_RESTRICT power,
                float* KELVANE_RESTRICT magnitude, float* unitRe, float* unitIm, float tiny, int count)
{
    const __m256 tinyValue = _mm256_set1_ps(tiny);
    const __m256 one = _mm256_set1_ps(1.0f);
    int k = 0;
    for (; k + 8 <= count; k += 8) {
        const __m256 x = _mm256_loadu_ps(re + k);
        const __m256 y = _mm256_loadu_ps(im + k);
        const __m256 p = _mm256_fmadd_ps(y, y, _mm256_mul_ps(x, x));
        _mm256_storeu_ps(power + k, _mm256_add_ps(_mm256_loadu_ps(power + k), p));
        const __m256 m = _mm256_sqrt_ps(_mm256_add_ps(p, tinyValue));
        const __m256 r = _mm256_div_ps(one, m);
        _mm256_storeu_ps(magnitude + k, m);
        _mm256_storeu_ps(unitRe + k, _mm256_mul_ps(x, r));
        _mm256_storeu_ps(unitIm + k, _mm256_mul_ps(y, r));
    }
    plain::SplitPolar(re + k, im + k, power + k, magnitude + k, unitRe + k, unitIm + k, tiny, count - k);
}

// The ratio is divided as the plain loop divides, so the counters are its own.
template <int thresholdShift>
void UpdateStability(float* KELVANE_RESTRICT power, float* KELVANE_RESTRICT previous,
                     const float* KELVANE_RESTRICT threshold, std::uint8_t* KELVANE_RESTRICT counters,
                     bool frozen, float tiny, int count)
{
    static_assert(thresholdShift == 0 || thresholdShift == 1);
    const __m256 tinyValue = _mm256_set1_ps(tiny);
    const __m256 silent = _mm256_set1_ps(vector_ops::silentRatio);
    const __m256 frozenMask = _mm256_castsi256_ps(_mm256_set1_epi32(frozen ? -1 : 0));
    const __m256i pairs = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
    const __m128i one = _mm_set1_epi8(1);
    int k = 0;
    for (; k + 8 <= count; k += 8) {
        const __m256 current = _mm256_loadu_ps(power + k);
        const __m256 q = _mm256_div_ps(current, _mm256_add_ps(_mm256_loadu_ps(previous + k), tinyValue));
        _mm256_storeu_ps(previous + k, current);
        _mm256_storeu_ps(power + k, q);
        __m256 limit;
        if constexpr (thresholdShift == 0) {
            limit = _mm256_loadu_ps(threshold + k);
        } else {
            // Bins k..k+7 share four thresholds, each twice.
            limit = _mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_loadu_ps(threshold + k / 2)), pairs);
        }
        const __m256 reset = _mm256_or_ps(
            _mm256_or_ps(_mm256_cmp_ps(q, silent, _CMP_LT_OQ), _mm256_cmp_ps(q, limit, _CMP_GT_OQ)),
            frozenMask);
        // Lane masks to one byte per bin; a saturating add keeps 255 at 255.
        const __m256i wide = _mm256_castps_si256(reset);
        const __m128i words =
            _mm_packs_epi32(_mm256_castsi256_si128(wide), _mm256_extracti128_si256(wide, 1));
        const __m128i resetBytes = _mm_packs_epi16(words, words);
        const __m128i counted =
            _mm_adds_epu8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(counters + k)), one);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(counters + k), _mm_andnot_si128(resetBytes, counted));
    }
    for (; k < count; ++k) {
        plain::UpdateStability<0>(power + k, previous + k, threshold + (k >> thresholdShift), counters + k,
                                  frozen, tiny, 1);
    }
}

void PhaseAdvance(const float* KELVANE_RESTRICT currentRe, const float* KELVANE_RESTRICT currentIm,
                  float* KELVANE_RESTRICT previousRe, float* KELVANE_RESTRICT previousIm,
                  float* KELVANE_RESTRICT advanceRe, float* KELVANE_RESTRICT advanceIm,
                  const std::uint8_t* KELVANE_RESTRICT counters, int count)
{
    int b = 0;
    for (; b + 8 <= count; b += 8) {
        const __m256 cr = _mm256_loadu_ps(currentRe + b);
        const __m256 ci = _mm256_loadu_ps(currentIm + b);
        const __m256 pr = _mm256_loadu_ps(previousRe + b);
        const __m256 pi = _mm256_loadu_ps(previousIm + b);
        const __m256 rotationRe = _mm256_fmadd_ps(pr, cr, _mm256_mul_ps(pi, ci));
        const __m256 rotationIm = _mm256_fmsub_ps(pr, ci, _mm256_mul_ps(pi, cr));
        const __m256 restart = RestartLanes(counters + b);
        _mm256_storeu_ps(advanceRe + b, Pick(restart, cr, rotationRe));
        _mm256_storeu_ps(advanceIm + b, Pick(restart, ci, rotationIm));
        _mm256_storeu_ps(previousRe + b, cr);
        _mm256_storeu_ps(previousIm + b, ci);
    }
    plain::PhaseAdvance(currentRe + b, currentIm + b, previousRe + b, previousIm + b, advanceRe + b,
                        advanceIm + b, counters + b, count - b);
}

void TurnPhasors(float* KELVANE_RESTRICT phasorRe, float* KELVANE_RESTRICT phasorIm,
                 const float* KELVANE_RESTRICT advanceRe, const float* KELVANE_RESTRICT advanceIm,
                 const float* KELVANE_RESTRICT analysedRe, const float* KELVANE_RESTRICT analysedIm,
                 const std::uint8_t* KELVANE_RESTRICT counters, float* KELVANE_RESTRICT rotationRe,
                 float* KELVANE_RESTRICT rotationIm, int count)
{
    const __m256 usable = _mm256_set1_ps(vector_ops::usableRotation);
    const __m256 one = _mm256_set1_ps(1.0f);
    int b = 0;
    for (; b + 8 <= count; b += 8) {
        const __m256 pr = _mm256_loadu_ps(phasorRe + b);
        const __m256 pi = _mm256_loadu_ps(phasorIm + b);
        const __m256 ar = _mm256_loadu_ps(advanceRe + b);
        const __m256 ai = _mm256_loadu_ps(advanceIm + b);
        const __m256 restart = RestartLanes(counters + b);
        const __m256 turnedRe = _mm256_fmsub_ps(pr, ar, _mm256_mul_ps(pi, ai));
        const __m256 turnedIm = _mm256_fmadd_ps(pi, ar, _mm256_mul_ps(pr, ai));
        const __m256 nr = Pick(restart, ar, turnedRe);
        const __m256 ni = Pick(restart, ai, turnedIm);
        _mm256_storeu_ps(phasorRe + b, nr);
        _mm256_storeu_ps(phasorIm + b, ni);
        const __m256 cr = _mm256_loadu_ps(analysedRe + b);
        const __m256 ci = _mm256_loadu_ps(analysedIm + b);
        const __m256 x = _mm256_fmadd_ps(nr, cr, _mm256_mul_ps(ni, ci));
        const __m256 y = _mm256_fmsub_ps(ni, cr, _mm256_mul_ps(nr, ci));
        const __m256 norm = _mm256_fmadd_ps(x, x, _mm256_mul_ps(y, y));
        // Lanes too weak are masked to 0 (their products may be NaN).
        const __m256 keep = _mm256_cmp_ps(norm, usable, _CMP_GT_OQ);
        const __m256 r = _mm256_div_ps(one, _mm256_sqrt_ps(norm));
        _mm256_storeu_ps(rotationRe + b, _mm256_and_ps(keep, _mm256_mul_ps(x, r)));
        _mm256_storeu_ps(rotationIm + b, _mm256_and_ps(keep, _mm256_mul_ps(y, r)));
    }
    plain::TurnPhasors(phasorRe + b, phasorIm + b, advanceRe + b, advanceIm + b, analysedRe + b,
                       analysedIm + b, counters + b, rotationRe + b, rotationIm + b, count - b);
}

void LockPhasors(float* KELVANE_RESTRICT phasorRe, float* KELVANE_RESTRICT phasorIm,
                 const float* KELVANE_RESTRICT analysedRe, const float* KELVANE_RESTRICT analysedIm,
                 const std::uint8_t* KELVANE_RESTRICT counters, const float* KELVANE_RESTRICT rotationRe,
                 const float* KELVANE_RESTRICT rotationIm, const std::int16_t* KELVANE_RESTRICT peak,
                 int count)
{
    const __m256 half = _mm256_set1_ps(0.5f);
    int b = 0;
    for (; b + 8 <= count; b += 8) {
        const __m256i at = PeakLanes(peak + b);
        const __m256 dr = _mm256_i32gather_ps(rotationRe, at, 4);
        const __m256 di = _mm256_i32gather_ps(rotationIm, at, 4);
        const __m256 cr = _mm256_loadu_ps(analysedRe + b);
        const __m256 ci = _mm256_loadu_ps(analysedIm + b);
        const __m256 norm = _mm256_fmadd_ps(dr, dr, _mm256_mul_ps(di, di));
        const __m256 lock =
            _mm256_andnot_ps(RestartLanes(counters + b), _mm256_cmp_ps(norm, half, _CMP_GT_OQ));
        const __m256 lockedRe = _mm256_fmsub_ps(dr, cr, _mm256_mul_ps(di, ci));
        const __m256 lockedIm = _mm256_fmadd_ps(di, cr, _mm256_mul_ps(dr, ci));
        _mm256_storeu_ps(phasorRe + b, Pick(lock, lockedRe, _mm256_loadu_ps(phasorRe + b)));
        _mm256_storeu_ps(phasorIm + b, Pick(lock, lockedIm, _mm256_loadu_ps(phasorIm + b)));
    }
    plain::LockPhasors(phasorRe + b, phasorIm + b, analysedRe + b, analysedIm + b, counters + b, rotationRe,
                       rotationIm, peak + b, count - b);
}

void TakeLouder(const float* rotationRe, const float* rotationIm, const float* magnitude, const float* keptRe,
                const float* keptIm, const float* keptMagnitude, float* linkedRe, float* linkedIm,
                float* loudest, int count)
{
    int b = 0;
    for (; b + 8 <= count; b += 8) {
        const __m256 m = _mm256_loadu_ps(magnitude + b);
        const __m256 kept = _mm256_loadu_ps(keptMagnitude + b);
        const __m256 louder = _mm256_cmp_ps(m, kept, _CMP_GT_OQ);
        const __m256 re = Pick(louder, _mm256_loadu_ps(rotationRe + b), _mm256_loadu_ps(keptRe + b));
        const __m256 im = Pick(louder, _mm256_loadu_ps(rotationIm + b), _mm256_loadu_ps(keptIm + b));
        _mm256_storeu_ps(linkedRe + b, re);
        _mm256_storeu_ps(linkedIm + b, im);
        _mm256_storeu_ps(loudest + b, Pick(louder, m, kept));
    }
    plain::TakeLouder(rotationRe + b, rotationIm + b, magnitude + b, keptRe + b, keptIm + b,
                      keptMagnitude + b, linkedRe + b, linkedIm + b, loudest + b, count - b);
}

// The formant correction's loops.

// All ones in the first `left` lanes: the bins left at the end of a run.
inline __m256i FirstLanes(int left)
{
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(left), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// The value as rounded: the compiler may not fuse the multiply before into
// the add after.
inline __m256 Rounded(__m256 v)
{
    __asm__("" : "+x"(v));
    return v;
}

// formant_loops::Log2, operation for operation and without fused
// multiply-adds: the same bits, so that the peaks counted over the logs, and
// the reach taken from them, are the plain loops' own.
inline __m256 Log2Lanes(__m256 x)
{
    const __m256i bits = _mm256_castps_si256(x);
    const __m256 exponent =
        _mm256_cvtepi32_ps(_mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(127)));
    const __m256 mantissa = _mm256_castsi256_ps(_mm256_or_si256(
        _mm256_and_si256(bits, _mm256_set1_epi32(0x007FFFFF)), _mm256_set1_epi32(0x3F800000)));
    const __m256 t = _mm256_sub_ps(mantissa, _mm256_set1_ps(1.0f));
    __m256 p = Rounded(_mm256_mul_ps(t, _mm256_set1_ps(0.0434283633f)));
    for (const float coefficient : {-0.187720493f, 0.408718944f, -0.705702621f, 1.44126707f}) {
        p = Rounded(_mm256_mul_ps(t, _mm256_add_ps(_mm256_set1_ps(coefficient), p)));
    }
    return _mm256_add_ps(exponent, _mm256_add_ps(_mm256_set1_ps(3.19308577e-05f), p));
}

// formant_loops::Exp2 with fused multiply-adds.
inline __m256 Exp2Lanes(__m256 x)
{
    const __m256i whole = _mm256_sub_epi32(_mm256_cvttps_epi32(_mm256_add_ps(x, _mm256_set1_ps(127.0f))),
                                           _mm256_set1_epi32(127));
    const __m256 f = _mm256_sub_ps(x, _mm256_cvtepi32_ps(whole));
    __m256 p = _mm256_fmadd_ps(f, _mm256_set1_ps(0.01367653f), _mm256_set1_ps(0.05166685f));
    p = _mm256_fmadd_ps(f, p, _mm256_set1_ps(0.24171032f));
    p = _mm256_fmadd_ps(f, p, _mm256_set1_ps(0.69293126f));
    p = _mm256_fmadd_ps(f, p, _mm256_set1_ps(1.00000729f));
    const __m256i scale = _mm256_slli_epi32(_mm256_add_epi32(whole, _mm256_set1_epi32(127)), 23);
    return _mm256_mul_ps(_mm256_castsi256_ps(scale), p);
}

// formant_loops::LimitLift; the selections are the plain loop's.
inline __m256 LimitLiftLanes(__m256 change)
{
    return _mm256_max_ps(_mm256_min_ps(change, _mm256_set1_ps(formant_loops::maxLift)),
                         _mm256_set1_ps(-126.0f));
}

// formant_loops::EnvelopeAt at the eight positions x, with fused
// multiply-adds; lanes at or past the envelope's top read the floor.
inline __m256 EnvelopeAtLanes(const float* envelope, __m256 x, int count)
{
    const __m256i i = _mm256_cvttps_epi32(x);
    const __m256 inside = _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(count - 1), i));
    const __m256 zero = _mm256_setzero_ps();
    const __m256 low = _mm256_mask_i32gather_ps(zero, envelope, i, inside, 4);
    const __m256 high = _mm256_mask_i32gather_ps(zero, envelope + 1, i, inside, 4);
    const __m256 read =
        _mm256_fmadd_ps(_mm256_sub_ps(high, low), _mm256_sub_ps(x, _mm256_cvtepi32_ps(i)), low);
    return Pick(inside, read, _mm256_set1_ps(formant_loops::logEnvelopeFloor));
}

// Bins k..k+7 as floats.
inline __m256 BinPositions(int k)
{
    return _mm256_add_ps(_mm256_set1_ps(static_cast<float>(k)), _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7));
}

void LogMagnitudes(const float* KELVANE_RESTRICT magnitude, float* KELVANE_RESTRICT logs, int count)
{
    int k = 0;
    for (; k + 8 <= count; k += 8) {
        _mm256_storeu_ps(logs + k, Log2Lanes(_mm256_loadu_ps(magnitude + k)));
    }
    if (k < count) {
        const __m256i lanes = FirstLanes(count - k);
        // Lanes past the end read 1 (their log is computed and not stored).
        const __m256 x =
            Pick(_mm256_castsi256_ps(lanes), _mm256_maskload_ps(magnitude + k, lanes), _mm256_set1_ps(1.0f));
        _mm256_maskstore_ps(logs + k, lanes, Log2Lanes(x));
    }
}

// Selections as the plain loop's, so the same bits.
void HoldPeaks(const float* KELVANE_RESTRICT in, float* KELVANE_RESTRICT out, int count)
{
    out[0] = std::max(in[0], in[1]);
    int k = 1;
    for (; k + 8 <= count - 1; k += 8) {
        const __m256 louder = _mm256_max_ps(_mm256_loadu_ps(in + k - 1), _mm256_loadu_ps(in + k));
        _mm256_storeu_ps(out + k, _mm256_max_ps(louder, _mm256_loadu_ps(in + k + 1)));
    }
    for (; k < count - 1; ++k) {
        const float louder = in[k - 1] > in[k] ? in[k - 1] : in[k];
        out[k] = louder > in[k + 1] ? louder : in[k + 1];
    }
    out[count - 1] = std::max(in[count - 2], in[count - 1]);
}

// A one-pole sweep y = x + c (y' - x), y' the bin before in the sweep's
// direction, is y = (1 - c) x + c y': a scan, done eight bins at a time in
// three steps of shifted, weighted sums inside the vector, then the value
// carried from the block before, weighted by c to the power of each lane's
// distance from it. A shift's lanes with nothing to take are weighted by 0
// (every log envelope value is finite).
struct SweepWeights {
    explicit SweepWeights(float c)
    {
        float power[9] = {1.0f};
        for (int i = 1; i <= 8; ++i) {
            power[i] = power[i - 1] * c;
        }
        keep = _mm256_set1_ps(1.0f - c);
        up[0] = _mm256_setr_ps(0, c, c, c, c, c, c, c);
        up[1] = _mm256_setr_ps(0, 0, power[2], power[2], power[2], power[2], power[2], power[2]);
        up[2] = _mm256_setr_ps(0, 0, 0, 0, power[4], power[4], power[4], power[4]);
        down[0] = _mm256_setr_ps(c, c, c, c, c, c, c, 0);
        down[1] = _mm256_setr_ps(power[2], power[2], power[2], power[2], power[2], power[2], 0, 0);
        down[2] = _mm256_setr_ps(power[4], power[4], power[4], power[4], 0, 0, 0, 0);
        carriedUp =
            _mm256_setr_ps(power[1], power[2], power[3], power[4], power[5], power[6], power[7], power[8]);
        carriedDown =
            _mm256_setr_ps(power[8], power[7], power[6], power[5], power[4], power[3], power[2], power[1]);
    }
    __m256 keep;
    __m256 up[3];
    __m256 down[3];
    __m256 carriedUp;
    __m256 carriedDown;
};

void SweepUp(float* envelope, int count, float c, const SweepWeights& w)
{
    const __m256i from[3] = {_mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6),
                             _mm256_setr_epi32(0, 0, 0, 1, 2, 3, 4, 5),
                             _mm256_setr_epi32(0, 0, 0, 0, 0, 1, 2, 3)};
    __m256 carried = _mm256_set1_ps(envelope[0]);
    int k = 0;
    for (; k + 8 <= count; k += 8) {
        __m256 v = _mm256_mul_ps(w.keep, _mm256_loadu_ps(envelope + k));
        for (int step = 0; step < 3; ++step) {
            v = _mm256_fmadd_ps(w.up[step], _mm256_permutevar8x32_ps(v, from[step]), v);
        }
        v = _mm256_fmadd_ps(w.carriedUp, carried, v);
        _mm256_storeu_ps(envelope + k, v);
        carried = _mm256_permutevar8x32_ps(v, _mm256_set1_epi32(7));
    }
    formant::SweepUp(envelope, k, count, c, _mm256_cvtss_f32(carried));
}

void SweepDown(float* envelope, int count, float c, const SweepWeights& w)
{
    const __m256i from[3] = {_mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 7),
                             _mm256_setr_epi32(2, 3, 4, 5, 6, 7, 7, 7),
                             _mm256_setr_epi32(4, 5, 6, 7, 7, 7, 7, 7)};
    // The top bins that fill no vector first.
    int k = count - count % 8;
    __m256 carried = _mm256_set1_ps(formant::SweepDown(envelope + k, count - k, c, envelope[count - 1]));
    for (k -= 8; k >= 0; k -= 8) {
        __m256 v = _mm256_mul_ps(w.keep, _mm256_loadu_ps(envelope + k));
        for (int step = 0; step < 3; ++step) {
            v = _mm256_fmadd_ps(w.down[step], _mm256_permutevar8x32_ps(v, from[step]), v);
        }
        v = _mm256_fmadd_ps(w.carriedDown, carried, v);
        _mm256_storeu_ps(envelope + k, v);
        carried = _mm256_permutevar8x32_ps(v, _mm256_setzero_si256());
    }
}

void SmoothEnvelope(float* envelope, int count, float c, int passes)
{
    const SweepWeights weights(c);
    for (int pass = 0; pass < passes; ++pass) {
        SweepDown(envelope, count, c, weights);
        SweepUp(envelope, count, c, weights);
    }
    const __m256 floor = _mm256_set1_ps(formant_loops::logEnvelopeFloor);
    int k = 0;
    for (; k + 8 <= count; k += 8) {
        _mm256_storeu_ps(envelope + k, _mm256_max_ps(floor, _mm256_loadu_ps(envelope + k)));
    }
    for (; k < count; ++k) {
        envelope[k] = std::max(envelope[k], formant_loops::logEnvelopeFloor);
    }
}

// In one pass, in place, without the work space: a bin reads the envelope
// at k x ratio and k x ratio + 1, at or above k when the ratio is 1 or more,
// so the bins go up from 0; with a smaller ratio they read at or below k + 1
// and go down from the top. Either way every reading finds the envelope
// still whole, as eight lanes read before they store.
void ShapeShortBand(const float* KELVANE_RESTRICT magnitude, float* KELVANE_RESTRICT envelope, float*,
                    float ratio, int count)
{
    const __m256 r = _mm256_set1_ps(ratio);
    const auto block = [&](int k) {
        const __m256 own = _mm256_loadu_ps(envelope + k);
        const __m256 read = EnvelopeAtLanes(envelope, _mm256_mul_ps(BinPositions(k), r), count);
        const __m256 gain = Exp2Lanes(LimitLiftLanes(_mm256_sub_ps(read, own)));
        _mm256_storeu_ps(envelope + k, _mm256_mul_ps(_mm256_loadu_ps(magnitude + k), gain));
    };
    const int whole = count - count % 8;
    if (ratio >= 1.0f) {
        for (int k = 0; k < whole; k += 8) {
            block(k);
        }
        for (int k = whole; k < count; ++k) {
            envelope[k] = formant_loops::ShortBandBin(magnitude, envelope, ratio, count, k);
        }
    } else {
        for (int k = count - 1; k >= whole; --k) {
            envelope[k] = formant_loops::ShortBandBin(magnitude, envelope, ratio, count, k);
        }
        for (int k = whole - 8; k >= 0; k -= 8) {
            block(k);
        }
    }
}

void ShapeLongBand(const float* KELVANE_RESTRICT longMagnitude, const float* KELVANE_RESTRICT shortMagnitude,
                   const float* KELVANE_RESTRICT envelope, float* KELVANE_RESTRICT out, float ratio,
                   int envelopeCount, int count)
{
    const __m256 r = _mm256_set1_ps(ratio);
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 liftLimit = _mm256_set1_ps(formant_loops::longLiftLimit);
    // Long bins j..j+7 lie at short bins j/2..j/2+3, each twice.
    const __m256i pairs = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
    int j = 0;
    for (; j + 8 <= count; j += 8) {
        const __m256 warped =
            EnvelopeAtLanes(envelope, _mm256_mul_ps(_mm256_mul_ps(BinPositions(j), r), half), envelopeCount);
        const __m256 own =
            _mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_loadu_ps(envelope + j / 2)), pairs);
        const __m256 beside =
            _mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_loadu_ps(shortMagnitude + j / 2)), pairs);
        const __m256 gain = Exp2Lanes(LimitLiftLanes(_mm256_sub_ps(warped, own)));
        const __m256 level = _mm256_loadu_ps(longMagnitude + j);
        const __m256 corrected = _mm256_mul_ps(level, gain);
        const __m256 supported = _mm256_mul_ps(_mm256_mul_ps(liftLimit, beside), gain);
        _mm256_storeu_ps(out + j, _mm256_min_ps(_mm256_max_ps(supported, level), corrected));
    }
    for (; j < count; ++j) {
        out[j] = formant_loops::LongBandBin(longMagnitude, shortMagnitude, envelope, ratio, envelopeCount, j);
    }
}

// Products alone, so the same bits.
void EmitBins(const float* KELVANE_RESTRICT phasorRe, const float* KELVANE_RESTRICT phasorIm,
              const float* KELVANE_RESTRICT magnitude, float gain, const float* KELVANE_RESTRICT share,
              float* KELVANE_RESTRICT outRe, float* KELVANE_RESTRICT outIm, int count)
{
    const __m256 g = _mm256_set1_ps(gain);
    int b = 0;
    for (; b + 8 <= count; b += 8) {
        const __m256 e = _mm256_mul_ps(g, _mm256_loadu_ps(magnitude + b));
        __m256 re = _mm256_mul_ps(_mm256_loadu_ps(phasorRe + b), e);
        __m256 im = _mm256_mul_ps(_mm256_loadu_ps(phasorIm + b), e);
        if (share != nullptr) {
            const __m256 s = _mm256_loadu_ps(share + b);
            re = _mm256_mul_ps(re, s);
            im = _mm256_mul_ps(im, s);
        }
        _mm256_storeu_ps(outRe + b, re);
        _mm256_storeu_ps(outIm + b, im);
    }
    plain::EmitBins(phasorRe + b, phasorIm + b, magnitude + b, gain, share == nullptr ? nullptr : share + b,
                    outRe + b, outIm + b, count - b);
}

// Products alone, so the same bits.
void WindowRun(const float* KELVANE_RESTRICT samples, const float* KELVANE_RESTRICT window,
               float* KELVANE_RESTRICT out, int count)
{
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_loadu_ps(samples + i), _mm256_loadu_ps(window + i)));
    }
    plain::WindowRun(samples + i, window + i, out + i, count - i);
}

// x x, rounded before any sum takes it, as the plain loops round it.
inline float Square(float x)
{
    float square = x * x;
    __asm__("" : "+x"(square));
    return square;
}

// The plain loop's four running sums, each taking x[i] and then x[i + 4],
// so the same bits.
double SumOfSquares(const float* KELVANE_RESTRICT x, int count)
{
    __m128 lanes = _mm_setzero_ps();
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256 v = _mm256_loadu_ps(x + i);
        const __m256 squares = Rounded(_mm256_mul_ps(v, v));
        lanes =
            _mm_add_ps(_mm_add_ps(lanes, _mm256_castps256_ps128(squares)), _mm256_extractf128_ps(squares, 1));
    }
    float sums[4];
    _mm_storeu_ps(sums, lanes);
    if (i + 4 <= count) {
        for (int l = 0; l < 4; ++l) {
            sums[l] += Square(x[i + l]);
        }
        i += 4;
    }
    for (; i < count; ++i) {
        sums[0] += Square(x[i]);
    }
    return vector_ops::SumOfLanes(sums);
}

// The four running sums of the four-lane form, each taking bin k and then
// bin k + 4 as that form does, so the same bits: eight bins are judged at a
// time, but the sums keep their order and the onsets found are the plain
// loops' own.
int SumOnsetPower(const float* KELVANE_RESTRICT power, const float* KELVANE_RESTRICT ratio,
                  const std::uint8_t* KELVANE_RESTRICT counters, float* KELVANE_RESTRICT total,
                  float* KELVANE_RESTRICT rising, int count)
{
    const __m256 one = _mm256_set1_ps(1.0f);
    __m128 sum = _mm_loadu_ps(total);
    __m128 risen = _mm_loadu_ps(rising);
    int restarts = 0;
    int k = 0;
    for (; k + 8 <= count; k += 8) {
        const __m256 p = _mm256_loadu_ps(power + k);
        const __m256 restart = RestartLanes(counters + k);
        const __m256 rises =
            _mm256_and_ps(restart, _mm256_cmp_ps(_mm256_loadu_ps(ratio + k), one, _CMP_GT_OQ));
        // Adding 0 where a bin does not rise leaves the lane's sum as it is.
        const __m256 risenPower = _mm256_and_ps(rises, p);
        sum = _mm_add_ps(_mm_add_ps(sum, _mm256_castps256_ps128(p)), _mm256_extractf128_ps(p, 1));
        risen = _mm_add_ps(_mm_add_ps(risen, _mm256_castps256_ps128(risenPower)),
                           _mm256_extractf128_ps(risenPower, 1));
        restarts += __builtin_popcount(static_cast<unsigned>(_mm256_movemask_ps(restart)));
    }
    _mm_storeu_ps(total, sum);
    _mm_storeu_ps(rising, risen);
    return restarts + plain::SumOnsetPower(power + k, ratio + k, counters + k, total, rising, count - k);
}

// Each rising bin's gain in double, eight bins at a time, where any rises;
// the gains are added one by one in bin order, as the plain loop adds them.
double RisingGain(const float* KELVANE_RESTRICT power, const float* KELVANE_RESTRICT ratio,
                  const std::uint8_t* KELVANE_RESTRICT counters, int count)
{
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256d oneWide = _mm256_set1_pd(1.0);
    double gain = 0.0;
    int k = 0;
    for (; k + 8 <= count; k += 8) {
        const __m256 r = _mm256_loadu_ps(ratio + k);
        const __m256 rises = _mm256_and_ps(RestartLanes(counters + k), _mm256_cmp_ps(r, one, _CMP_GT_OQ));
        auto lanes = static_cast<unsigned>(_mm256_movemask_ps(rises));
        if (lanes == 0) {
            continue;
        }
        const __m256 p = _mm256_loadu_ps(power + k);
        // The lanes that do not rise divide by anything, and are not added.
        double gains[8];
        for (int half = 0; half < 2; ++half) {
            const __m256d rh =
                _mm256_cvtps_pd(half == 0 ? _mm256_castps256_ps128(r) : _mm256_extractf128_ps(r, 1));
            const __m256d ph =
                _mm256_cvtps_pd(half == 0 ? _mm256_castps256_ps128(p) : _mm256_extractf128_ps(p, 1));
            _mm256_storeu_pd(gains + 4 * half,
                             _mm256_mul_pd(ph, _mm256_sub_pd(oneWide, _mm256_div_pd(oneWide, rh))));
        }
        for (; lanes != 0; lanes &= lanes - 1) {
            gain += gains[__builtin_ctz(lanes)];
        }
    }
    for (; k < count; ++k) {
        if (counters[k] == 0 && ratio[k] > 1.0f) {
            double g = static_cast<double>(power[k]) * (1.0 - 1.0 / static_cast<double>(ratio[k]));
            // Not fused into the sum: the plain loop rounds the product first.
            __asm__("" : "+x"(g));
            gain += g;
        }
    }
    return gain;
}

// Selections only, so the same bits.
void HoldRestarts(const std::uint8_t* KELVANE_RESTRICT counters, const std::uint8_t* KELVANE_RESTRICT onset,
                  const float* KELVANE_RESTRICT turnRe, const float* KELVANE_RESTRICT turnIm,
                  float* KELVANE_RESTRICT advanceRe, float* KELVANE_RESTRICT advanceIm, int count)
{
    int b = 0;
    for (; b + 8 <= count; b += 8) {
        std::uint64_t bytes;
        std::memcpy(&bytes, counters + b, sizeof bytes);
        // No zero byte among the eight counters: all steady, the common case.
        if (((bytes - 0x0101010101010101u) & ~bytes & 0x8080808080808080u) == 0) {
            continue;
        }
        const __m128i either = _mm_or_si128(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(counters + b)),
                                            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(onset + b)));
        const __m256 held =
            _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_cvtepu8_epi32(either), _mm256_setzero_si256()));
        _mm256_storeu_ps(advanceRe + b,
                         Pick(held, _mm256_loadu_ps(turnRe + b), _mm256_loadu_ps(advanceRe + b)));
        _mm256_storeu_ps(advanceIm + b,
                         Pick(held, _mm256_loadu_ps(turnIm + b), _mm256_loadu_ps(advanceIm + b)));
    }
    plain::HoldRestarts(counters + b, onset + b, turnRe + b, turnIm + b, advanceRe + b, advanceIm + b,
                        count - b);
}

// The plain loops' sums and products, unfused and in their order, so the
// same decisions; the peaks' sums gathered.
void KeepMembers(std::int16_t* KELVANE_RESTRICT peak, float* const* advance, int imaginary, int channels,
                 const std::uint8_t* KELVANE_RESTRICT counters, float least, float* KELVANE_RESTRICT sumRe,
                 float* KELVANE_RESTRICT sumIm, int end)
{
    int k = 0;
    for (; k + 8 <= end; k += 8) {
        __m256 re = _mm256_loadu_ps(advance[0] + k);
        __m256 im = _mm256_loadu_ps(advance[0] + imaginary + k);
        for (int ch = 1; ch < channels; ++ch) {
            re = _mm256_add_ps(re, _mm256_loadu_ps(advance[ch] + k));
            im = _mm256_add_ps(im, _mm256_loadu_ps(advance[ch] + imaginary + k));
        }
        const __m256 restarted = RestartLanes(counters + k);
        _mm256_storeu_ps(sumRe + k, _mm256_andnot_ps(restarted, re));
        _mm256_storeu_ps(sumIm + k, _mm256_andnot_ps(restarted, im));
    }
    plain::SumAdvances(advance, imaginary, channels, counters, sumRe, sumIm, k, end);

    const __m256 leastLanes = _mm256_set1_ps(least);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    k = 1;
    for (; k + 8 <= end; k += 8) {
        const __m256i at = PeakLanes(peak + k);
        const __m256 pr = _mm256_i32gather_ps(sumRe, at, 4);
        const __m256 pi = _mm256_i32gather_ps(sumIm, at, 4);
        const __m256 kr = _mm256_loadu_ps(sumRe + k);
        const __m256 ki = _mm256_loadu_ps(sumIm + k);
        const __m256 dot = _mm256_add_ps(_mm256_mul_ps(kr, pr), _mm256_mul_ps(ki, pi));
        const __m256 lengths = _mm256_mul_ps(_mm256_add_ps(_mm256_mul_ps(kr, kr), _mm256_mul_ps(ki, ki)),
                                             _mm256_add_ps(_mm256_mul_ps(pr, pr), _mm256_mul_ps(pi, pi)));
        const __m256 member = _mm256_and_ps(
            _mm256_cmp_ps(dot, _mm256_setzero_ps(), _CMP_GT_OQ),
            _mm256_cmp_ps(_mm256_mul_ps(dot, dot), _mm256_mul_ps(leastLanes, lengths), _CMP_GT_OQ));
        const __m256i own = _mm256_add_epi32(_mm256_set1_epi32(k), lanes);
        const __m256i chosen = _mm256_blendv_epi8(own, at, _mm256_castps_si256(member));
        // Every index fits in 16 bits: packing saturates nothing.
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(peak + k),
            _mm_packs_epi32(_mm256_castsi256_si128(chosen), _mm256_extracti128_si256(chosen, 1)));
    }
    plain::DecideMembers(peak, sumRe, sumIm, least, k, end);
}

// Lane 7 (0) of each half of sixteen in all of its half's lanes.
inline __m256i HighestOfHalves(__m256i x)
{
    const __m256i h = _mm256_shufflehi_epi16(x, 0xFF);
    return _mm256_unpackhi_epi64(h, h);
}

inline __m256i LowestOfHalves(__m256i x)
{
    const __m256i l = _mm256_shufflelo_epi16(x, 0x00);
    return _mm256_unpacklo_epi64(l, l);
}

// The running max of sixteen lanes from lane 0 up: within each half over
// lanes shifted by 1, 2 and 4, then the low half's last into the high half
// (0, which never wins, into the low one).
inline __m256i MaxUpwards(__m256i x)
{
    x = _mm256_max_epi16(x, _mm256_slli_si256(x, 2));
    x = _mm256_max_epi16(x, _mm256_slli_si256(x, 4));
    x = _mm256_max_epi16(x, _mm256_slli_si256(x, 8));
    const __m256i highest = HighestOfHalves(x);
    return _mm256_max_epi16(x, _mm256_permute2x128_si256(highest, highest, 0x08));
}

// The same from lane 15 down: the high half's first into the low half.
inline __m256i MaxDownwards(__m256i x)
{
    x = _mm256_max_epi16(x, _mm256_srli_si256(x, 2));
    x = _mm256_max_epi16(x, _mm256_srli_si256(x, 4));
    x = _mm256_max_epi16(x, _mm256_srli_si256(x, 8));
    const __m256i lowest = LowestOfHalves(x);
    return _mm256_max_epi16(x, _mm256_permute2x128_si256(lowest, lowest, 0x81));
}

// The climbing directions eight bins at a time, then the plain loop's two
// scans sixteen bins at a time, as the four-lane form does them eight at a
// time: the running max (min) of each block, then with the carry from the
// block before. The same peaks.
void FindPeaks(const float* magnitude, std::int16_t* peak, int end)
{
    if (end < 3) {
        plain::FindPeaks(magnitude, peak, end);
        return;
    }
    peak[0] = 0;
    peak[1] = plain::ClimbWay(0.0f, magnitude[1], magnitude[2]);
    const __m256i one32 = _mm256_set1_epi32(1);
    int k = 2;
    for (; k + 8 <= end - 1; k += 8) {
        const __m256 left = _mm256_loadu_ps(magnitude + k - 1);
        const __m256 here = _mm256_loadu_ps(magnitude + k);
        const __m256 right = _mm256_loadu_ps(magnitude + k + 1);
        const __m256 towardsRight =
            _mm256_and_ps(_mm256_cmp_ps(right, here, _CMP_GT_OQ), _mm256_cmp_ps(right, left, _CMP_GE_OQ));
        const __m256 towardsLeft = _mm256_andnot_ps(towardsRight, _mm256_cmp_ps(left, here, _CMP_GT_OQ));
        const __m256i way = _mm256_or_si256(_mm256_castps_si256(towardsLeft),
                                            _mm256_and_si256(_mm256_castps_si256(towardsRight), one32));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(peak + k),
                         _mm_packs_epi32(_mm256_castsi256_si128(way), _mm256_extracti128_si256(way, 1)));
    }
    for (; k < end; ++k) {
        peak[k] = plain::ClimbWay(magnitude[k - 1], magnitude[k], k + 1 < end ? magnitude[k + 1] : 0.0f);
    }

    const int tail = 1 + 16 * ((end - 1) / 16);
    const __m256i lanes = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m256i sixteen = _mm256_set1_epi16(16);
    const __m256i minusOne = _mm256_set1_epi16(-1);
    const __m256i one = _mm256_set1_epi16(1);
    __m256i index = _mm256_add_epi16(lanes, one);
    __m256i last = one;
    for (k = 1; k < tail; k += 16) {
        const __m256i way = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(peak + k));
        const __m256i x =
            _mm256_max_epi16(MaxUpwards(_mm256_and_si256(index, _mm256_cmpgt_epi16(way, minusOne))), last);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(peak + k), _mm256_and_si256(x, _mm256_cmpgt_epi16(one, way)));
        const __m256i highest = HighestOfHalves(x);
        last = _mm256_permute2x128_si256(highest, highest, 0x11);
        index = _mm256_add_epi16(index, sixteen);
    }
    int lastIndex = _mm256_extract_epi16(last, 0);
    plain::FindPeaksFrom(peak, tail, end, lastIndex);

    int next = end - 1;
    plain::FindPeaksDown(peak, end - 1, tail, end, next);
    const __m256i endValue = _mm256_set1_epi16(static_cast<std::int16_t>(end));
    const __m256i zero = _mm256_setzero_si256();
    __m256i distance = _mm256_set1_epi16(static_cast<std::int16_t>(end - next));
    index = _mm256_add_epi16(lanes, _mm256_set1_epi16(static_cast<std::int16_t>(tail - 16)));
    for (k = tail - 16; k >= 1; k -= 16) {
        const __m256i left = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(peak + k));
        const __m256i climbsRight = _mm256_cmpeq_epi16(left, zero);
        const __m256i x =
            _mm256_max_epi16(MaxDownwards(_mm256_andnot_si256(climbsRight, _mm256_sub_epi16(endValue, index))),
                             distance);
        const __m256i found = _mm256_sub_epi16(endValue, x);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(peak + k),
                            _mm256_or_si256(_mm256_and_si256(climbsRight, found), _mm256_andnot_si256(climbsRight, left)));
        const __m256i lowest = LowestOfHalves(x);
        distance = _mm256_permute2x128_si256(lowest, lowest, 0x00);
        index = _mm256_sub_epi16(index, sixteen);
    }
}

}  // namespace

extern const BinLoops avx2BinLoops = {SplitPolar,
                                      UpdateStability<0>,
                                      UpdateStability<1>,
                                      PhaseAdvance,
                                      TurnPhasors,
                                      LockPhasors,
                                      FindPeaks,
                                      TakeLouder,
                                      LogMagnitudes,
                                      HoldPeaks,
                                      SmoothEnvelope,
                                      ShapeShortBand,
                                      ShapeLongBand,
                                      EmitBins,
                                      WindowRun,
                                      SumOfSquares,
                                      SumOnsetPower,
                                      RisingGain,
                                      HoldRestarts,
                                      KeepMembers};

}  // namespace kelvane

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif  // KELVANE_EIGHT_LANES

// The per-bin loops eight bins at a time (AVX2) with fused multiply-adds.
// Everything after the target switch is compiled for those instructions and
// runs only where the processor has them; the headers come before it, so
// that the copies of their inline functions (the plain loops, which finish
// the last bins of every run) that other files may share keep the baseline
// target. Inlined here, those may be fused too.
#include <cstdint>
#include <cstring>

#include "bin_loops.h"
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

// All ones in the lanes of the eight bins whose stability counter is 0.
inline __m256 RestartLanes(const std::uint8_t* counters)
{
    const __m256i widened = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(counters)));
    return _mm256_castsi256_ps(_mm256_cmpeq_epi32(widened, _mm256_setzero_si256()));
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
        const __m256i at = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(peak + b)));
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

}  // namespace

// The peak scans are integer work that SSE2 does as fast.
extern const BinLoops avx2BinLoops = {
    SplitPolar,  UpdateStability<0>, UpdateStability<1>,         PhaseAdvance,
    TurnPhasors, LockPhasors,        vector_ops::sse::FindPeaks, TakeLouder};

}  // namespace kelvane

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif  // KELVANE_EIGHT_LANES

// Per-bin loops of the spectral steps, four bins at a time.
//
// Every loop has a plain scalar form and, on processors with SSE2, a vector
// form. Both use only correctly rounded operations (add, multiply, divide,
// square root) in the same order, one operation per statement so that no
// compiler fuses a multiply-add, and therefore compute the same bits. The
// namespace `selected` names the vector form where it exists; tests run both.
// Defining KELVANE_SCALAR_BINS selects the scalar form everywhere, so that a
// build can run the whole engine on it.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#if (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)) && \
    !defined(KELVANE_SCALAR_BINS)
#include <emmintrin.h>
#define KELVANE_HAVE_SSE2 1
#endif

#define KELVANE_RESTRICT __restrict

namespace kelvane::vector_ops {

// Below this ratio of summed power to the previous hop's, a bin has fallen
// silent or stays silent.
inline constexpr float silentRatio = 1.0e-8f;

namespace scalar {

// Splits the pairs (re[k], im[k]) into magnitudes and unit phasors and adds
// each bin's power to power[k]. In place is allowed: unitRe may be re and
// unitIm may be im.
inline void SplitPolar(const float* re, const float* im, float* KELVANE_RESTRICT power,
                       float* KELVANE_RESTRICT magnitude, float* unitRe, float* unitIm, float tiny, int count)
{
    for (int k = 0; k < count; ++k) {
        const float x = re[k];
        const float y = im[k];
        const float xx = x * x;
        const float yy = y * y;
        const float p = xx + yy;
        power[k] += p;
        const float m = std::sqrt(p + tiny);
        magnitude[k] = m;
        unitRe[k] = x / m;
        unitIm[k] = y / m;
    }
}

// Turns this hop's summed power into its ratio to the previous hop's, keeps
// the power for the next hop, and counts how many hops each bin has stayed
// steady (0 to 255). Bin k is judged against threshold[k >> thresholdShift];
// `frozen` holds every counter at 0.
template <int thresholdShift>
void UpdateStability(float* KELVANE_RESTRICT power, float* KELVANE_RESTRICT previous,
                     const float* KELVANE_RESTRICT threshold, std::uint8_t* KELVANE_RESTRICT counters,
                     bool frozen, float tiny, int count)
{
    for (int k = 0; k < count; ++k) {
        const float current = power[k];
        const float q = current / (previous[k] + tiny);
        previous[k] = current;
        power[k] = q;
        if (q < silentRatio || q > threshold[k >> thresholdShift] || frozen) {
            counters[k] = 0;
        } else if (counters[k] != 255) {
            counters[k] = static_cast<std::uint8_t>(counters[k] + 1);
        }
    }
}

// For steady bins the advance is the rotation from the previous phasor to the
// current one (current times the conjugate of previous); a bin whose counter
// is 0 restarts from its analysed phase, so its advance is the phasor itself.
// The current phasors then become the previous ones.
inline void PhaseAdvance(const float* KELVANE_RESTRICT currentRe, const float* KELVANE_RESTRICT currentIm,
                         float* KELVANE_RESTRICT previousRe, float* KELVANE_RESTRICT previousIm,
                         float* KELVANE_RESTRICT advanceRe, float* KELVANE_RESTRICT advanceIm,
                         const std::uint8_t* KELVANE_RESTRICT counters, int count)
{
    for (int b = 0; b < count; ++b) {
        const float cr = currentRe[b];
        const float ci = currentIm[b];
        const float pr = previousRe[b];
        const float pi = previousIm[b];
        if (counters[b] != 0) {
            const float rr = pr * cr;
            const float ii = pi * ci;
            const float ri = pr * ci;
            const float ir = pi * cr;
            advanceRe[b] = rr + ii;
            advanceIm[b] = ri - ir;
        } else {
            advanceRe[b] = cr;
            advanceIm[b] = ci;
        }
        previousRe[b] = cr;
        previousIm[b] = ci;
    }
}

}  // namespace scalar

#if defined(KELVANE_HAVE_SSE2)
namespace sse {

// Unaligned loads and stores: as fast as aligned ones on aligned data, and
// safe should a caller hand in any other pointer.
inline void SplitPolar(const float* re, const float* im, float* KELVANE_RESTRICT power,
                       float* KELVANE_RESTRICT magnitude, float* unitRe, float* unitIm, float tiny, int count)
{
    const __m128 tinyValue = _mm_set1_ps(tiny);
    int k = 0;
    for (; k + 4 <= count; k += 4) {
        const __m128 x = _mm_loadu_ps(re + k);
        const __m128 y = _mm_loadu_ps(im + k);
        const __m128 p = _mm_add_ps(_mm_mul_ps(x, x), _mm_mul_ps(y, y));
        _mm_storeu_ps(power + k, _mm_add_ps(_mm_loadu_ps(power + k), p));
        const __m128 m = _mm_sqrt_ps(_mm_add_ps(p, tinyValue));
        _mm_storeu_ps(magnitude + k, m);
        _mm_storeu_ps(unitRe + k, _mm_div_ps(x, m));
        _mm_storeu_ps(unitIm + k, _mm_div_ps(y, m));
    }
    scalar::SplitPolar(re + k, im + k, power + k, magnitude + k, unitRe + k, unitIm + k, tiny, count - k);
}

template <int thresholdShift>
void UpdateStability(float* KELVANE_RESTRICT power, float* KELVANE_RESTRICT previous,
                     const float* KELVANE_RESTRICT threshold, std::uint8_t* KELVANE_RESTRICT counters,
                     bool frozen, float tiny, int count)
{
    static_assert(thresholdShift == 0 || thresholdShift == 1);
    const __m128 tinyValue = _mm_set1_ps(tiny);
    const __m128 silent = _mm_set1_ps(silentRatio);
    const __m128 frozenMask = _mm_castsi128_ps(_mm_set1_epi32(frozen ? -1 : 0));
    const __m128i one = _mm_set1_epi8(1);
    int k = 0;
    for (; k + 4 <= count; k += 4) {
        const __m128 current = _mm_loadu_ps(power + k);
        const __m128 q = _mm_div_ps(current, _mm_add_ps(_mm_loadu_ps(previous + k), tinyValue));
        _mm_storeu_ps(previous + k, current);
        _mm_storeu_ps(power + k, q);
        __m128 limit;
        if constexpr (thresholdShift == 0) {
            limit = _mm_loadu_ps(threshold + k);
        } else {
            // Bins k..k+3 share two thresholds: (t0, t0, t1, t1).
            const float t0 = threshold[k / 2];
            const float t1 = threshold[k / 2 + 1];
            limit = _mm_set_ps(t1, t1, t0, t0);
        }
        const __m128 reset =
            _mm_or_ps(_mm_or_ps(_mm_cmplt_ps(q, silent), _mm_cmpgt_ps(q, limit)), frozenMask);
        // Lane masks to one byte per bin; saturating add keeps 255 at 255.
        __m128i resetBytes = _mm_castps_si128(reset);
        resetBytes = _mm_packs_epi32(resetBytes, resetBytes);
        resetBytes = _mm_packs_epi16(resetBytes, resetBytes);
        std::int32_t packed;
        std::memcpy(&packed, counters + k, sizeof packed);
        const __m128i counted = _mm_adds_epu8(_mm_cvtsi32_si128(packed), one);
        packed = _mm_cvtsi128_si32(_mm_andnot_si128(resetBytes, counted));
        std::memcpy(counters + k, &packed, sizeof packed);
    }
    for (; k < count; ++k) {
        scalar::UpdateStability<0>(power + k, previous + k, threshold + (k >> thresholdShift), counters + k,
                                   frozen, tiny, 1);
    }
}

inline void PhaseAdvance(const float* KELVANE_RESTRICT currentRe, const float* KELVANE_RESTRICT currentIm,
                         float* KELVANE_RESTRICT previousRe, float* KELVANE_RESTRICT previousIm,
                         float* KELVANE_RESTRICT advanceRe, float* KELVANE_RESTRICT advanceIm,
                         const std::uint8_t* KELVANE_RESTRICT counters, int count)
{
    const __m128i zero = _mm_setzero_si128();
    int b = 0;
    for (; b + 4 <= count; b += 4) {
        const __m128 cr = _mm_loadu_ps(currentRe + b);
        const __m128 ci = _mm_loadu_ps(currentIm + b);
        const __m128 pr = _mm_loadu_ps(previousRe + b);
        const __m128 pi = _mm_loadu_ps(previousIm + b);
        const __m128 rotationRe = _mm_add_ps(_mm_mul_ps(pr, cr), _mm_mul_ps(pi, ci));
        const __m128 rotationIm = _mm_sub_ps(_mm_mul_ps(pr, ci), _mm_mul_ps(pi, cr));
        std::int32_t packed;
        std::memcpy(&packed, counters + b, sizeof packed);
        const __m128i widened = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(packed), zero), zero);
        const __m128 restart = _mm_castsi128_ps(_mm_cmpeq_epi32(widened, zero));
        _mm_storeu_ps(advanceRe + b, _mm_or_ps(_mm_and_ps(restart, cr), _mm_andnot_ps(restart, rotationRe)));
        _mm_storeu_ps(advanceIm + b, _mm_or_ps(_mm_and_ps(restart, ci), _mm_andnot_ps(restart, rotationIm)));
        _mm_storeu_ps(previousRe + b, cr);
        _mm_storeu_ps(previousIm + b, ci);
    }
    scalar::PhaseAdvance(currentRe + b, currentIm + b, previousRe + b, previousIm + b, advanceRe + b,
                         advanceIm + b, counters + b, count - b);
}

}  // namespace sse
namespace selected = sse;
#else
namespace selected = scalar;
#endif

}  // namespace kelvane::vector_ops

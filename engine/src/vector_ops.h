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

#include <algorithm>
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
// Below this squared length the rotation between an analysed and a synthesis
// phasor (both unit when they carry a phase) is no rotation at all.
inline constexpr float usableRotation = 0.25f;

// Per bin, the magnitudes of all channels added, channel by channel.
inline void SumMagnitudes(float* const* magnitude, int channels, float* KELVANE_RESTRICT summed, int count)
{
    std::copy(magnitude[0], magnitude[0] + count, summed);
    for (int ch = 1; ch < channels; ++ch) {
        const float* KELVANE_RESTRICT m = magnitude[ch];
        for (int b = 0; b < count; ++b) {
            summed[b] = summed[b] + m[b];
        }
    }
}

// Four lanes' running sums (one per index mod 4) added pairwise in double:
// (lane 0 + lane 1) + (lane 2 + lane 3), the order every level keeps.
inline double SumOfLanes(const float* lanes)
{
    return (static_cast<double>(lanes[0]) + lanes[1]) + (static_cast<double>(lanes[2]) + lanes[3]);
}

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

// Turns the running output phasors for one synthesis hop: a bin whose counter
// is 0 restarts at its analysed phase, which is what its advance holds; the
// others turn by their advance. Then measures, for phase locking, each bin's
// rotation from its analysed phasor to the new one (new times the conjugate
// of analysed), made unit, or 0 where either is too weak to carry a phase (a
// silent bin, a phasor never started).
inline void TurnPhasors(float* KELVANE_RESTRICT phasorRe, float* KELVANE_RESTRICT phasorIm,
                        const float* KELVANE_RESTRICT advanceRe, const float* KELVANE_RESTRICT advanceIm,
                        const float* KELVANE_RESTRICT analysedRe, const float* KELVANE_RESTRICT analysedIm,
                        const std::uint8_t* KELVANE_RESTRICT counters, float* KELVANE_RESTRICT rotationRe,
                        float* KELVANE_RESTRICT rotationIm, int count)
{
    for (int b = 0; b < count; ++b) {
        const float pr = phasorRe[b];
        const float pi = phasorIm[b];
        const float ar = advanceRe[b];
        const float ai = advanceIm[b];
        float nr = ar;
        float ni = ai;
        if (counters[b] != 0) {
            const float rr = pr * ar;
            const float ii = pi * ai;
            const float ir = pi * ar;
            const float ri = pr * ai;
            nr = rr - ii;
            ni = ir + ri;
        }
        phasorRe[b] = nr;
        phasorIm[b] = ni;
        const float cr = analysedRe[b];
        const float ci = analysedIm[b];
        const float xr = nr * cr;
        const float xi = ni * ci;
        const float yr = ni * cr;
        const float yi = nr * ci;
        const float x = xr + xi;
        const float y = yr - yi;
        const float xx = x * x;
        const float yy = y * y;
        const float norm = xx + yy;
        float dr = 0.0f;
        float di = 0.0f;
        if (norm > usableRotation) {
            const float length = std::sqrt(norm);
            dr = x / length;
            di = y / length;
        }
        rotationRe[b] = dr;
        rotationIm[b] = di;
    }
}

// Phase locking: a bin whose counter is not 0 takes the rotation of its peak
// (rotation[peak[b]]), if that has one, applied to its analysed phasor.
// Rotations are unit or 0.
inline void LockPhasors(float* KELVANE_RESTRICT phasorRe, float* KELVANE_RESTRICT phasorIm,
                        const float* KELVANE_RESTRICT analysedRe, const float* KELVANE_RESTRICT analysedIm,
                        const std::uint8_t* KELVANE_RESTRICT counters, const float* KELVANE_RESTRICT rotationRe,
                        const float* KELVANE_RESTRICT rotationIm, const std::int16_t* KELVANE_RESTRICT peak,
                        int count)
{
    for (int b = 0; b < count; ++b) {
        const float dr = rotationRe[peak[b]];
        const float di = rotationIm[peak[b]];
        const float rr = dr * dr;
        const float ii = di * di;
        const float norm = rr + ii;
        if (counters[b] != 0 && norm > 0.5f) {
            const float cr = analysedRe[b];
            const float ci = analysedIm[b];
            const float xr = dr * cr;
            const float xi = di * ci;
            const float yr = di * cr;
            const float yi = dr * ci;
            phasorRe[b] = xr - xi;
            phasorIm[b] = yr + yi;
        }
    }
}

// Which way each bin of [1, end) climbs towards its magnitude peak: 1 towards
// the right (the right neighbour is higher than the bin and at least as high
// as the left one), -1 towards the left (only the left one is higher), 0 at a
// peak. Magnitudes outside [1, end) count as 0; bin 0 itself is left alone.
inline std::int16_t ClimbWay(float left, float here, float right)
{
    if (right > here && right >= left) {
        return 1;
    }
    return left > here ? -1 : 0;
}

inline void ClimbDirections(const float* KELVANE_RESTRICT magnitude, std::int16_t* KELVANE_RESTRICT direction,
                            int end)
{
    for (int k = 1; k < end; ++k) {
        const float left = k > 1 ? magnitude[k - 1] : 0.0f;
        const float right = k + 1 < end ? magnitude[k + 1] : 0.0f;
        direction[k] = ClimbWay(left, magnitude[k], right);
    }
}

// Every bin of [1, end) climbs to its higher neighbour until it reaches a
// magnitude peak: peak[k] becomes that peak's index (peak[0] is 0, bin 0
// holds DC and Nyquist). A bin's neighbour on its way is a peak or climbs the
// same way, so a left climber's peak is the last bin at or before it that
// does not climb left, and a right climber's the first at or after it that
// does not climb right. The conditions are unpredictable: the indices are
// carried by max and min, without branches. Right climbers are marked 0 (bin
// 0 is never a peak of others) until the second scan.
inline void FindPeaksFrom(std::int16_t* KELVANE_RESTRICT peak, int begin, int end, int& last)
{
    for (int k = begin; k < end; ++k) {
        const int way = peak[k];
        last = std::max(last, k & -static_cast<int>(way >= 0));
        peak[k] = static_cast<std::int16_t>(last & -static_cast<int>(way <= 0));
    }
}

inline void FindPeaksDown(std::int16_t* KELVANE_RESTRICT peak, int top, int bottom, int end, int& next)
{
    for (int k = top; k >= bottom; --k) {
        const int left = peak[k];
        const int climbsRight = -static_cast<int>(left == 0);
        next = std::min(next, k + ((end - k) & climbsRight));
        peak[k] = static_cast<std::int16_t>((next & climbsRight) | (left & ~climbsRight));
    }
}

inline void FindPeaks(const float* KELVANE_RESTRICT magnitude, std::int16_t* KELVANE_RESTRICT peak, int end)
{
    if (end < 1) {
        return;
    }
    peak[0] = 0;
    ClimbDirections(magnitude, peak, end);
    int last = 1;
    FindPeaksFrom(peak, 1, end, last);
    int next = end - 1;
    FindPeaksDown(peak, end - 1, 1, end, next);
}

// Linked channels: where a channel's magnitude is above the loudest so far
// (kept*), its rotation and magnitude go to linked* and loudest, else the
// kept ones do. Element by element, so kept* may be the outputs themselves.
inline void TakeLouder(const float* rotationRe, const float* rotationIm, const float* magnitude,
                       const float* keptRe, const float* keptIm, const float* keptMagnitude, float* linkedRe,
                       float* linkedIm, float* loudest, int count)
{
    for (int b = 0; b < count; ++b) {
        const bool louder = magnitude[b] > keptMagnitude[b];
        const float re = louder ? rotationRe[b] : keptRe[b];
        const float im = louder ? rotationIm[b] : keptIm[b];
        const float m = louder ? magnitude[b] : keptMagnitude[b];
        linkedRe[b] = re;
        linkedIm[b] = im;
        loudest[b] = m;
    }
}

// Linked channels, bins [begin, end): the phase advances of all channels
// (real parts, then imaginary parts `imaginary` floats on) summed, channel
// by channel, into sumRe and sumIm; 0 for a restarting bin (counter 0),
// which has no advance.
inline void SumAdvances(float* const* advance, int imaginary, int channels,
                        const std::uint8_t* KELVANE_RESTRICT counters, float* KELVANE_RESTRICT sumRe,
                        float* KELVANE_RESTRICT sumIm, int begin, int end)
{
    for (int k = begin; k < end; ++k) {
        float re = advance[0][k];
        float im = advance[0][imaginary + k];
        for (int ch = 1; ch < channels; ++ch) {
            re = re + advance[ch][k];
            im = im + advance[ch][imaginary + k];
        }
        const bool restarted = counters[k] == 0;
        sumRe[k] = restarted ? 0.0f : re;
        sumIm[k] = restarted ? 0.0f : im;
    }
}

// Bins [begin, end) of `peak` stay with their peak where the two bins' summed
// advances point within the angle whose squared cosine is `least` of each
// other, and become their own peak elsewhere (a sum of 0 included). Each bin
// reads only the sums, so `peak` is rewritten in place.
inline void DecideMembers(std::int16_t* KELVANE_RESTRICT peak, const float* KELVANE_RESTRICT sumRe,
                          const float* KELVANE_RESTRICT sumIm, float least, int begin, int end)
{
    for (int k = begin; k < end; ++k) {
        const int p = peak[k];
        const float dot = sumRe[k] * sumRe[p] + sumIm[k] * sumIm[p];
        const float lengths =
            (sumRe[k] * sumRe[k] + sumIm[k] * sumIm[k]) * (sumRe[p] * sumRe[p] + sumIm[p] * sumIm[p]);
        const bool member = dot > 0.0f && dot * dot > least * lengths;
        peak[k] = static_cast<std::int16_t>(member ? p : k);
    }
}

// Both over bins [0, end) of the linked peaks (bin 0 stays its own peak);
// sumRe and sumIm are work space of `end` floats.
inline void KeepMembers(std::int16_t* peak, float* const* advance, int imaginary, int channels,
                        const std::uint8_t* counters, float least, float* sumRe, float* sumIm, int end)
{
    SumAdvances(advance, imaginary, channels, counters, sumRe, sumIm, 0, end);
    DecideMembers(peak, sumRe, sumIm, least, 1, end);
}

// Bins that restarted (counter 0) and are no onset's take the given turn as
// their advance.
inline void HoldRestarts(const std::uint8_t* KELVANE_RESTRICT counters, const std::uint8_t* KELVANE_RESTRICT onset,
                         const float* KELVANE_RESTRICT turnRe, const float* KELVANE_RESTRICT turnIm,
                         float* KELVANE_RESTRICT advanceRe, float* KELVANE_RESTRICT advanceIm, int count)
{
    for (int b = 0; b < count; ++b) {
        if ((counters[b] | onset[b]) == 0) {
            advanceRe[b] = turnRe[b];
            advanceIm[b] = turnIm[b];
        }
    }
}

// Per lane (bin mod 4), the summed power of all bins and of those that
// restart while rising (counter 0, power above the hop before's); returns
// how many bins restart. `count` is a multiple of 4.
inline int SumOnsetPower(const float* KELVANE_RESTRICT power, const float* KELVANE_RESTRICT ratio,
                         const std::uint8_t* KELVANE_RESTRICT counters, float* KELVANE_RESTRICT total,
                         float* KELVANE_RESTRICT rising, int count)
{
    int restarts = 0;
    for (int k = 0; k < count; k += 4) {
        for (int lane = 0; lane < 4; ++lane) {
            const float p = power[k + lane];
            total[lane] = total[lane] + p;
            if (counters[k + lane] == 0) {
                ++restarts;
                if (ratio[k + lane] > 1.0f) {
                    rising[lane] = rising[lane] + p;
                }
            }
        }
    }
    return restarts;
}

// Bins of an output spectrum: magnitude x gain x share[b] along the phasor;
// with no share, magnitude x gain.
inline void EmitBins(const float* KELVANE_RESTRICT phasorRe, const float* KELVANE_RESTRICT phasorIm,
                     const float* KELVANE_RESTRICT magnitude, float gain, const float* KELVANE_RESTRICT share,
                     float* KELVANE_RESTRICT outRe, float* KELVANE_RESTRICT outIm, int count)
{
    for (int b = 0; b < count; ++b) {
        const float e = gain * magnitude[b];
        const float s = share != nullptr ? share[b] : 1.0f;
        outRe[b] = phasorRe[b] * e * s;
        outIm[b] = phasorIm[b] * e * s;
    }
}

// The sum of x[i]^2 in four running sums, one per lane (i mod 4), then
// (lane 0 + lane 1) + (lane 2 + lane 3) in double.
inline double SumOfSquares(const float* KELVANE_RESTRICT x, int count)
{
    float lanes[4] = {};
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        for (int l = 0; l < 4; ++l) {
            lanes[l] += x[i + l] * x[i + l];
        }
    }
    for (; i < count; ++i) {
        lanes[0] += x[i] * x[i];
    }
    return SumOfLanes(lanes);
}

// out[i] = samples[i] x window[i].
inline void WindowRun(const float* KELVANE_RESTRICT samples, const float* KELVANE_RESTRICT window,
                      float* KELVANE_RESTRICT out, int count)
{
    for (int i = 0; i < count; ++i) {
        out[i] = samples[i] * window[i];
    }
}

// The power that the rising bins (counter 0, power above the hop before's)
// gained over the hop before, summed in double in bin order.
inline double RisingGain(const float* KELVANE_RESTRICT power, const float* KELVANE_RESTRICT ratio,
                         const std::uint8_t* KELVANE_RESTRICT counters, int count)
{
    double gain = 0.0;
    for (int k = 0; k < count; ++k) {
        if (counters[k] == 0 && ratio[k] > 1.0f) {
            gain += static_cast<double>(power[k]) * (1.0 - 1.0 / static_cast<double>(ratio[k]));
        }
    }
    return gain;
}

// Sum of kernel[j] x samples[j] over `taps` taps, a multiple of four: four
// running sums, one per lane, then (lane 0 + lane 1) + (lane 2 + lane 3).
// A tap count fixed at compile time (`fixedTaps`) lets the loop unroll.
template <int fixedTaps = 0>
float KernelDot(const float* KELVANE_RESTRICT kernel, const float* KELVANE_RESTRICT samples, int taps)
{
    const int count = fixedTaps != 0 ? fixedTaps : taps;
    float sum[4] = {};
    for (int j = 0; j < count; j += 4) {
        for (int lane = 0; lane < 4; ++lane) {
            const float product = kernel[j + lane] * samples[j + lane];
            sum[lane] = sum[lane] + product;
        }
    }
    const float low = sum[0] + sum[1];
    const float high = sum[2] + sum[3];
    return low + high;
}

}  // namespace scalar

#if defined(KELVANE_HAVE_SSE2)
namespace sse {

// All ones in the lanes of the four bins whose stability counter is 0 (the
// bins that restart at their analysed phase), zeros elsewhere.
inline __m128i RestartLanes(const std::uint8_t* counters)
{
    const __m128i zero = _mm_setzero_si128();
    std::int32_t packed;
    std::memcpy(&packed, counters, sizeof packed);
    const __m128i widened = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(packed), zero), zero);
    return _mm_cmpeq_epi32(widened, zero);
}

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
    int b = 0;
    for (; b + 4 <= count; b += 4) {
        const __m128 cr = _mm_loadu_ps(currentRe + b);
        const __m128 ci = _mm_loadu_ps(currentIm + b);
        const __m128 pr = _mm_loadu_ps(previousRe + b);
        const __m128 pi = _mm_loadu_ps(previousIm + b);
        const __m128 rotationRe = _mm_add_ps(_mm_mul_ps(pr, cr), _mm_mul_ps(pi, ci));
        const __m128 rotationIm = _mm_sub_ps(_mm_mul_ps(pr, ci), _mm_mul_ps(pi, cr));
        const __m128 restart = _mm_castsi128_ps(RestartLanes(counters + b));
        _mm_storeu_ps(advanceRe + b, _mm_or_ps(_mm_and_ps(restart, cr), _mm_andnot_ps(restart, rotationRe)));
        _mm_storeu_ps(advanceIm + b, _mm_or_ps(_mm_and_ps(restart, ci), _mm_andnot_ps(restart, rotationIm)));
        _mm_storeu_ps(previousRe + b, cr);
        _mm_storeu_ps(previousIm + b, ci);
    }
    scalar::PhaseAdvance(currentRe + b, currentIm + b, previousRe + b, previousIm + b, advanceRe + b,
                         advanceIm + b, counters + b, count - b);
}

inline void TurnPhasors(float* KELVANE_RESTRICT phasorRe, float* KELVANE_RESTRICT phasorIm,
                        const float* KELVANE_RESTRICT advanceRe, const float* KELVANE_RESTRICT advanceIm,
                        const float* KELVANE_RESTRICT analysedRe, const float* KELVANE_RESTRICT analysedIm,
                        const std::uint8_t* KELVANE_RESTRICT counters, float* KELVANE_RESTRICT rotationRe,
                        float* KELVANE_RESTRICT rotationIm, int count)
{
    const __m128 usable = _mm_set1_ps(usableRotation);
    int b = 0;
    for (; b + 4 <= count; b += 4) {
        const __m128 pr = _mm_loadu_ps(phasorRe + b);
        const __m128 pi = _mm_loadu_ps(phasorIm + b);
        const __m128 ar = _mm_loadu_ps(advanceRe + b);
        const __m128 ai = _mm_loadu_ps(advanceIm + b);
        const __m128 restart = _mm_castsi128_ps(RestartLanes(counters + b));
        const __m128 turnedRe = _mm_sub_ps(_mm_mul_ps(pr, ar), _mm_mul_ps(pi, ai));
        const __m128 turnedIm = _mm_add_ps(_mm_mul_ps(pi, ar), _mm_mul_ps(pr, ai));
        const __m128 nr = _mm_or_ps(_mm_and_ps(restart, ar), _mm_andnot_ps(restart, turnedRe));
        const __m128 ni = _mm_or_ps(_mm_and_ps(restart, ai), _mm_andnot_ps(restart, turnedIm));
        _mm_storeu_ps(phasorRe + b, nr);
        _mm_storeu_ps(phasorIm + b, ni);
        const __m128 cr = _mm_loadu_ps(analysedRe + b);
        const __m128 ci = _mm_loadu_ps(analysedIm + b);
        const __m128 x = _mm_add_ps(_mm_mul_ps(nr, cr), _mm_mul_ps(ni, ci));
        const __m128 y = _mm_sub_ps(_mm_mul_ps(ni, cr), _mm_mul_ps(nr, ci));
        const __m128 norm = _mm_add_ps(_mm_mul_ps(x, x), _mm_mul_ps(y, y));
        // Lanes too weak are masked to 0 (their quotients may be NaN).
        const __m128 keep = _mm_cmpgt_ps(norm, usable);
        const __m128 length = _mm_sqrt_ps(norm);
        _mm_storeu_ps(rotationRe + b, _mm_and_ps(keep, _mm_div_ps(x, length)));
        _mm_storeu_ps(rotationIm + b, _mm_and_ps(keep, _mm_div_ps(y, length)));
    }
    scalar::TurnPhasors(phasorRe + b, phasorIm + b, advanceRe + b, advanceIm + b, analysedRe + b,
                        analysedIm + b, counters + b, rotationRe + b, rotationIm + b, count - b);
}

inline void LockPhasors(float* KELVANE_RESTRICT phasorRe, float* KELVANE_RESTRICT phasorIm,
                        const float* KELVANE_RESTRICT analysedRe, const float* KELVANE_RESTRICT analysedIm,
                        const std::uint8_t* KELVANE_RESTRICT counters, const float* KELVANE_RESTRICT rotationRe,
                        const float* KELVANE_RESTRICT rotationIm, const std::int16_t* KELVANE_RESTRICT peak,
                        int count)
{
    const __m128 half = _mm_set1_ps(0.5f);
    int b = 0;
    for (; b + 4 <= count; b += 4) {
        const int p0 = peak[b];
        const int p1 = peak[b + 1];
        const int p2 = peak[b + 2];
        const int p3 = peak[b + 3];
        const __m128 dr = _mm_setr_ps(rotationRe[p0], rotationRe[p1], rotationRe[p2], rotationRe[p3]);
        const __m128 di = _mm_setr_ps(rotationIm[p0], rotationIm[p1], rotationIm[p2], rotationIm[p3]);
        const __m128 cr = _mm_loadu_ps(analysedRe + b);
        const __m128 ci = _mm_loadu_ps(analysedIm + b);
        const __m128 restart = _mm_castsi128_ps(RestartLanes(counters + b));
        const __m128 norm = _mm_add_ps(_mm_mul_ps(dr, dr), _mm_mul_ps(di, di));
        const __m128 lock = _mm_andnot_ps(restart, _mm_cmpgt_ps(norm, half));
        const __m128 lockedRe = _mm_sub_ps(_mm_mul_ps(dr, cr), _mm_mul_ps(di, ci));
        const __m128 lockedIm = _mm_add_ps(_mm_mul_ps(di, cr), _mm_mul_ps(dr, ci));
        const __m128 pr = _mm_loadu_ps(phasorRe + b);
        const __m128 pi = _mm_loadu_ps(phasorIm + b);
        _mm_storeu_ps(phasorRe + b, _mm_or_ps(_mm_and_ps(lock, lockedRe), _mm_andnot_ps(lock, pr)));
        _mm_storeu_ps(phasorIm + b, _mm_or_ps(_mm_and_ps(lock, lockedIm), _mm_andnot_ps(lock, pi)));
    }
    scalar::LockPhasors(phasorRe + b, phasorIm + b, analysedRe + b, analysedIm + b, counters + b, rotationRe,
                        rotationIm, peak + b, count - b);
}

inline void ClimbDirections(const float* KELVANE_RESTRICT magnitude, std::int16_t* KELVANE_RESTRICT direction,
                            int end)
{
    if (end < 3) {
        scalar::ClimbDirections(magnitude, direction, end);
        return;
    }
    // The edge bins see a 0 beyond the range: scalar. The bins between have
    // both neighbours in range, four at a time.
    direction[1] = scalar::ClimbWay(0.0f, magnitude[1], magnitude[2]);
    const __m128i one = _mm_set1_epi32(1);
    int k = 2;
    for (; k + 4 <= end - 1; k += 4) {
        const __m128 left = _mm_loadu_ps(magnitude + k - 1);
        const __m128 here = _mm_loadu_ps(magnitude + k);
        const __m128 right = _mm_loadu_ps(magnitude + k + 1);
        const __m128 towardsRight = _mm_and_ps(_mm_cmpgt_ps(right, here), _mm_cmpge_ps(right, left));
        const __m128 towardsLeft = _mm_andnot_ps(towardsRight, _mm_cmpgt_ps(left, here));
        // Lanes of -1 (left), 1 (right) or 0, narrowed to 16 bits.
        const __m128i way = _mm_or_si128(_mm_castps_si128(towardsLeft),
                                         _mm_and_si128(_mm_castps_si128(towardsRight), one));
        const __m128i narrow = _mm_packs_epi32(way, way);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(direction + k), narrow);
    }
    for (; k < end; ++k) {
        direction[k] = scalar::ClimbWay(magnitude[k - 1], magnitude[k], k + 1 < end ? magnitude[k + 1] : 0.0f);
    }
}

// The two scans of the scalar form, eight bins at a time: within a block the
// running max (min) is taken over lanes shifted by 1, 2 and 4, then with the
// carry from the block before. Indices fit 16 bits; the backward scan carries
// end - index, so that the lanes shifted in as 0 never win the max.
inline void FindPeaks(const float* KELVANE_RESTRICT magnitude, std::int16_t* KELVANE_RESTRICT peak, int end)
{
    if (end < 1) {
        return;
    }
    peak[0] = 0;
    ClimbDirections(magnitude, peak, end);
    const int blocks = (end - 1) / 8;
    const int tail = 1 + 8 * blocks;
    const __m128i lanes = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    const __m128i eight = _mm_set1_epi16(8);
    const __m128i minusOne = _mm_set1_epi16(-1);
    const __m128i one = _mm_set1_epi16(1);
    __m128i index = _mm_add_epi16(lanes, one);
    __m128i last = one;
    for (int k = 1; k < tail; k += 8) {
        const __m128i way = _mm_loadu_si128(reinterpret_cast<const __m128i*>(peak + k));
        __m128i x = _mm_and_si128(index, _mm_cmpgt_epi16(way, minusOne));
        x = _mm_max_epi16(x, _mm_slli_si128(x, 2));
        x = _mm_max_epi16(x, _mm_slli_si128(x, 4));
        x = _mm_max_epi16(x, _mm_slli_si128(x, 8));
        x = _mm_max_epi16(x, last);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(peak + k), _mm_and_si128(x, _mm_cmpgt_epi16(one, way)));
        const __m128i high = _mm_shufflehi_epi16(x, 0xFF);
        last = _mm_unpackhi_epi64(high, high);
        index = _mm_add_epi16(index, eight);
    }
    int lastIndex = _mm_extract_epi16(last, 0);
    scalar::FindPeaksFrom(peak, tail, end, lastIndex);

    int next = end - 1;
    scalar::FindPeaksDown(peak, end - 1, tail, end, next);
    const __m128i endValue = _mm_set1_epi16(static_cast<std::int16_t>(end));
    const __m128i zero = _mm_setzero_si128();
    __m128i distance = _mm_set1_epi16(static_cast<std::int16_t>(end - next));
    index = _mm_add_epi16(lanes, _mm_set1_epi16(static_cast<std::int16_t>(tail - 8)));
    for (int k = tail - 8; k >= 1; k -= 8) {
        const __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(peak + k));
        const __m128i climbsRight = _mm_cmpeq_epi16(left, zero);
        __m128i x = _mm_andnot_si128(climbsRight, _mm_sub_epi16(endValue, index));
        x = _mm_max_epi16(x, _mm_srli_si128(x, 2));
        x = _mm_max_epi16(x, _mm_srli_si128(x, 4));
        x = _mm_max_epi16(x, _mm_srli_si128(x, 8));
        x = _mm_max_epi16(x, distance);
        const __m128i found = _mm_sub_epi16(endValue, x);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(peak + k),
                         _mm_or_si128(_mm_and_si128(climbsRight, found), _mm_andnot_si128(climbsRight, left)));
        const __m128i low = _mm_shufflelo_epi16(x, 0x00);
        distance = _mm_unpacklo_epi64(low, low);
        index = _mm_sub_epi16(index, eight);
    }
}

inline void TakeLouder(const float* rotationRe, const float* rotationIm, const float* magnitude,
                       const float* keptRe, const float* keptIm, const float* keptMagnitude, float* linkedRe,
                       float* linkedIm, float* loudest, int count)
{
    int b = 0;
    for (; b + 4 <= count; b += 4) {
        const __m128 m = _mm_loadu_ps(magnitude + b);
        const __m128 kept = _mm_loadu_ps(keptMagnitude + b);
        const __m128 louder = _mm_cmpgt_ps(m, kept);
        auto pick = [louder](__m128 taken, __m128 other) {
            return _mm_or_ps(_mm_and_ps(louder, taken), _mm_andnot_ps(louder, other));
        };
        const __m128 re = pick(_mm_loadu_ps(rotationRe + b), _mm_loadu_ps(keptRe + b));
        const __m128 im = pick(_mm_loadu_ps(rotationIm + b), _mm_loadu_ps(keptIm + b));
        _mm_storeu_ps(linkedRe + b, re);
        _mm_storeu_ps(linkedIm + b, im);
        _mm_storeu_ps(loudest + b, pick(m, kept));
    }
    scalar::TakeLouder(rotationRe + b, rotationIm + b, magnitude + b, keptRe + b, keptIm + b, keptMagnitude + b,
                       linkedRe + b, linkedIm + b, loudest + b, count - b);
}

inline void HoldRestarts(const std::uint8_t* KELVANE_RESTRICT counters, const std::uint8_t* KELVANE_RESTRICT onset,
                         const float* KELVANE_RESTRICT turnRe, const float* KELVANE_RESTRICT turnIm,
                         float* KELVANE_RESTRICT advanceRe, float* KELVANE_RESTRICT advanceIm, int count)
{
    const __m128i zero = _mm_setzero_si128();
    int b = 0;
    for (; b + 4 <= count; b += 4) {
        std::int32_t packedCounters;
        std::int32_t packedOnset;
        std::memcpy(&packedCounters, counters + b, sizeof packedCounters);
        std::memcpy(&packedOnset, onset + b, sizeof packedOnset);
        // No zero byte among the four counters: all steady, the common case.
        const auto bytes = static_cast<std::uint32_t>(packedCounters);
        if (((bytes - 0x01010101u) & ~bytes & 0x80808080u) == 0) {
            continue;
        }
        const __m128i either = _mm_cvtsi32_si128(packedCounters | packedOnset);
        const __m128i widened = _mm_unpacklo_epi16(_mm_unpacklo_epi8(either, zero), zero);
        const __m128 held = _mm_castsi128_ps(_mm_cmpeq_epi32(widened, zero));
        auto pick = [held](__m128 taken, __m128 kept) {
            return _mm_or_ps(_mm_and_ps(held, taken), _mm_andnot_ps(held, kept));
        };
        _mm_storeu_ps(advanceRe + b, pick(_mm_loadu_ps(turnRe + b), _mm_loadu_ps(advanceRe + b)));
        _mm_storeu_ps(advanceIm + b, pick(_mm_loadu_ps(turnIm + b), _mm_loadu_ps(advanceIm + b)));
    }
    scalar::HoldRestarts(counters + b, onset + b, turnRe + b, turnIm + b, advanceRe + b, advanceIm + b, count - b);
}

inline int SumOnsetPower(const float* KELVANE_RESTRICT power, const float* KELVANE_RESTRICT ratio,
                         const std::uint8_t* KELVANE_RESTRICT counters, float* KELVANE_RESTRICT total,
                         float* KELVANE_RESTRICT rising, int count)
{
    const __m128 one = _mm_set1_ps(1.0f);
    __m128 sum = _mm_loadu_ps(total);
    __m128 risen = _mm_loadu_ps(rising);
    __m128i restarts = _mm_setzero_si128();
    for (int k = 0; k < count; k += 4) {
        const __m128 p = _mm_loadu_ps(power + k);
        sum = _mm_add_ps(sum, p);
        const __m128i restart = RestartLanes(counters + k);
        restarts = _mm_sub_epi32(restarts, restart);
        const __m128 rises = _mm_and_ps(_mm_castsi128_ps(restart), _mm_cmpgt_ps(_mm_loadu_ps(ratio + k), one));
        // Adding 0 where a bin does not rise leaves the lane's sum as it is.
        risen = _mm_add_ps(risen, _mm_and_ps(rises, p));
    }
    _mm_storeu_ps(total, sum);
    _mm_storeu_ps(rising, risen);
    std::int32_t lanes[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), restarts);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

template <int fixedTaps = 0>
float KernelDot(const float* KELVANE_RESTRICT kernel, const float* KELVANE_RESTRICT samples, int taps)
{
    const int count = fixedTaps != 0 ? fixedTaps : taps;
    __m128 sum = _mm_setzero_ps();
    for (int j = 0; j < count; j += 4) {
        sum = _mm_add_ps(sum, _mm_mul_ps(_mm_loadu_ps(kernel + j), _mm_loadu_ps(samples + j)));
    }
    float lanes[4];
    _mm_storeu_ps(lanes, sum);
    const float low = lanes[0] + lanes[1];
    const float high = lanes[2] + lanes[3];
    return low + high;
}

}  // namespace sse
namespace selected = sse;
#else
namespace selected = scalar;
#endif

}  // namespace kelvane::vector_ops

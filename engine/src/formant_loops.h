// The per-bin loops of the formant correction in their plain form, the
// reference for the wide ones: the log magnitudes, the loudest of three, the
// smoothing sweeps and the gains of the two bands. The scalar and SSE2
// levels run these; formant_correction.cpp says what the envelope is for.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "vector_ops.h"

#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

namespace kelvane {

// Reads a float from its bit pattern.
inline float FloatFromBits(std::uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A float's bits (as std::bit_cast, which not every standard library the
// engine is built with has yet).
inline std::uint32_t BitsOf(float x)
{
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

namespace formant_loops {

// log2 of the envelope's floor (a magnitude of 0.01): the envelope never
// falls below it, and past its top it stands in for the envelope.
inline constexpr float logEnvelopeFloor = -6.64385619f;
// An envelope that follows the spectrum this closely can ask a bin far down
// a pure tone's skirt for the tone's own level; no bin is lifted by more than
// 2^maxLift (39 dB), more than a voice's formants ask for.
inline constexpr float maxLift = 6.5f;
// The long frame, twice as long, holds about twice the short magnitude of a
// steady sound at the same frequency: a long bin may be lifted as far as this
// many times the short bin beside it, lifted alike.
inline constexpr float longLiftLimit = 4.0f;

// log2(x) for a positive, finite x, within 4e-5: the exponent plus a
// polynomial in the mantissa.
inline float Log2(float x)
{
    const auto bits = BitsOf(x);
    const auto exponent = static_cast<float>(static_cast<int>(bits >> 23) - 127);
    const float t = FloatFromBits((bits & 0x007FFFFFu) | 0x3F800000u) - 1.0f;
    return exponent +
           (3.19308577e-05f +
            t * (1.44126707f +
                 t * (-0.705702621f + t * (0.408718944f + t * (-0.187720493f + t * 0.0434283633f)))));
}

// 2^x within a relative 1e-5, for x in [-126, 126]: a polynomial for the
// fraction, the whole part put into the exponent.
inline float Exp2(float x)
{
    const int whole = static_cast<int>(x + 127.0f) - 127;  // floor: x + 127 is positive
    const float f = x - static_cast<float>(whole);
    const float p = 1.00000729f + f * (0.69293126f + f * (0.24171032f + f * (0.05166685f + f * 0.01367653f)));
    return FloatFromBits(static_cast<std::uint32_t>(whole + 127) << 23) * p;
}

// A change of the log envelope as a bin's gain takes it: at most maxLift, and
// no less than a gain Exp2 can still make.
inline float LimitLift(float logChange)
{
    const float lifted = logChange < maxLift ? logChange : maxLift;
    return lifted > -126.0f ? lifted : -126.0f;
}

// The log envelope at fractional bin x, interpolated; past its top the floor
// stands in for it.
inline float EnvelopeAt(const float* envelope, float x, int count)
{
    const int i = static_cast<int>(x);
    if (i < count - 1) {
        return envelope[i] + (envelope[i + 1] - envelope[i]) * (x - static_cast<float>(i));
    }
    return logEnvelopeFloor;
}

// The short band's bin k (ShapeShortBand), read from an envelope still
// whole at k and at k x ratio.
inline float ShortBandBin(const float* magnitude, const float* envelope, float ratio, int count, int k)
{
    const float change = LimitLift(EnvelopeAt(envelope, static_cast<float>(k) * ratio, count) - envelope[k]);
    return magnitude[k] * Exp2(change);
}

// The long band's bin j (ShapeLongBand).
inline float LongBandBin(const float* longMagnitude, const float* shortMagnitude, const float* envelope,
                         float ratio, int envelopeCount, int j)
{
    const float warped = EnvelopeAt(envelope, static_cast<float>(j) * ratio * 0.5f, envelopeCount);
    const float gain = Exp2(LimitLift(warped - envelope[j / 2]));
    const float corrected = longMagnitude[j] * gain;
    const float supported = longLiftLimit * shortMagnitude[j / 2] * gain;
    return std::min(corrected, std::max(longMagnitude[j], supported));
}

namespace scalar {

inline void LogMagnitudes(const float* KELVANE_RESTRICT magnitude, float* KELVANE_RESTRICT logs, int count)
{
    for (int k = 0; k < count; ++k) {
        logs[k] = Log2(magnitude[k]);
    }
}

// Each bin takes the loudest of itself and its two neighbours; count >= 2.
inline void HoldPeaks(const float* KELVANE_RESTRICT in, float* KELVANE_RESTRICT out, int count)
{
    out[0] = std::max(in[0], in[1]);
    for (int k = 1; k < count - 1; ++k) {
        // Plain selections, which the compiler turns into vector maxima.
        const float left = in[k - 1];
        const float middle = in[k];
        const float right = in[k + 1];
        const float louder = left > middle ? left : middle;
        out[k] = louder > right ? louder : right;
    }
    out[count - 1] = std::max(in[count - 2], in[count - 1]);
}

// One backward one-pole sweep over bins [0, end) that starts from `previous`
// (the value past bin end - 1) and returns the value at bin 0; the forward
// sweep over [begin, count) likewise.
inline float SweepDown(float* envelope, int end, float c, float previous)
{
    for (int k = end - 1; k >= 0; --k) {
        previous = envelope[k] + c * (previous - envelope[k]);
        envelope[k] = previous;
    }
    return previous;
}

inline float SweepUp(float* envelope, int begin, int count, float c, float previous)
{
    for (int k = begin; k < count; ++k) {
        previous = envelope[k] + c * (previous - envelope[k]);
        envelope[k] = previous;
    }
    return previous;
}

// `passes` times a backward and a forward sweep with coefficient c, each
// starting at its first bin's own value so that the ends are not pulled
// towards anything; then the floor.
inline void SmoothEnvelope(float* envelope, int count, float c, int passes)
{
    for (int pass = 0; pass < passes; ++pass) {
        SweepDown(envelope, count, c, envelope[count - 1]);
        SweepUp(envelope, 0, count, c, envelope[0]);
    }
    for (int k = 0; k < count; ++k) {
        envelope[k] = std::max(envelope[k], logEnvelopeFloor);
    }
}

// The short band: each bin whitened by the envelope and shaped by it read at
// k x ratio, in place over `envelope` (which becomes the corrected
// magnitudes); `change` is work space. The readings first, then the
// changes, then the gains: apart, the last two loops run four bins at a time.
inline void ShapeShortBand(const float* KELVANE_RESTRICT magnitude, float* KELVANE_RESTRICT envelope,
                           float* KELVANE_RESTRICT change, float ratio, int count)
{
    for (int k = 0; k < count; ++k) {
        change[k] = EnvelopeAt(envelope, static_cast<float>(k) * ratio, count);
    }
    for (int k = 0; k < count; ++k) {
        change[k] = LimitLift(change[k] - envelope[k]);
    }
    for (int k = 0; k < count; ++k) {
        envelope[k] = magnitude[k] * Exp2(change[k]);
    }
}

// The long band's first `count` bins: long bin j lies at short bin j/2 and
// reads `envelope` (of `envelopeCount` short bins) at j/2 x ratio. A bin is
// lifted no further than longLiftLimit times the short bin beside it, lifted
// alike (`shortMagnitude`), supports; attenuation is not bounded.
inline void ShapeLongBand(const float* KELVANE_RESTRICT longMagnitude,
                          const float* KELVANE_RESTRICT shortMagnitude,
                          const float* KELVANE_RESTRICT envelope, float* KELVANE_RESTRICT out, float ratio,
                          int envelopeCount, int count)
{
    for (int j = 0; j < count; ++j) {
        out[j] = LongBandBin(longMagnitude, shortMagnitude, envelope, ratio, envelopeCount, j);
    }
}

}  // namespace scalar

#if defined(__wasm_simd128__)
// WebAssembly's compiler leaves the loudest-of-three element by element. Its
// pseudo-maximum, b where a < b and else a, is the plain loop's selection,
// so the lanes give the same bits.
namespace wasm {

inline void HoldPeaks(const float* KELVANE_RESTRICT in, float* KELVANE_RESTRICT out, int count)
{
    out[0] = std::max(in[0], in[1]);
    int k = 1;
    for (; k + 4 <= count - 1; k += 4) {
        const v128_t louder = wasm_f32x4_pmax(wasm_v128_load(in + k), wasm_v128_load(in + k - 1));
        wasm_v128_store(out + k, wasm_f32x4_pmax(wasm_v128_load(in + k + 1), louder));
    }
    for (; k < count - 1; ++k) {
        const float louder = in[k - 1] > in[k] ? in[k - 1] : in[k];
        out[k] = louder > in[k + 1] ? louder : in[k + 1];
    }
    out[count - 1] = std::max(in[count - 2], in[count - 1]);
}


// The plain helpers lane by lane, the same operations in the same order.
// Every conversion here is in range, where the saturating one truncates as
// the plain one does.
inline v128_t LimitLiftLanes(v128_t logChange)
{
    const v128_t lifted = wasm_f32x4_pmin(wasm_f32x4_splat(maxLift), logChange);
    return wasm_f32x4_pmax(wasm_f32x4_splat(-126.0f), lifted);
}

inline v128_t Exp2Lanes(v128_t x)
{
    const v128_t biased = wasm_i32x4_trunc_sat_f32x4(wasm_f32x4_add(x, wasm_f32x4_splat(127.0f)));
    const v128_t f = wasm_f32x4_sub(x, wasm_f32x4_convert_i32x4(wasm_i32x4_sub(biased, wasm_i32x4_splat(127))));
    v128_t p = wasm_f32x4_add(wasm_f32x4_splat(0.05166685f), wasm_f32x4_mul(f, wasm_f32x4_splat(0.01367653f)));
    p = wasm_f32x4_add(wasm_f32x4_splat(0.24171032f), wasm_f32x4_mul(f, p));
    p = wasm_f32x4_add(wasm_f32x4_splat(0.69293126f), wasm_f32x4_mul(f, p));
    p = wasm_f32x4_add(wasm_f32x4_splat(1.00000729f), wasm_f32x4_mul(f, p));
    return wasm_f32x4_mul(wasm_i32x4_shl(biased, 23), p);
}

// EnvelopeAt at the fractional bins x (x >= 0, count >= 2). Lanes past the
// top read the last pair, then take the floor.
inline v128_t EnvelopeAtLanes(const float* envelope, v128_t x, int count)
{
    const v128_t bin = wasm_i32x4_trunc_sat_f32x4(x);
    const v128_t inside = wasm_i32x4_lt(bin, wasm_i32x4_splat(count - 1));
    const v128_t read = wasm_i32x4_min(bin, wasm_i32x4_splat(count - 2));
    const float* e0 = envelope + wasm_i32x4_extract_lane(read, 0);
    const float* e1 = envelope + wasm_i32x4_extract_lane(read, 1);
    const float* e2 = envelope + wasm_i32x4_extract_lane(read, 2);
    const float* e3 = envelope + wasm_i32x4_extract_lane(read, 3);
    const v128_t low = wasm_f32x4_make(e0[0], e1[0], e2[0], e3[0]);
    const v128_t high = wasm_f32x4_make(e0[1], e1[1], e2[1], e3[1]);
    const v128_t fraction = wasm_f32x4_sub(x, wasm_f32x4_convert_i32x4(bin));
    const v128_t value = wasm_f32x4_add(low, wasm_f32x4_mul(wasm_f32x4_sub(high, low), fraction));
    return wasm_v128_bitselect(value, wasm_f32x4_splat(logEnvelopeFloor), inside);
}

// Bins k .. k+3 as floats.
inline v128_t BinLanes(int k)
{
    return wasm_f32x4_convert_i32x4(wasm_i32x4_make(k, k + 1, k + 2, k + 3));
}

// The plain loops' readings of a gathered envelope went element by element,
// each through a checked conversion.
inline void ShapeShortBand(const float* KELVANE_RESTRICT magnitude, float* KELVANE_RESTRICT envelope,
                           float* KELVANE_RESTRICT change, float ratio, int count)
{
    const v128_t step = wasm_f32x4_splat(ratio);
    int k = 0;
    for (; k + 4 <= count; k += 4) {
        wasm_v128_store(change + k, EnvelopeAtLanes(envelope, wasm_f32x4_mul(BinLanes(k), step), count));
    }
    for (; k < count; ++k) {
        change[k] = EnvelopeAt(envelope, static_cast<float>(k) * ratio, count);
    }
    for (k = 0; k + 4 <= count; k += 4) {
        const v128_t lift = LimitLiftLanes(wasm_f32x4_sub(wasm_v128_load(change + k), wasm_v128_load(envelope + k)));
        wasm_v128_store(change + k, lift);
        wasm_v128_store(envelope + k, wasm_f32x4_mul(wasm_v128_load(magnitude + k), Exp2Lanes(lift)));
    }
    for (; k < count; ++k) {
        change[k] = LimitLift(change[k] - envelope[k]);
        envelope[k] = magnitude[k] * Exp2(change[k]);
    }
}

// Four long bins lie at two short bins: (j/2, j/2, j/2 + 1, j/2 + 1).
inline v128_t ShortPairLanes(const float* values, int j)
{
    const v128_t pair = wasm_v128_load64_splat(values + j / 2);
    return wasm_i32x4_shuffle(pair, pair, 0, 0, 1, 1);
}

inline void ShapeLongBand(const float* KELVANE_RESTRICT longMagnitude, const float* KELVANE_RESTRICT shortMagnitude,
                          const float* KELVANE_RESTRICT envelope, float* KELVANE_RESTRICT out, float ratio,
                          int envelopeCount, int count)
{
    const v128_t step = wasm_f32x4_splat(ratio);
    const v128_t half = wasm_f32x4_splat(0.5f);
    const v128_t limit = wasm_f32x4_splat(longLiftLimit);
    int j = 0;
    for (; j + 4 <= count; j += 4) {
        const v128_t at = wasm_f32x4_mul(wasm_f32x4_mul(BinLanes(j), step), half);
        const v128_t warped = EnvelopeAtLanes(envelope, at, envelopeCount);
        const v128_t gain = Exp2Lanes(LimitLiftLanes(wasm_f32x4_sub(warped, ShortPairLanes(envelope, j))));
        const v128_t magnitude = wasm_v128_load(longMagnitude + j);
        const v128_t corrected = wasm_f32x4_mul(magnitude, gain);
        const v128_t supported = wasm_f32x4_mul(wasm_f32x4_mul(limit, ShortPairLanes(shortMagnitude, j)), gain);
        wasm_v128_store(out + j, wasm_f32x4_pmin(corrected, wasm_f32x4_pmax(magnitude, supported)));
    }
    for (; j < count; ++j) {
        out[j] = LongBandBin(longMagnitude, shortMagnitude, envelope, ratio, envelopeCount, j);
    }
}

// The smoothing sweeps as scans, four bins a step. A sweep y = x + c (y' - x),
// y' the bin before in the sweep's direction, is y = (1 - c) x + c y': inside
// a block, two steps of shifted, weighted sums, then the value carried from
// the block before, weighted by c to the power of each lane's distance from
// it. The plain sweep waits for every bin's three operations in turn; the
// blocks wait only for the carry. Other roundings than the plain sweep's:
// within a few units in the last place of the envelope's largest value.
struct SweepWeights {
    explicit SweepWeights(float c)
        : keep(wasm_f32x4_splat(1.0f - c)),
          one(wasm_f32x4_splat(c)),
          two(wasm_f32x4_splat(c * c)),
          carriedUp(wasm_f32x4_make(c, c * c, c * c * c, c * c * c * c)),
          carriedDown(wasm_f32x4_make(c * c * c * c, c * c * c, c * c, c))
    {
    }
    v128_t keep;
    v128_t one;
    v128_t two;
    v128_t carriedUp;
    v128_t carriedDown;
};

inline v128_t AddProduct(v128_t sum, v128_t weight, v128_t value)
{
    return wasm_f32x4_add(sum, wasm_f32x4_mul(weight, value));
}

// One block of four bins, swept upwards (from lane 0) or downwards, from the
// value `carried` in every lane.
template <bool upwards>
inline v128_t SweepBlock(v128_t x, v128_t carried, const SweepWeights& w)
{
    const v128_t zero = wasm_f32x4_splat(0.0f);
    const v128_t v = wasm_f32x4_mul(w.keep, x);
    if constexpr (upwards) {
        const v128_t one = AddProduct(v, w.one, wasm_i32x4_shuffle(zero, v, 0, 4, 5, 6));
        const v128_t two = AddProduct(one, w.two, wasm_i32x4_shuffle(zero, one, 0, 1, 4, 5));
        return AddProduct(two, w.carriedUp, carried);
    } else {
        const v128_t one = AddProduct(v, w.one, wasm_i32x4_shuffle(v, zero, 1, 2, 3, 4));
        const v128_t two = AddProduct(one, w.two, wasm_i32x4_shuffle(one, zero, 2, 3, 4, 5));
        return AddProduct(two, w.carriedDown, carried);
    }
}

inline void SweepUp(float* envelope, int count, float c, const SweepWeights& w)
{
    v128_t carried = wasm_f32x4_splat(envelope[0]);
    int k = 0;
    for (; k + 4 <= count; k += 4) {
        const v128_t v = SweepBlock<true>(wasm_v128_load(envelope + k), carried, w);
        wasm_v128_store(envelope + k, v);
        carried = wasm_i32x4_shuffle(v, v, 3, 3, 3, 3);
    }
    scalar::SweepUp(envelope, k, count, c, wasm_f32x4_extract_lane(carried, 0));
}

inline void SweepDown(float* envelope, int count, float c, const SweepWeights& w)
{
    // The top bins that fill no vector first.
    int k = count - count % 4;
    v128_t carried = wasm_f32x4_splat(scalar::SweepDown(envelope + k, count - k, c, envelope[count - 1]));
    for (k -= 4; k >= 0; k -= 4) {
        const v128_t v = SweepBlock<false>(wasm_v128_load(envelope + k), carried, w);
        wasm_v128_store(envelope + k, v);
        carried = wasm_i32x4_shuffle(v, v, 0, 0, 0, 0);
    }
}

inline void SmoothEnvelope(float* envelope, int count, float c, int passes)
{
    const SweepWeights weights(c);
    for (int pass = 0; pass < passes; ++pass) {
        SweepDown(envelope, count, c, weights);
        SweepUp(envelope, count, c, weights);
    }
    const v128_t floor = wasm_f32x4_splat(logEnvelopeFloor);
    int k = 0;
    for (; k + 4 <= count; k += 4) {
        wasm_v128_store(envelope + k, wasm_f32x4_pmax(wasm_v128_load(envelope + k), floor));
    }
    for (; k < count; ++k) {
        envelope[k] = std::max(envelope[k], logEnvelopeFloor);
    }
}

}  // namespace wasm
#endif
}  // namespace formant_loops
}  // namespace kelvane

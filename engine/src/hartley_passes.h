// The passes of the Hartley transform, written once for every lane width.
//
// Each unit that includes this header compiles its own copy (everything here
// has internal linkage), for its own instruction set: the four-lane copy in
// hartley_transform.cpp, the eight-lane one in hartley_transform_avx2.cpp. A
// unit includes the standard headers it needs before this one, so that no
// shared inline function is ever compiled for a wider target than the caller
// runs.
//
// The butterflies are templates, instantiated for a single float and for the
// lane types, so that the scalar and the vector code do the same arithmetic
// in the same order. A unit built for fused multiply-adds defines
// KELVANE_HARTLEY_FMA before including this header: its products then round
// once with their sum, which changes the last bits.
#pragma once

#include "simd_level.h"

#include <cstdint>
#include <cstring>

#if defined(KELVANE_HARTLEY_FMA)
#include <immintrin.h>
#endif

namespace kelvane {

// What the passes need of a prepared transform.
struct HartleyPlan {
    // One section per pass, in the order the passes run. The section of the
    // pass that joins transforms of length f holds f/2 records i = 1 .. f/2 as
    // six rows of f/2 floats (cos i t, sin i t, cos 2 i t, sin 2 i t, cos 3 i t,
    // sin 3 i t with t = pi / 2f), so that consecutive offsets load as one
    // vector per row.
    const float* twiddles = nullptr;
    const std::int16_t* swaps = nullptr;  // pairs (i, j), i > j
    int swapCount = 0;
    int size = 0;
    int oddLog = 0;
};

namespace hartley {
// Eight lanes of every pass, the fused multiply-adds included. Natural order
// when `reorderPairs` is false, else the order of HartleyTransform::Forward.
void TransformEightLanes(const HartleyPlan& plan, float* x, bool reorderPairs);
// Forward's passes in eight lanes before its last; and its last pass on
// offsets [begin, end) only (see LaneForwardLastPass).
void ForwardFirstPassesEightLanes(const HartleyPlan& plan, float* x);
void ForwardLastPassEightLanes(const HartleyPlan& plan, float* x, int begin, int end);
// Eight lanes of InverseLowBins' passes (see LanePrunedInverse).
void PrunedInverseEightLanes(const HartleyPlan& plan, float* x, const float* bandRows, int binCount);
}  // namespace hartley

namespace {

constexpr int recordLength = 6;
constexpr float sqrt2 = 1.4142135f;
constexpr float halfSqrt2 = 0.5f * sqrt2;

inline const float* NextSection(const float* section, int f)
{
    return section + recordLength * (f / 2);
}

// Whether LaneTransform runs the size's last pass as a radix-4 pass of its
// own (and so can leave it, or run part of it): from 16 times the leading
// length on.
inline bool LaneLastPassSplits(const HartleyPlan& plan)
{
    return plan.size >= 16 * (4 << plan.oddLog);
}

// 4-point Hartley transform of values in bit-reversed order.
template <typename T>
inline void FourPoint(T& p0, T& p1, T& p2, T& p3)
{
    const T sum01 = p0 + p1;
    const T diff01 = p0 - p1;
    const T sum23 = p2 + p3;
    const T diff23 = p2 - p3;
    p0 = sum01 + sum23;
    p1 = diff01 + diff23;
    p2 = sum01 - sum23;
    p3 = diff01 - diff23;
}

// 8-point Hartley transform of values in bit-reversed order: 4-point
// transforms of the even and the odd samples, joined. The odd half's turn by
// pi/4 folds into a difference scaled by sqrt2.
template <typename T>
inline void EightPoint(T* p)
{
    FourPoint(p[0], p[1], p[2], p[3]);
    const T sum45 = p[4] + p[5];
    const T sum67 = p[6] + p[7];
    const T odd0 = sum45 + sum67;
    const T odd1 = sqrt2 * (p[4] - p[5]);
    const T odd2 = sum45 - sum67;
    const T odd3 = sqrt2 * (p[6] - p[7]);
    p[4] = p[0] - odd0;
    p[5] = p[1] - odd1;
    p[6] = p[2] - odd2;
    p[7] = p[3] - odd3;
    p[0] = p[0] + odd0;
    p[1] = p[1] + odd1;
    p[2] = p[2] + odd2;
    p[3] = p[3] + odd3;
}

// The general radix-4 butterfly. After the bit reversal the quarters of a
// group hold the transforms of the samples at 4m, 4m+2, 4m+1 and 4m+3, so
// residue 1 comes from quarter 2 and residue 2 from quarter 1. Offsets i and
// f-i of every quarter (the low and high values) combine into offsets i and
// f-i of the result, which keeps the group in place.
template <typename T>
struct Quarters {
    T low0, low1, low2, low3;
    T high0, high1, high2, high3;
};

template <typename T>
struct Twiddles {
    T cos1, sin1, cos2, sin2, cos3, sin3;
};

// c a + s b (sign 1) or c a - s b (sign -1): rounded after every operation,
// or with one rounding for the last product and the sum where the unit
// fuses them.
template <int sign, typename T>
inline T CombinedProducts(T c, T a, T s, T b)
{
#if defined(KELVANE_HARTLEY_FMA)
    if constexpr (sizeof(T) == 32) {
        return sign > 0 ? _mm256_fmadd_ps(c, a, s * b) : _mm256_fmsub_ps(c, a, s * b);
    } else if constexpr (sizeof(T) == 16) {
        return sign > 0 ? _mm_fmadd_ps(c, a, s * b) : _mm_fmsub_ps(c, a, s * b);
    }
#endif
    const T ca = c * a;
    const T sb = s * b;
    if constexpr (sign > 0) {
        return ca + sb;
    } else {
        return ca - sb;
    }
}

template <typename T>
inline Quarters<T> Butterfly(const Quarters<T>& in, const Twiddles<T>& w)
{
    // Each residue's pair (H[i], H[f-i]) turns by its angle: p is the part
    // that lands at offset i, r the part at f-i. One operation per statement,
    // so that no compiler fuses a multiply-add where the unit asks for none.
    const T p1 = CombinedProducts<1>(w.cos1, in.low2, w.sin1, in.high2);
    const T r1 = CombinedProducts<-1>(w.cos1, in.high2, w.sin1, in.low2);
    const T p2 = CombinedProducts<1>(w.cos2, in.low1, w.sin2, in.high1);
    const T r2 = CombinedProducts<-1>(w.cos2, in.high1, w.sin2, in.low1);
    const T p3 = CombinedProducts<1>(w.cos3, in.low3, w.sin3, in.high3);
    const T r3 = CombinedProducts<-1>(w.cos3, in.high3, w.sin3, in.low3);

    const T lowSum = in.low0 + p2;
    const T lowDiff = in.low0 - p2;
    const T highSum = in.high0 + r2;
    const T highDiff = in.high0 - r2;
    const T pSum = p1 + p3;
    const T pDiff = p1 - p3;
    const T rSum = r1 + r3;
    const T rDiff = r1 - r3;

    Quarters<T> out;
    out.low0 = lowSum + pSum;
    out.low1 = lowDiff + rDiff;
    out.low2 = lowSum - pSum;
    out.low3 = lowDiff - rDiff;
    out.high0 = highDiff + pDiff;
    out.high1 = highSum - rSum;
    out.high2 = highDiff - pDiff;
    out.high3 = highSum + rSum;
    return out;
}

// Offsets i and f-i of one group held in p[0 .. 4f).
template <typename T>
inline void GroupButterfly(T* p, int f, int i, const Twiddles<T>& w)
{
    const Quarters<T> in{p[i],     p[i + f],     p[i + 2 * f], p[i + 3 * f],
                         p[f - i], p[2 * f - i], p[3 * f - i], p[4 * f - i]};
    const Quarters<T> out = Butterfly(in, w);
    p[i] = out.low0;
    p[i + f] = out.low1;
    p[i + 2 * f] = out.low2;
    p[i + 3 * f] = out.low3;
    p[f - i] = out.high0;
    p[2 * f - i] = out.high1;
    p[3 * f - i] = out.high2;
    p[4 * f - i] = out.high3;
}

// Offset 0 of a group, where every twiddle is 1.
template <typename T>
inline void ZeroOffsetButterfly(T* p, int f)
{
    FourPoint(p[0], p[f], p[2 * f], p[3 * f]);
}

// Offset f/2 of a group, where the angle is pi/4: with u = x[h], v = x[h+f],
// w = x[h+2f], t = x[h+3f].
template <typename T>
inline void MidOffsetButterfly(T* p, int f)
{
    const int h = f / 2;
    const T u = p[h];
    const T v = p[h + f];
    const T w = sqrt2 * p[h + 2 * f];
    const T t = sqrt2 * p[h + 3 * f];
    p[h] = (u + v) + w;
    p[h + f] = (u - v) + t;
    p[h + 2 * f] = (u + v) - w;
    p[h + 3 * f] = (u - v) - t;
}

// Record i of a section, one value per field.
inline Twiddles<float> ScalarRecord(const float* section, int f, int i)
{
    const int h = f / 2;
    const float* r = section + (i - 1);
    return Twiddles<float>{r[0], r[h], r[2 * h], r[3 * h], r[4 * h], r[5 * h]};
}

// The first pass and the radix-4 pass with f = 4 or 8 on one group of 4f
// values. The records of that pass are few, so they come in as an array.
template <int f, typename T>
inline void LeadingGroup(T* p, const Twiddles<T>* records)
{
    if constexpr (f == 8) {
        for (int k = 0; k < 4 * f; k += 8) {
            EightPoint(p + k);
        }
    } else {
        for (int k = 0; k < 4 * f; k += 4) {
            FourPoint(p[k], p[k + 1], p[k + 2], p[k + 3]);
        }
    }
    ZeroOffsetButterfly(p, f);
    MidOffsetButterfly(p, f);
    for (int i = 1; i < f / 2; ++i) {
        GroupButterfly(p, f, i, records[i - 1]);
    }
}

// At most three records in the leading radix-4 pass (f = 8).
constexpr int maxLeadingRecords = 3;

// Swaps every pair of the bit-reversal list.
inline void SwapPairs(float* x, const std::int16_t* swaps, int swapCount)
{
    for (int k = 0; k < swapCount; ++k) {
        const int i = swaps[2 * k];
        const int j = swaps[2 * k + 1];
        const float value = x[i];
        x[i] = x[j];
        x[j] = value;
    }
}

// Reverses positions n/2+1 .. n-1 so that bin k is the pair (x[k], x[n/2+k]).
// The same swap serves both directions.
inline void ReorderPairs(float* x, int n)
{
    float* __restrict low = x + n / 2;
    float* __restrict high = x + n;
    const int quarter = n / 4;
    for (int i = 1; i < quarter; ++i) {
        const float value = low[i];
        low[i] = high[-i];
        high[-i] = value;
    }
}

// ---- The plain passes: the reference for every other form.

inline void ScalarLeadingPasses(float* x, int n, int oddLog, const float* section)
{
    const int f = 4 << oddLog;
    Twiddles<float> records[maxLeadingRecords];
    for (int i = 1; i < f / 2; ++i) {
        records[i - 1] = ScalarRecord(section, f, i);
    }
    for (int g = 0; g < n; g += 4 * f) {
        if (oddLog != 0) {
            LeadingGroup<8>(x + g, records);
        } else {
            LeadingGroup<4>(x + g, records);
        }
    }
}

// Turns transforms of length f into transforms of length 4f.
inline void ScalarRadixFourPass(float* x, int n, int f, const float* section)
{
    for (int g = 0; g < n; g += 4 * f) {
        ZeroOffsetButterfly(x + g, f);
        MidOffsetButterfly(x + g, f);
        for (int i = 1; i < f / 2; ++i) {
            GroupButterfly(x + g, f, i, ScalarRecord(section, f, i));
        }
    }
}

// The radix-4 passes after the leading ones, from transforms of length
// 4 * (4 << oddLog) on; `section` is the leading pass's.
inline void ScalarLaterPasses(float* x, int n, int oddLog, const float* section)
{
    int f = 4 << oddLog;
    section = NextSection(section, f);
    for (f *= 4; 4 * f <= n; f *= 4) {
        ScalarRadixFourPass(x, n, f, section);
        section = NextSection(section, f);
    }
}

// `value` with its log2(length) low bits in reverse order.
inline int ReversedIndex(int value, int length)
{
    int reversed = 0;
    for (int bit = 1; bit < length; bit <<= 1) {
        reversed = (reversed << 1) | ((value & bit) != 0 ? 1 : 0);
    }
    return reversed;
}

// ---- The inverse of a spectrum held in its lowest bins.
//
// With s = 4f values to a leading group and n = s * stride, the bit reversal
// fills group a with the values at r + t * stride, t = 0 .. s-1, r the
// reversal of a in log2(stride) bits. When the spectrum is zero from bin
// m <= stride up to bin n - m, only the first (t = 0) and the last (t = s-1)
// of them can be other than zero: the group's row 0 is value r of the low
// row (the values 0 .. stride-1) and its row s-1 value r of the high row (the
// values n - stride .. n-1). The leading passes run on those two rows and
// zeros held in registers, the same operations on the same values as the
// whole transform, so the same bits; a group whose two rows lie outside the
// band gets the passes' result for zeros, worked out once. No other value is
// read, and the later passes are the whole transform's.
//
// Whether the low-bin form applies: groups of 4f values, at least 4f of
// them (the lane form's tiles), and the band within the low row.
inline bool PrunesLowBins(const HartleyPlan& plan, int binCount)
{
    const int side = 16 << plan.oddLog;
    const int stride = plan.size / side;
    return stride >= side && binCount <= stride;
}

// The low and the high row, 2 * stride values, from the first `binCount`
// bins of Forward's pair order (x[k], x[n/2 + k]). The second value of bin 0
// (the Nyquist term) is taken as zero.
inline void GatherBandRows(const float* x, int n, int oddLog, int binCount, float* bandRows)
{
    const int stride = n / (16 << oddLog);
    const int m = binCount;
    float* low = bandRows;
    float* high = bandRows + stride;
    std::memcpy(low, x, static_cast<std::size_t>(m) * sizeof(float));
    std::memset(low + m, 0, static_cast<std::size_t>(stride - m) * sizeof(float));
    // High value u is bin n - stride + u, the pair's second value of bin
    // stride - u.
    const int firstHigh = m > 0 ? stride - m + 1 : stride;
    std::memset(high, 0, static_cast<std::size_t>(firstHigh) * sizeof(float));
    const float* second = x + n / 2;
    for (int u = firstHigh; u < stride; ++u) {
        high[u] = second[stride - u];
    }
}

// Whether group column `column` can hold anything but zeros.
inline bool InBand(int column, int stride, int binCount)
{
    return column < binCount || stride - column < binCount;
}

template <int f>
inline void ScalarPrunedLeadingGroups(float* x, int n, const float* section, const float* bandRows, int binCount)
{
    constexpr int side = 4 * f;
    const int stride = n / side;
    Twiddles<float> records[maxLeadingRecords];
    for (int i = 1; i < f / 2; ++i) {
        records[i - 1] = ScalarRecord(section, f, i);
    }
    float zeros[side] = {};
    LeadingGroup<f>(zeros, records);
    for (int a = 0; a < stride; ++a) {
        float* p = x + a * side;
        const int r = ReversedIndex(a, stride);
        if (!InBand(r, stride, binCount)) {
            std::memcpy(p, zeros, sizeof zeros);
            continue;
        }
        std::memset(p, 0, sizeof zeros);
        p[0] = bandRows[r];
        p[side - 1] = bandRows[stride + r];
        LeadingGroup<f>(p, records);
    }
}

// The inverse in natural order from the gathered rows; PrunesLowBins holds.
inline void ScalarPrunedInverse(const HartleyPlan& plan, float* x, const float* bandRows, int binCount)
{
    if (plan.oddLog != 0) {
        ScalarPrunedLeadingGroups<8>(x, plan.size, plan.twiddles, bandRows, binCount);
    } else {
        ScalarPrunedLeadingGroups<4>(x, plan.size, plan.twiddles, bandRows, binCount);
    }
    ScalarLaterPasses(x, plan.size, plan.oddLog, plan.twiddles);
}

// The bit reversal, then the passes; natural order.
inline void ScalarTransform(const HartleyPlan& plan, float* x)
{
    const int n = plan.size;
    SwapPairs(x, plan.swaps, plan.swapCount);
    int f = 4 << plan.oddLog;
    if (4 * f > n) {
        // 4 or 8 points: the first pass is the whole transform.
        if (plan.oddLog != 0) {
            EightPoint(x);
        } else {
            FourPoint(x[0], x[1], x[2], x[3]);
        }
        return;
    }
    ScalarLeadingPasses(x, n, plan.oddLog, plan.twiddles);
    ScalarLaterPasses(x, n, plan.oddLog, plan.twiddles);
}

#if defined(KELVANE_FOUR_LANES)

// ---- Lane passes, for any lane type V of 4 or 8 floats (the compiler's
// generic vectors).

template <typename V>
constexpr int laneCount = static_cast<int>(sizeof(V) / sizeof(float));

template <typename V>
inline V LoadLanes(const float* p)
{
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename V>
inline void StoreLanes(float* p, V v)
{
    std::memcpy(p, &v, sizeof v);
}

template <typename V>
inline V Splat(float value)
{
    return V{} + value;
}

template <typename V>
inline V Reversed(V v)
{
    if constexpr (laneCount<V> == 8) {
        return __builtin_shufflevector(v, v, 7, 6, 5, 4, 3, 2, 1, 0);
    } else {
        return __builtin_shufflevector(v, v, 3, 2, 1, 0);
    }
}

// p[0], p[-1], p[-2], ...: the high values run downwards.
template <typename V>
inline V LoadDownwards(const float* p)
{
    return Reversed(LoadLanes<V>(p - (laneCount<V> - 1)));
}

template <typename V>
inline void StoreDownwards(float* p, V v)
{
    StoreLanes(p - (laneCount<V> - 1), Reversed(v));
}

// Rows r[0 .. W) become the columns.
template <typename V>
inline void Transpose(V* r)
{
    if constexpr (laneCount<V> == 8) {
        const V t0 = __builtin_shufflevector(r[0], r[1], 0, 8, 1, 9, 4, 12, 5, 13);
        const V t1 = __builtin_shufflevector(r[0], r[1], 2, 10, 3, 11, 6, 14, 7, 15);
        const V t2 = __builtin_shufflevector(r[2], r[3], 0, 8, 1, 9, 4, 12, 5, 13);
        const V t3 = __builtin_shufflevector(r[2], r[3], 2, 10, 3, 11, 6, 14, 7, 15);
        const V t4 = __builtin_shufflevector(r[4], r[5], 0, 8, 1, 9, 4, 12, 5, 13);
        const V t5 = __builtin_shufflevector(r[4], r[5], 2, 10, 3, 11, 6, 14, 7, 15);
        const V t6 = __builtin_shufflevector(r[6], r[7], 0, 8, 1, 9, 4, 12, 5, 13);
        const V t7 = __builtin_shufflevector(r[6], r[7], 2, 10, 3, 11, 6, 14, 7, 15);
        const V u0 = __builtin_shufflevector(t0, t2, 0, 1, 8, 9, 4, 5, 12, 13);
        const V u1 = __builtin_shufflevector(t0, t2, 2, 3, 10, 11, 6, 7, 14, 15);
        const V u2 = __builtin_shufflevector(t1, t3, 0, 1, 8, 9, 4, 5, 12, 13);
        const V u3 = __builtin_shufflevector(t1, t3, 2, 3, 10, 11, 6, 7, 14, 15);
        const V u4 = __builtin_shufflevector(t4, t6, 0, 1, 8, 9, 4, 5, 12, 13);
        const V u5 = __builtin_shufflevector(t4, t6, 2, 3, 10, 11, 6, 7, 14, 15);
        const V u6 = __builtin_shufflevector(t5, t7, 0, 1, 8, 9, 4, 5, 12, 13);
        const V u7 = __builtin_shufflevector(t5, t7, 2, 3, 10, 11, 6, 7, 14, 15);
        r[0] = __builtin_shufflevector(u0, u4, 0, 1, 2, 3, 8, 9, 10, 11);
        r[1] = __builtin_shufflevector(u1, u5, 0, 1, 2, 3, 8, 9, 10, 11);
        r[2] = __builtin_shufflevector(u2, u6, 0, 1, 2, 3, 8, 9, 10, 11);
        r[3] = __builtin_shufflevector(u3, u7, 0, 1, 2, 3, 8, 9, 10, 11);
        r[4] = __builtin_shufflevector(u0, u4, 4, 5, 6, 7, 12, 13, 14, 15);
        r[5] = __builtin_shufflevector(u1, u5, 4, 5, 6, 7, 12, 13, 14, 15);
        r[6] = __builtin_shufflevector(u2, u6, 4, 5, 6, 7, 12, 13, 14, 15);
        r[7] = __builtin_shufflevector(u3, u7, 4, 5, 6, 7, 12, 13, 14, 15);
    } else {
        const V a = __builtin_shufflevector(r[0], r[1], 0, 4, 1, 5);
        const V b = __builtin_shufflevector(r[2], r[3], 0, 4, 1, 5);
        const V c = __builtin_shufflevector(r[0], r[1], 2, 6, 3, 7);
        const V d = __builtin_shufflevector(r[2], r[3], 2, 6, 3, 7);
        r[0] = __builtin_shufflevector(a, b, 0, 1, 4, 5);
        r[1] = __builtin_shufflevector(a, b, 2, 3, 6, 7);
        r[2] = __builtin_shufflevector(c, d, 0, 1, 4, 5);
        r[3] = __builtin_shufflevector(c, d, 2, 3, 6, 7);
    }
}

// Records i .. i+W-1 of a section, one register per field.
template <typename V>
inline Twiddles<V> LoadTwiddles(const float* section, int f, int i)
{
    const int h = f / 2;
    const float* r = section + (i - 1);
    return Twiddles<V>{LoadLanes<V>(r),         LoadLanes<V>(r + h),     LoadLanes<V>(r + 2 * h),
                       LoadLanes<V>(r + 3 * h), LoadLanes<V>(r + 4 * h), LoadLanes<V>(r + 5 * h)};
}

// The records of the leading radix-4 pass, each value in every lane.
template <int f, typename V>
inline void SplatLeadingRecords(const float* section, Twiddles<V>* records)
{
    for (int i = 1; i < f / 2; ++i) {
        const Twiddles<float> r = ScalarRecord(section, f, i);
        records[i - 1] = Twiddles<V>{Splat<V>(r.cos1), Splat<V>(r.sin1), Splat<V>(r.cos2),
                                     Splat<V>(r.sin2), Splat<V>(r.cos3), Splat<V>(r.sin3)};
    }
}

// W groups side by side, one per lane: lane k of row r is value r of
// group k. Transposing blocks of W rows in and out costs a shuffle per
// value, and in between every butterfly is plain lane-wise arithmetic.
// Needs n >= W * 4f.
template <int f, typename V>
void LaneLeadingPasses(float* x, int n, const float* section)
{
    constexpr int length = 4 * f;
    constexpr int lanes = laneCount<V>;
    Twiddles<V> records[maxLeadingRecords];
    SplatLeadingRecords<f>(section, records);
    for (int g = 0; g < n; g += lanes * length) {
        float* p = x + g;
        V rows[length];
        for (int r = 0; r < length; r += lanes) {
            for (int k = 0; k < lanes; ++k) {
                rows[r + k] = LoadLanes<V>(p + k * length + r);
            }
            Transpose(rows + r);
        }
        LeadingGroup<f>(rows, records);
        for (int r = 0; r < length; r += lanes) {
            Transpose(rows + r);
            for (int k = 0; k < lanes; ++k) {
                StoreLanes(p + k * length + r, rows[r + k]);
            }
        }
    }
}

// The bit reversal fused with the leading passes, for n >= (4f)^2. With
// s = 4f and an index split as (a, m, b), a and b of log2 s bits each, the
// reversal sends (a, m, b) to (rev b, rev m, rev a): tile m, the s rows
// a * n/s + m * s of s values each, fills tile rev m, and column b of the
// source becomes row rev b of the destination, that is one leading group.
// So W consecutive values of a source row are value rev a of W groups,
// already one per lane, and the groups are read straight from the unpermuted
// input. Tile pairs come from the swap list: the pairs whose indices both lie
// in the first row and start a tile; tiles in no such pair map onto
// themselves. A tile is overwritten only after all its values have been read,
// so the results for the first tile of a pair, and for a tile that maps onto
// itself, wait in a buffer.
template <int f>
struct TileShape {
    static constexpr int side = 4 * f;
    static constexpr int bits = f == 8 ? 5 : 4;
    // Bit reversal within log2(side) bits.
    static constexpr int Reverse(int v)
    {
        int r = 0;
        for (int b = 0; b < bits; ++b) {
            r |= ((v >> b) & 1) << (bits - 1 - b);
        }
        return r;
    }
};

template <int f>
struct ReversedOffsets {
    int value[TileShape<f>::side];
    constexpr ReversedOffsets()
        : value{}
    {
        for (int v = 0; v < TileShape<f>::side; ++v) {
            value[v] = TileShape<f>::Reverse(v);
        }
    }
};

#if defined(__wasm_simd128__)
// Makes the compiler keep what `memory` points to in memory at this point:
// every value stored before it is stored, and every value used after it is
// loaded again.
inline void KeepInMemory(const void* memory)
{
    __asm__ volatile("" : : "r"(memory) : "memory");
}
#endif

// Source tile with rows sourceStride apart into the destination tile with
// rows destinationStride apart, the leading passes done on the way.
template <int f, typename V>
void LaneTile(const float* source, int sourceStride, float* destination, int destinationStride,
              const Twiddles<V>* records)
{
    constexpr int side = TileShape<f>::side;
    constexpr int lanes = laneCount<V>;
    static constexpr ReversedOffsets<f> reversed;
#if defined(__wasm_simd128__)
    // Held in registers, a block of 16 or 32 rows and the pass's records
    // outnumber the registers a WebAssembly engine has, and its spills cost
    // more than the plain stores and loads of running the passes one after
    // the other through memory. The same operations on the same values, so
    // the same bits.
    KeepInMemory(records);
#endif
    for (int c = 0; c < side; c += lanes) {
        V rows[side];
#if defined(__wasm_simd128__)
        constexpr int first = f == 8 ? 8 : 4;
        for (int q = 0; q < side; q += first) {
            V block[first];
            for (int r = 0; r < first; ++r) {
                block[r] = LoadLanes<V>(source + reversed.value[q + r] * sourceStride + c);
            }
            if constexpr (f == 8) {
                EightPoint(block);
            } else {
                FourPoint(block[0], block[1], block[2], block[3]);
            }
            for (int r = 0; r < first; ++r) {
                rows[q + r] = block[r];
            }
        }
        KeepInMemory(rows);
        ZeroOffsetButterfly(rows, f);
        MidOffsetButterfly(rows, f);
        for (int i = 1; i < f / 2; ++i) {
            GroupButterfly(rows, f, i, records[i - 1]);
        }
        KeepInMemory(rows);
#else
        for (int r = 0; r < side; ++r) {
            rows[r] = LoadLanes<V>(source + reversed.value[r] * sourceStride + c);
        }
        LeadingGroup<f>(rows, records);
#endif
        float* d[lanes];
        for (int k = 0; k < lanes; ++k) {
            d[k] = destination + reversed.value[c + k] * destinationStride;
        }
        for (int r = 0; r < side; r += lanes) {
            Transpose(rows + r);
            for (int k = 0; k < lanes; ++k) {
                StoreLanes(d[k] + r, rows[r + k]);
            }
        }
    }
}

#if defined(__wasm_simd128__)
// A tile's rows from the buffer into the tile with rows `stride` apart, a
// few lanes at a time: a WebAssembly engine would call out for each row's
// copy, at a cost far above that of moving its lanes.
template <int f, typename V>
inline void CopyRows(const float* buffer, float* tile, int stride)
{
    constexpr int side = TileShape<f>::side;
    for (int r = 0; r < side; ++r) {
        for (int k = 0; k < side; k += laneCount<V>) {
            StoreLanes(tile + r * stride + k, LoadLanes<V>(buffer + r * side + k));
        }
    }
}
#endif

// At most 32768 / 16^2 tiles.
constexpr int maxTiles = 128;

template <int f, typename V>
void LaneReversedLeadingPasses(float* x, int n, const float* section, const std::int16_t* swaps, int swapCount)
{
    constexpr int side = TileShape<f>::side;
    const int stride = n / side;
    const int tiles = stride / side;
    Twiddles<V> records[maxLeadingRecords];
    SplatLeadingRecords<f>(section, records);
    alignas(32) float buffer[side * side];
    bool paired[maxTiles] = {};
    // The list runs in order of its larger index, so the first row's pairs
    // come first.
    for (int k = 0; k < swapCount; ++k) {
        const int i = swaps[2 * k];
        if (i >= stride) {
            break;
        }
        if (i % side != 0) {
            continue;
        }
        const int j = swaps[2 * k + 1];
        float* tileI = x + i;
        float* tileJ = x + j;
        LaneTile<f>(tileI, stride, buffer, side, records);
        LaneTile<f>(tileJ, stride, tileI, stride, records);
#if defined(__wasm_simd128__)
        CopyRows<f, V>(buffer, tileJ, stride);
#else
        for (int r = 0; r < side; ++r) {
            std::memcpy(tileJ + r * stride, buffer + r * side, side * sizeof(float));
        }
#endif
        paired[i / side] = true;
        paired[j / side] = true;
    }
    for (int m = 0; m < tiles; ++m) {
        if (paired[m]) {
            continue;
        }
        float* tile = x + m * side;
        LaneTile<f>(tile, stride, buffer, side, records);
#if defined(__wasm_simd128__)
        CopyRows<f, V>(buffer, tile, stride);
#else
        for (int r = 0; r < side; ++r) {
            std::memcpy(tile + r * stride, buffer + r * side, side * sizeof(float));
        }
#endif
    }
}

// Offsets i .. i+W-1 and their mirrors of every group of the pass. With
// `reorderPairs` (the last pass of Forward, one group) the upper half lands
// reversed, as ReorderPairs would leave it: quarter 2's offset i and quarter
// 3's offset f-i trade places, and so do quarter 2's f-i and quarter 3's i.
// Where low and high meet (offset f/2) the high values are stored last and
// win, in both orders.
template <bool reorderPairs, typename V>
void LaneButterflies(float* x, int n, int f, int i, const Twiddles<V>& w)
{
    for (int g = 0; g < n; g += 4 * f) {
        float* lo = x + g + i;
        float* hi = x + g + f - i;
        const Quarters<V> in{
            LoadLanes<V>(lo),        LoadLanes<V>(lo + f),        LoadLanes<V>(lo + 2 * f),
            LoadLanes<V>(lo + 3 * f), LoadDownwards<V>(hi),        LoadDownwards<V>(hi + f),
            LoadDownwards<V>(hi + 2 * f), LoadDownwards<V>(hi + 3 * f),
        };
        const Quarters<V> out = Butterfly(in, w);
        StoreLanes(lo, out.low0);
        StoreLanes(lo + f, out.low1);
        if constexpr (reorderPairs) {
            StoreDownwards(hi + 3 * f, out.low2);
            StoreDownwards(hi + 2 * f, out.low3);
            StoreDownwards(hi, out.high0);
            StoreDownwards(hi + f, out.high1);
            StoreLanes(lo + 3 * f, out.high2);
            StoreLanes(lo + 2 * f, out.high3);
        } else {
            StoreLanes(lo + 2 * f, out.low2);
            StoreLanes(lo + 3 * f, out.low3);
            StoreDownwards(hi, out.high0);
            StoreDownwards(hi + f, out.high1);
            StoreDownwards(hi + 2 * f, out.high2);
            StoreDownwards(hi + 3 * f, out.high3);
        }
    }
}

// ReorderPairs W values at a time from each end, for n >= 8W; the values
// only move, so the result is the same.
template <typename V>
inline void LaneReorderPairs(float* x, int n)
{
    float* __restrict low = x + n / 2;
    float* __restrict high = x + n;
    const int quarter = n / 4;
    int i = 1;
    for (; i + laneCount<V> <= quarter; i += laneCount<V>) {
        const V lowValues = LoadLanes<V>(low + i);
        StoreLanes(low + i, LoadDownwards<V>(high - i));
        StoreDownwards(high - i, lowValues);
    }
    for (; i < quarter; ++i) {
        const float value = low[i];
        low[i] = high[-i];
        high[-i] = value;
    }
}

// A radix-4 pass with f >= 2W. Offsets 1 .. f/2 go W at a time, the last
// block ending on f/2, where low and high meet. Each block's twiddles are
// loaded once for all groups. The section's record f/2 is exact (angle pi/4:
// 2 * halfSqrt2 is sqrt2 exactly, and cos 2t an exact zero), so there the
// butterfly is the sqrt2 one.
//
// [begin, end) limits the offsets: 0 runs offset 0 too; the others are where
// blocks start (1, 1 + W, ...). Each block reads and writes only its own
// offsets and their mirrors, so a pass run in parts, in any order, gives the
// same bits as in one go.
template <bool reorderPairs, typename V>
void LaneRadixFourPass(float* x, int n, int f, const float* section, int begin = 0, int end = 1 << 30)
{
    if (begin == 0) {
        for (int g = 0; g < n; g += 4 * f) {
            ZeroOffsetButterfly(x + g, f);
        }
        begin = 1;
    }
    const int stop = end < f / 2 ? end : f / 2;
    for (int i = begin; i < stop; i += laneCount<V>) {
        LaneButterflies<reorderPairs>(x, n, f, i, LoadTwiddles<V>(section, f, i));
    }
}

// The radix-4 passes after the leading ones (transforms of length f joined
// into 4f, from the leading pass's `section`); with `reorderPairs` the last
// leaves Forward's order.
template <typename V>
void LaneLaterPasses(float* x, int n, int f, const float* section, bool reorderPairs, bool lastPass = true)
{
    section = NextSection(section, f);
    for (f *= 4; 4 * f <= n; f *= 4) {
        if (!lastPass && 4 * f == n) {
            return;
        }
        if (reorderPairs && 4 * f == n) {
            LaneRadixFourPass<true, V>(x, n, f, section);
        } else {
            LaneRadixFourPass<false, V>(x, n, f, section);
        }
        section = NextSection(section, f);
    }
}

// The whole transform in lanes of V, the leading passes of small sizes in
// lanes of Narrow (four floats). Natural order, or Forward's order with
// `reorderPairs`.
template <typename V, typename Narrow>
void LaneTransform(const HartleyPlan& plan, float* x, bool reorderPairs, bool lastPass = true)
{
    const int n = plan.size;
    int f = 4 << plan.oddLog;
    const float* section = plan.twiddles;
    // From (4f)^2 values on, the leading passes read their groups tile by
    // tile from the unpermuted input and no swap pass is needed.
    if (n >= 16 * f * f) {
        if (plan.oddLog != 0) {
            LaneReversedLeadingPasses<8, V>(x, n, section, plan.swaps, plan.swapCount);
        } else {
            LaneReversedLeadingPasses<4, V>(x, n, section, plan.swaps, plan.swapCount);
        }
    } else {
        if (n < 16 * f) {
            // The leading passes are the whole transform, or no lanes fit.
            ScalarTransform(plan, x);
            if (reorderPairs) {
                ReorderPairs(x, n);
            }
            return;
        }
        // The first pass and the first radix-4 pass stay within groups of
        // 4f, so they run together while a group is in registers.
        SwapPairs(x, plan.swaps, plan.swapCount);
        if (plan.oddLog != 0) {
            LaneLeadingPasses<8, Narrow>(x, n, section);
        } else {
            LaneLeadingPasses<4, Narrow>(x, n, section);
        }
    }
    LaneLaterPasses<V>(x, n, f, section, reorderPairs, lastPass);
}

// Forward's last pass (one group, f = n/4, the pairs reordered) on offsets
// [begin, end), as LaneRadixFourPass takes them.
template <typename V>
void LaneForwardLastPass(const HartleyPlan& plan, float* x, int begin, int end)
{
    const int n = plan.size;
    const float* section = plan.twiddles;
    int f = 4 << plan.oddLog;
    for (; 4 * f < n; f *= 4) {
        section = NextSection(section, f);
    }
    LaneRadixFourPass<true, V>(x, n, f, section, begin, end);
}

// The leading passes of the low-bin inverse (see PrunesLowBins) tile by
// tile, each tile's columns W at a time, as LaneTile lays them out. The
// source tile at column `start` of the first row lands at the reversal of
// `start`.
template <int f, typename V>
void LanePrunedLeadingPasses(float* x, int n, const float* section, const float* bandRows, int binCount)
{
    constexpr int side = TileShape<f>::side;
    constexpr int lanes = laneCount<V>;
    static constexpr ReversedOffsets<f> reversed;
    const int stride = n / side;
    const float* low = bandRows;
    const float* high = bandRows + stride;
    Twiddles<V> records[maxLeadingRecords];
    SplatLeadingRecords<f>(section, records);
    // The result for a group of zeros, as stored: every lane holds the same.
    V zeros[side] = {};
    LeadingGroup<f>(zeros, records);
    for (int r = 0; r < side; r += lanes) {
        Transpose(zeros + r);
    }
    for (int start = 0; start < stride; start += side) {
        float* destination = x + ReversedIndex(start, n);
        for (int c = 0; c < side; c += lanes) {
            const int column = start + c;
            float* d[lanes];
            for (int k = 0; k < lanes; ++k) {
                d[k] = destination + reversed.value[c + k] * stride;
            }
            if (!InBand(column, stride, binCount) && !InBand(column + lanes - 1, stride, binCount)) {
                for (int r = 0; r < side; r += lanes) {
                    for (int k = 0; k < lanes; ++k) {
                        StoreLanes(d[k] + r, zeros[r + k]);
                    }
                }
                continue;
            }
            V rows[side] = {};
            rows[0] = LoadLanes<V>(low + column);
            rows[side - 1] = LoadLanes<V>(high + column);
            LeadingGroup<f>(rows, records);
            for (int r = 0; r < side; r += lanes) {
                Transpose(rows + r);
                for (int k = 0; k < lanes; ++k) {
                    StoreLanes(d[k] + r, rows[r + k]);
                }
            }
        }
    }
}

// The low-bin inverse in natural order from the gathered rows; PrunesLowBins
// holds.
template <typename V>
void LanePrunedInverse(const HartleyPlan& plan, float* x, const float* bandRows, int binCount)
{
    const int f = 4 << plan.oddLog;
    if (plan.oddLog != 0) {
        LanePrunedLeadingPasses<8, V>(x, plan.size, plan.twiddles, bandRows, binCount);
    } else {
        LanePrunedLeadingPasses<4, V>(x, plan.size, plan.twiddles, bandRows, binCount);
    }
    LaneLaterPasses<V>(x, plan.size, f, plan.twiddles, false);
}

#endif  // KELVANE_FOUR_LANES

}  // namespace
}  // namespace kelvane

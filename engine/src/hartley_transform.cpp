#include "hartley_transform.h"

#include "aligned_memory.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <numbers>

// Four-lane code needs the compiler's generic vectors and their shuffles.
// Elsewhere, or with KELVANE_HARTLEY_SCALAR defined, the scalar passes do the
// same arithmetic in the same order and give the same bits.
#if defined(__GNUC__) && (defined(__clang__) || __GNUC__ >= 12) && !defined(KELVANE_HARTLEY_SCALAR)
#define KELVANE_HARTLEY_LANES 1
#endif

namespace kelvane {
namespace {

constexpr int minimumSize = 4;
// The swap list keeps its indices in 16 bits.
constexpr int maximumSize = 32768;
constexpr int recordLength = 6;
constexpr float sqrt2 = 1.4142135f;
constexpr float halfSqrt2 = 0.5f * sqrt2;

// The butterflies are templates, instantiated for a single float and for four
// lanes, so that the scalar and the vector code do exactly the same
// arithmetic in the same order.

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

// c a + s b and c a - s b, rounded after every operation.
template <typename T>
inline T SumOfProducts(T c, T a, T s, T b)
{
    const T ca = c * a;
    const T sb = s * b;
    return ca + sb;
}

template <typename T>
inline T DifferenceOfProducts(T c, T a, T s, T b)
{
    const T ca = c * a;
    const T sb = s * b;
    return ca - sb;
}

template <typename T>
inline Quarters<T> Butterfly(const Quarters<T>& in, const Twiddles<T>& w)
{
    // Each residue's pair (H[i], H[f-i]) turns by its angle: p is the part
    // that lands at offset i, r the part at f-i. One operation per statement,
    // so that no compiler fuses a multiply-add in one form and not the other.
    const T p1 = SumOfProducts(w.cos1, in.low2, w.sin1, in.high2);
    const T r1 = DifferenceOfProducts(w.cos1, in.high2, w.sin1, in.low2);
    const T p2 = SumOfProducts(w.cos2, in.low1, w.sin2, in.high1);
    const T r2 = DifferenceOfProducts(w.cos2, in.high1, w.sin2, in.low1);
    const T p3 = SumOfProducts(w.cos3, in.low3, w.sin3, in.high3);
    const T r3 = DifferenceOfProducts(w.cos3, in.high3, w.sin3, in.low3);

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

void ScalarLeadingPasses(float* x, int n, int oddLog, const float* twiddles)
{
    const int f = 4 << oddLog;
    Twiddles<float> records[maxLeadingRecords];
    for (int i = 1; i < f / 2; ++i) {
        const float* r = twiddles + recordLength * (i - 1);
        records[i - 1] = Twiddles<float>{r[0], r[1], r[2], r[3], r[4], r[5]};
    }
    for (int g = 0; g < n; g += 4 * f) {
        if (oddLog != 0) {
            LeadingGroup<8>(x + g, records);
        } else {
            LeadingGroup<4>(x + g, records);
        }
    }
}

#ifndef KELVANE_HARTLEY_LANES
// Turns transforms of length f into transforms of length 4f.
void ScalarRadixFourPass(float* x, int n, int f, const float* twiddles)
{
    for (int g = 0; g < n; g += 4 * f) {
        ZeroOffsetButterfly(x + g, f);
        MidOffsetButterfly(x + g, f);
        for (int i = 1; i < f / 2; ++i) {
            const float* r = twiddles + recordLength * (i - 1);
            GroupButterfly(x + g, f, i, Twiddles<float>{r[0], r[1], r[2], r[3], r[4], r[5]});
        }
    }
}
#endif

#ifdef KELVANE_HARTLEY_LANES

// ---- Four-lane passes. The lane type is the compiler's generic vector: one
// register where the target has 128-bit vectors, split up where it has not.

typedef float Lanes __attribute__((vector_size(16)));

inline Lanes LoadLanes(const float* p)
{
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void StoreLanes(float* p, Lanes v)
{
    std::memcpy(p, &v, sizeof v);
}

inline Lanes Splat(float value)
{
    return Lanes{value, value, value, value};
}

// p[0], p[-1], p[-2], p[-3]: the high values run downwards.
inline Lanes LoadDownwards(const float* p)
{
    const Lanes v = LoadLanes(p - 3);
    return __builtin_shufflevector(v, v, 3, 2, 1, 0);
}

inline void StoreDownwards(float* p, Lanes v)
{
    StoreLanes(p - 3, __builtin_shufflevector(v, v, 3, 2, 1, 0));
}

inline void Transpose(Lanes& r0, Lanes& r1, Lanes& r2, Lanes& r3)
{
    const Lanes a = __builtin_shufflevector(r0, r1, 0, 4, 1, 5);
    const Lanes b = __builtin_shufflevector(r2, r3, 0, 4, 1, 5);
    const Lanes c = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);
    const Lanes d = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);
    r0 = __builtin_shufflevector(a, b, 0, 1, 4, 5);
    r1 = __builtin_shufflevector(a, b, 2, 3, 6, 7);
    r2 = __builtin_shufflevector(c, d, 0, 1, 4, 5);
    r3 = __builtin_shufflevector(c, d, 2, 3, 6, 7);
}

// Four consecutive six-float records, one register per field. The
// (cos, sin) pairs move as 64-bit units.
inline Twiddles<Lanes> LoadTwiddles(const float* records)
{
    const Lanes v0 = LoadLanes(records);
    const Lanes v1 = LoadLanes(records + 4);
    const Lanes v2 = LoadLanes(records + 8);
    const Lanes v3 = LoadLanes(records + 12);
    const Lanes v4 = LoadLanes(records + 16);
    const Lanes v5 = LoadLanes(records + 20);
    const Lanes first01 = __builtin_shufflevector(v0, v1, 0, 1, 6, 7);
    const Lanes first23 = __builtin_shufflevector(v3, v4, 0, 1, 6, 7);
    const Lanes second01 = __builtin_shufflevector(v0, v2, 2, 3, 4, 5);
    const Lanes second23 = __builtin_shufflevector(v3, v5, 2, 3, 4, 5);
    const Lanes third01 = __builtin_shufflevector(v1, v2, 0, 1, 6, 7);
    const Lanes third23 = __builtin_shufflevector(v4, v5, 0, 1, 6, 7);
    return Twiddles<Lanes>{
        __builtin_shufflevector(first01, first23, 0, 2, 4, 6),
        __builtin_shufflevector(first01, first23, 1, 3, 5, 7),
        __builtin_shufflevector(second01, second23, 0, 2, 4, 6),
        __builtin_shufflevector(second01, second23, 1, 3, 5, 7),
        __builtin_shufflevector(third01, third23, 0, 2, 4, 6),
        __builtin_shufflevector(third01, third23, 1, 3, 5, 7),
    };
}

// Four groups side by side, one per lane: lane k of row r is value r of
// group k. Transposing blocks of four rows in and out costs a shuffle per
// value, and in between every butterfly is plain lane-wise arithmetic.
template <int f>
void LaneLeadingPasses(float* x, int n, const float* twiddles)
{
    constexpr int length = 4 * f;
    Twiddles<Lanes> records[maxLeadingRecords];
    for (int i = 1; i < f / 2; ++i) {
        const float* r = twiddles + recordLength * (i - 1);
        records[i - 1] =
            Twiddles<Lanes>{Splat(r[0]), Splat(r[1]), Splat(r[2]), Splat(r[3]), Splat(r[4]), Splat(r[5])};
    }
    for (int g = 0; g < n; g += 4 * length) {
        float* p = x + g;
        Lanes rows[length];
        for (int r = 0; r < length; r += 4) {
            rows[r] = LoadLanes(p + r);
            rows[r + 1] = LoadLanes(p + length + r);
            rows[r + 2] = LoadLanes(p + 2 * length + r);
            rows[r + 3] = LoadLanes(p + 3 * length + r);
            Transpose(rows[r], rows[r + 1], rows[r + 2], rows[r + 3]);
        }
        LeadingGroup<f>(rows, records);
        for (int r = 0; r < length; r += 4) {
            Transpose(rows[r], rows[r + 1], rows[r + 2], rows[r + 3]);
            StoreLanes(p + r, rows[r]);
            StoreLanes(p + length + r, rows[r + 1]);
            StoreLanes(p + 2 * length + r, rows[r + 2]);
            StoreLanes(p + 3 * length + r, rows[r + 3]);
        }
    }
}

// The bit reversal fused with the leading passes, for n >= (4f)^2. With
// s = 4f and an index split as (a, m, b), a and b of log2 s bits each, the
// reversal sends (a, m, b) to (rev b, rev m, rev a): tile m, the s rows
// a * n/s + m * s of s values each, fills tile rev m, and column b of the
// source becomes row rev b of the destination, that is one leading group.
// So four consecutive values of a source row are value rev a of four groups,
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

// Source tile with rows sourceStride apart into the destination tile with
// rows destinationStride apart, the leading passes done on the way.
template <int f>
void LaneTile(const float* source, int sourceStride, float* destination, int destinationStride,
              const Twiddles<Lanes>* records)
{
    constexpr int side = TileShape<f>::side;
    static constexpr ReversedOffsets<f> reversed;
    for (int c = 0; c < side; c += 4) {
        Lanes rows[side];
        for (int r = 0; r < side; ++r) {
            rows[r] = LoadLanes(source + reversed.value[r] * sourceStride + c);
        }
        LeadingGroup<f>(rows, records);
        float* d0 = destination + reversed.value[c] * destinationStride;
        float* d1 = destination + reversed.value[c + 1] * destinationStride;
        float* d2 = destination + reversed.value[c + 2] * destinationStride;
        float* d3 = destination + reversed.value[c + 3] * destinationStride;
        for (int r = 0; r < side; r += 4) {
            Transpose(rows[r], rows[r + 1], rows[r + 2], rows[r + 3]);
            StoreLanes(d0 + r, rows[r]);
            StoreLanes(d1 + r, rows[r + 1]);
            StoreLanes(d2 + r, rows[r + 2]);
            StoreLanes(d3 + r, rows[r + 3]);
        }
    }
}

// At most 32768 / 16^2 tiles.
constexpr int maxTiles = 128;

template <int f>
void LaneReversedLeadingPasses(float* x, int n, const float* twiddles, const std::int16_t* swaps, int swapCount)
{
    constexpr int side = TileShape<f>::side;
    const int stride = n / side;
    const int tiles = stride / side;
    Twiddles<Lanes> records[maxLeadingRecords];
    for (int i = 1; i < f / 2; ++i) {
        const float* r = twiddles + recordLength * (i - 1);
        records[i - 1] =
            Twiddles<Lanes>{Splat(r[0]), Splat(r[1]), Splat(r[2]), Splat(r[3]), Splat(r[4]), Splat(r[5])};
    }
    alignas(16) float buffer[side * side];
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
        for (int r = 0; r < side; ++r) {
            std::memcpy(tileJ + r * stride, buffer + r * side, side * sizeof(float));
        }
        paired[i / side] = true;
        paired[j / side] = true;
    }
    for (int m = 0; m < tiles; ++m) {
        if (paired[m]) {
            continue;
        }
        float* tile = x + m * side;
        LaneTile<f>(tile, stride, buffer, side, records);
        for (int r = 0; r < side; ++r) {
            std::memcpy(tile + r * stride, buffer + r * side, side * sizeof(float));
        }
    }
}

// Offsets i .. i+3 and their mirrors of every group of the pass.
void LaneButterflies(float* x, int n, int f, int i, const Twiddles<Lanes>& w)
{
    for (int g = 0; g < n; g += 4 * f) {
        float* lo = x + g + i;
        float* hi = x + g + f - i;
        const Quarters<Lanes> in{
            LoadLanes(lo),     LoadLanes(lo + f),     LoadLanes(lo + 2 * f),     LoadLanes(lo + 3 * f),
            LoadDownwards(hi), LoadDownwards(hi + f), LoadDownwards(hi + 2 * f), LoadDownwards(hi + 3 * f),
        };
        const Quarters<Lanes> out = Butterfly(in, w);
        StoreLanes(lo, out.low0);
        StoreLanes(lo + f, out.low1);
        StoreLanes(lo + 2 * f, out.low2);
        StoreLanes(lo + 3 * f, out.low3);
        StoreDownwards(hi, out.high0);
        StoreDownwards(hi + f, out.high1);
        StoreDownwards(hi + 2 * f, out.high2);
        StoreDownwards(hi + 3 * f, out.high3);
    }
}

// A radix-4 pass with f >= 16. Offsets 1 .. f/2 go four at a time, the last
// block ending on f/2, where low and high meet; its record is midRecord.
// Each block's twiddles are loaded once for all groups.
void LaneRadixFourPass(float* x, int n, int f, const float* twiddles)
{
    for (int g = 0; g < n; g += 4 * f) {
        ZeroOffsetButterfly(x + g, f);
    }
    // Angle pi/4 at offset f/2: low and high are the same value there, and
    // with these exact constants the butterfly is the sqrt2 one (2 * halfSqrt2
    // is sqrt2 exactly, and cos 2t an exact zero).
    constexpr float midRecord[recordLength] = {halfSqrt2, halfSqrt2, 0.0f, 1.0f, -halfSqrt2, halfSqrt2};
    const int last = f / 2 - 3;
    for (int i = 1; i < last; i += 4) {
        LaneButterflies(x, n, f, i, LoadTwiddles(twiddles + recordLength * (i - 1)));
    }
    alignas(16) float records[4 * recordLength];
    std::memcpy(records, twiddles + recordLength * (last - 1), 3 * recordLength * sizeof(float));
    std::memcpy(records + 3 * recordLength, midRecord, sizeof midRecord);
    LaneButterflies(x, n, f, last, LoadTwiddles(records));
}
#endif

// Reverses positions n/2+1 .. n-1 so that bin k is the pair (x[k], x[n/2+k]).
// The same swap serves both directions.
void ReorderPairs(float* x, int n)
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

}  // namespace

HartleyTransform::HartleyTransform(int n)
{
    Prepare(n);
}

HartleyTransform::~HartleyTransform()
{
    Release();
}

bool HartleyTransform::Prepare(int n)
{
    Release();
    if (n < minimumSize || n > maximumSize || (n & (n - 1)) != 0) {
        return false;
    }
    int log2Size = 0;
    while ((1 << log2Size) < n) {
        ++log2Size;
    }
    const int odd = log2Size & 1;
    const int firstSubLength = 4 << odd;

    // The first pass's records are built even when n is too small for the
    // pass to run, so the table is never empty.
    std::size_t reservedRecords = 0;
    for (int f = firstSubLength;; f *= 4) {
        reservedRecords += static_cast<std::size_t>(f / 2 + 1);
        if (4 * f >= n) {
            break;
        }
    }
    auto* table = static_cast<float*>(AlignedAllocate(reservedRecords * recordLength * sizeof(float) + 44));
    if (table == nullptr) {
        return false;
    }
    auto* swaps =
        static_cast<std::int16_t*>(AlignedAllocate(static_cast<std::size_t>(n) * 2 * sizeof(std::int16_t)));
    if (swaps == nullptr) {
        AlignedRelease(table);
        return false;
    }

    // Twiddles in extended precision, so each float is the rounded true value.
    float* record = table;
    for (int f = firstSubLength;; f *= 4) {
        const long double step = std::numbers::pi_v<long double> / (2.0L * f);
        for (int i = 1; i < f / 2; ++i) {
            const long double angle = step * i;
            record[0] = static_cast<float>(std::cos(angle));
            record[1] = static_cast<float>(std::sin(angle));
            record[2] = static_cast<float>(std::cos(2.0L * angle));
            record[3] = static_cast<float>(std::sin(2.0L * angle));
            record[4] = static_cast<float>(std::cos(3.0L * angle));
            record[5] = static_cast<float>(std::sin(3.0L * angle));
            record += recordLength;
        }
        if (4 * f >= n) {
            break;
        }
    }

    // Count i upwards and r in bit-reversed order; each pair is listed once,
    // from its larger index.
    int count = 0;
    int reversed = 0;
    for (int i = 1; i < n; ++i) {
        int bit = n / 2;
        reversed ^= bit;
        while ((reversed & bit) == 0) {
            bit >>= 1;
            reversed ^= bit;
        }
        if (i > reversed) {
            swaps[2 * count] = static_cast<std::int16_t>(i);
            swaps[2 * count + 1] = static_cast<std::int16_t>(reversed);
            ++count;
        }
    }

    twiddleTable = table;
    swapList = swaps;
    swapCount = count;
    size = n;
    oddLog = odd;
    return true;
}

void HartleyTransform::Release()
{
    if (size == 0) {
        return;
    }
    AlignedRelease(twiddleTable);
    AlignedRelease(swapList);
    twiddleTable = nullptr;
    swapList = nullptr;
    swapCount = 0;
    size = 0;
    oddLog = 0;
}

void HartleyTransform::Transform(float* x) const
{
    const int n = size;
    if (n == 0) {
        return;
    }

    int f = 4 << oddLog;
    const float* twiddles = twiddleTable;
#ifdef KELVANE_HARTLEY_LANES
    // From (4f)^2 values on, the leading passes read their groups tile by
    // tile from the unpermuted input and no swap pass is needed.
    const bool tiled = n >= 16 * f * f;
#else
    constexpr bool tiled = false;
#endif
    if (tiled) {
#ifdef KELVANE_HARTLEY_LANES
        if (oddLog != 0) {
            LaneReversedLeadingPasses<8>(x, n, twiddles, swapList, swapCount);
        } else {
            LaneReversedLeadingPasses<4>(x, n, twiddles, swapList, swapCount);
        }
#endif
    } else {
        const std::int16_t* swaps = swapList;
        for (int k = 0; k < swapCount; ++k) {
            const int i = swaps[2 * k];
            const int j = swaps[2 * k + 1];
            const float value = x[i];
            x[i] = x[j];
            x[j] = value;
        }

        if (4 * f > n) {
            // 4 or 8 points: the first pass is the whole transform.
            if (oddLog != 0) {
                EightPoint(x);
            } else {
                FourPoint(x[0], x[1], x[2], x[3]);
            }
            return;
        }

        // The first pass and the first radix-4 pass stay within groups of
        // 4f, so they run together while a group is in registers.
#ifdef KELVANE_HARTLEY_LANES
        if (n >= 16 * f) {
            if (oddLog != 0) {
                LaneLeadingPasses<8>(x, n, twiddles);
            } else {
                LaneLeadingPasses<4>(x, n, twiddles);
            }
        } else {
            ScalarLeadingPasses(x, n, oddLog, twiddles);
        }
#else
        ScalarLeadingPasses(x, n, oddLog, twiddles);
#endif
    }
    twiddles += recordLength * (f / 2 - 1);
    f *= 4;

    for (; 4 * f <= n; f *= 4) {
#ifdef KELVANE_HARTLEY_LANES
        LaneRadixFourPass(x, n, f, twiddles);
#else
        ScalarRadixFourPass(x, n, f, twiddles);
#endif
        twiddles += recordLength * (f / 2 - 1);
    }
}

void HartleyTransform::Forward(float* x) const
{
    Transform(x);
    if (size != 0) {
        ReorderPairs(x, size);
    }
}

void HartleyTransform::Inverse(float* x) const
{
    if (size != 0) {
        ReorderPairs(x, size);
    }
    Transform(x);
}

}  // namespace kelvane

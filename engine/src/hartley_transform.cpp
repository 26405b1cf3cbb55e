#include "hartley_transform.h"

#include "aligned_memory.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <numbers>

namespace kelvane {
namespace {

constexpr int minimumSize = 4;
// The swap list keeps its indices in 16 bits.
constexpr int maximumSize = 32768;
constexpr int recordLength = 6;
constexpr float sqrt2 = 1.4142135f;

// After the bit reversal every group of four holds a 4-point transform in
// bit-reversed order.
void FirstPassFour(float* x, int n)
{
    for (int g = 0; g < n; g += 4) {
        float* p = x + g;
        const float sum01 = p[0] + p[1];
        const float diff01 = p[0] - p[1];
        const float sum23 = p[2] + p[3];
        const float diff23 = p[2] - p[3];
        p[0] = sum01 + sum23;
        p[1] = diff01 + diff23;
        p[2] = sum01 - sum23;
        p[3] = diff01 - diff23;
    }
}

// Two 4-point transforms (even and odd samples) joined into one of eight.
// The odd half's rotation by pi/4 folds into a difference scaled by sqrt2.
void FirstPassEight(float* x, int n)
{
    for (int g = 0; g < n; g += 8) {
        float* p = x + g;
        const float sum01 = p[0] + p[1];
        const float diff01 = p[0] - p[1];
        const float sum23 = p[2] + p[3];
        const float diff23 = p[2] - p[3];
        const float even0 = sum01 + sum23;
        const float even1 = diff01 + diff23;
        const float even2 = sum01 - sum23;
        const float even3 = diff01 - diff23;
        const float sum45 = p[4] + p[5];
        const float sum67 = p[6] + p[7];
        const float odd0 = sum45 + sum67;
        const float odd1 = sqrt2 * (p[4] - p[5]);
        const float odd2 = sum45 - sum67;
        const float odd3 = sqrt2 * (p[6] - p[7]);
        p[0] = even0 + odd0;
        p[1] = even1 + odd1;
        p[2] = even2 + odd2;
        p[3] = even3 + odd3;
        p[4] = even0 - odd0;
        p[5] = even1 - odd1;
        p[6] = even2 - odd2;
        p[7] = even3 - odd3;
    }
}

// The general radix-4 butterfly. The quarters of a group hold the transforms
// of the samples at 4m, 4m+2, 4m+1 and 4m+3 (bit reversal puts them in that
// order), so a is quarter 0, the residue-1 values come from quarter 2 and the
// residue-2 values from quarter 1. Offsets i and f-i of every quarter (the
// "low" and "high" values) combine into offsets i and f-i of the result,
// which keeps the group in place. Written once for float and for four lanes
// so that both do exactly the same arithmetic.
template <typename T>
struct Quarters {
    T low0, low1, low2, low3;
    T high0, high1, high2, high3;
};

template <typename T>
struct Twiddles {
    T cos1, sin1, cos2, sin2, cos3, sin3;
};

template <typename T>
inline Quarters<T> Butterfly(const Quarters<T>& in, const Twiddles<T>& w)
{
    // Each residue's pair (H[i], H[f-i]) turns by its angle: p is the part
    // that lands at offset i, r the part at f-i.
    const T p1 = w.cos1 * in.low2 + w.sin1 * in.high2;
    const T r1 = w.cos1 * in.high2 - w.sin1 * in.low2;
    const T p2 = w.cos2 * in.low1 + w.sin2 * in.high1;
    const T r2 = w.cos2 * in.high1 - w.sin2 * in.low1;
    const T p3 = w.cos3 * in.low3 + w.sin3 * in.high3;
    const T r3 = w.cos3 * in.high3 - w.sin3 * in.low3;

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

// Offsets 0 and f/2 of a group, where the twiddles are 1 and sqrt2.
void EdgeButterflies(float* group, int f)
{
    {
        const float a = group[0];
        const float b = group[f];
        const float c = group[2 * f];
        const float d = group[3 * f];
        group[0] = (a + b) + (c + d);
        group[f] = (a - b) + (c - d);
        group[2 * f] = (a + b) - (c + d);
        group[3 * f] = (a - b) - (c - d);
    }
    {
        const int h = f / 2;
        const float u = group[h];
        const float v = group[h + f];
        const float w = sqrt2 * group[h + 2 * f];
        const float t = sqrt2 * group[h + 3 * f];
        group[h] = (u + v) + w;
        group[h + f] = (u - v) + t;
        group[h + 2 * f] = (u + v) - w;
        group[h + 3 * f] = (u - v) - t;
    }
}

// Offset i of every group of the pass, one value per quarter half.
void ScalarButterflies(float* x, int n, int f, int i, const float* record)
{
    const Twiddles<float> w{record[0], record[1], record[2], record[3], record[4], record[5]};
    for (int g = 0; g < n; g += 4 * f) {
        float* lo = x + g + i;
        float* hi = x + g + f - i;
        const Quarters<float> in{lo[0], lo[f], lo[2 * f], lo[3 * f], hi[0], hi[f], hi[2 * f], hi[3 * f]};
        const Quarters<float> out = Butterfly(in, w);
        lo[0] = out.low0;
        lo[f] = out.low1;
        lo[2 * f] = out.low2;
        lo[3 * f] = out.low3;
        hi[0] = out.high0;
        hi[f] = out.high1;
        hi[2 * f] = out.high2;
        hi[3 * f] = out.high3;
    }
}

#if defined(__GNUC__) && (defined(__clang__) || __GNUC__ >= 12)
#define KELVANE_HARTLEY_LANES 1

// Four floats in one register on every target with 128-bit vectors; the
// compiler splits it up where there are none.
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

// p[0], p[-1], p[-2], p[-3]: the high halves run downwards.
inline Lanes LoadDownwards(const float* p)
{
    const Lanes v = LoadLanes(p - 3);
    return __builtin_shufflevector(v, v, 3, 2, 1, 0);
}

inline void StoreDownwards(float* p, Lanes v)
{
    StoreLanes(p - 3, __builtin_shufflevector(v, v, 3, 2, 1, 0));
}

// Four consecutive six-float records, turned into one register per field.
// The (cos, sin) pairs move as 64-bit units.
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

// Offsets i .. i+3 of every group of the pass.
void LaneButterflies(float* x, int n, int f, int i, const float* records)
{
    const Twiddles<Lanes> w = LoadTwiddles(records);
    for (int g = 0; g < n; g += 4 * f) {
        float* lo = x + g + i;
        float* hi = x + g + f - i;
        const Quarters<Lanes> in{
            LoadLanes(lo),
            LoadLanes(lo + f),
            LoadLanes(lo + 2 * f),
            LoadLanes(lo + 3 * f),
            LoadDownwards(hi),
            LoadDownwards(hi + f),
            LoadDownwards(hi + 2 * f),
            LoadDownwards(hi + 3 * f),
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
#endif

// Turns transforms of length f into transforms of length 4f. Each block of
// twiddles is loaded once and applied to every group.
void RadixFourPass(float* x, int n, int f, const float* twiddles)
{
    for (int g = 0; g < n; g += 4 * f) {
        EdgeButterflies(x + g, f);
    }
    const int half = f / 2;
    int i = 1;
#ifdef KELVANE_HARTLEY_LANES
    for (; i + 4 <= half; i += 4) {
        LaneButterflies(x, n, f, i, twiddles + recordLength * (i - 1));
    }
#endif
    for (; i < half; ++i) {
        ScalarButterflies(x, n, f, i, twiddles + recordLength * (i - 1));
    }
}

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
    auto* swaps = static_cast<std::int16_t*>(AlignedAllocate(static_cast<std::size_t>(n) * 2 * sizeof(std::int16_t)));
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

    const std::int16_t* swaps = swapList;
    for (int k = 0; k < swapCount; ++k) {
        const int i = swaps[2 * k];
        const int j = swaps[2 * k + 1];
        const float value = x[i];
        x[i] = x[j];
        x[j] = value;
    }

    if (oddLog != 0) {
        FirstPassEight(x, n);
    } else {
        FirstPassFour(x, n);
    }

    const float* twiddles = twiddleTable;
    for (int f = 4 << oddLog; 4 * f <= n; f *= 4) {
        RadixFourPass(x, n, f, twiddles);
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

#include "hartley_transform.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>

#include "aligned_memory.h"
#include "hartley_passes.h"
#include "table_precision.h"

namespace kelvane {
namespace {

constexpr int minimumSize = 4;
// The swap list keeps its indices in 16 bits.
constexpr int maximumSize = 32768;

#if defined(KELVANE_FOUR_LANES)
// The compiler's generic vector: one register where the target has 128-bit
// vectors, split up where it has not.
typedef float Lanes __attribute__((vector_size(16)));
#endif

void RunTransform(const HartleyPlan& plan, SimdLevel level, float* x, bool reorderPairs)
{
    switch (level) {
#if defined(KELVANE_EIGHT_LANES)
        case SimdLevel::avx2:
            hartley::TransformEightLanes(plan, x, reorderPairs);
            return;
#endif
#if defined(KELVANE_FOUR_LANES)
        case SimdLevel::sse2:
            LaneTransform<Lanes, Lanes>(plan, x, reorderPairs);
            return;
#endif
        default:
            ScalarTransform(plan, x);
            if (reorderPairs) {
                ReorderPairs(x, plan.size);
            }
            return;
    }
}

// Whether `level` runs Forward's last pass apart at the plan's size: the
// lane levels this build has, from 16 times the leading length on.
bool SplitsLastPass([[maybe_unused]] const HartleyPlan& plan, [[maybe_unused]] SimdLevel level)
{
#if defined(KELVANE_EIGHT_LANES)
    if (level == SimdLevel::avx2) {
        return LaneLastPassSplits(plan);
    }
#endif
#if defined(KELVANE_FOUR_LANES)
    if (level == SimdLevel::sse2) {
        return LaneLastPassSplits(plan);
    }
#endif
    return false;
}

// Forward's passes before its last, and its last on offsets [begin, end),
// at a level that runs it apart.
void RunForwardFirstPasses([[maybe_unused]] const HartleyPlan& plan, [[maybe_unused]] SimdLevel level,
                           [[maybe_unused]] float* x)
{
#if defined(KELVANE_EIGHT_LANES)
    if (level == SimdLevel::avx2) {
        hartley::ForwardFirstPassesEightLanes(plan, x);
        return;
    }
#endif
#if defined(KELVANE_FOUR_LANES)
    LaneTransform<Lanes, Lanes>(plan, x, true, false);
#endif
}

void RunForwardLastPass([[maybe_unused]] const HartleyPlan& plan, [[maybe_unused]] SimdLevel level,
                        [[maybe_unused]] float* x, [[maybe_unused]] int begin, [[maybe_unused]] int end)
{
#if defined(KELVANE_EIGHT_LANES)
    if (level == SimdLevel::avx2) {
        hartley::ForwardLastPassEightLanes(plan, x, begin, end);
        return;
    }
#endif
#if defined(KELVANE_FOUR_LANES)
    LaneForwardLastPass<Lanes>(plan, x, begin, end);
#endif
}

// The last pass runs in blocks of the level's lanes from offset 1, and bin k
// comes from offset k: the first block start that no bin below binCount
// needs.
int LastPassCut(int binCount, SimdLevel level)
{
    const int lanes = level == SimdLevel::avx2 ? 8 : 4;
    const int offsets = binCount - 1;  // 1 .. binCount - 1; offset 0 runs first
    return offsets <= 0 ? 1 : 1 + (offsets + lanes - 1) / lanes * lanes;
}

}  // namespace

HartleyTransform::HartleyTransform(int n, SimdLevel wanted)
{
    Prepare(n, wanted);
}

HartleyTransform::~HartleyTransform()
{
    Release();
}

bool HartleyTransform::Prepare(int n, SimdLevel wanted)
{
    Release();
    level = UsableSimdLevel(wanted);
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
    std::size_t tableLength = 0;
    for (int f = firstSubLength;; f *= 4) {
        tableLength += static_cast<std::size_t>(recordLength * (f / 2));
        if (4 * f >= n) {
            break;
        }
    }
    // InverseLowBins' low and high rows, n / (16 << odd) values each.
    const auto bandLength = static_cast<std::size_t>(2 * (n / (16 << odd)));
    auto* table = static_cast<float*>(AlignedAllocate((tableLength + bandLength) * sizeof(float)));
    if (table == nullptr) {
        return false;
    }
    auto* swaps =
        static_cast<std::int16_t*>(AlignedAllocate(static_cast<std::size_t>(n) * 2 * sizeof(std::int16_t)));
    if (swaps == nullptr) {
        AlignedRelease(table);
        return false;
    }

    // Twiddles in the tables' precision, so each float is the rounded true value.
    // Record f/2 (angle pi/4) takes exact values: halfSqrt2 twice is sqrt2,
    // and cos 2t is 0, so that the lane passes, which run offsets 1 .. f/2
    // with the general butterfly, get there what the sqrt2 butterfly gives.
    float* section = table;
    for (int f = firstSubLength;; f *= 4) {
        const int h = f / 2;
        const TableReal step = std::numbers::pi_v<TableReal> / (TableReal{2.0} * f);
        for (int i = 1; i < h; ++i) {
            const TableReal angle = step * i;
            float* r = section + (i - 1);
            r[0] = static_cast<float>(std::cos(angle));
            r[h] = static_cast<float>(std::sin(angle));
            r[2 * h] = static_cast<float>(std::cos(TableReal{2.0} * angle));
            r[3 * h] = static_cast<float>(std::sin(TableReal{2.0} * angle));
            r[4 * h] = static_cast<float>(std::cos(TableReal{3.0} * angle));
            r[5 * h] = static_cast<float>(std::sin(TableReal{3.0} * angle));
        }
        const float midRecord[recordLength] = {halfSqrt2, halfSqrt2, 0.0f, 1.0f, -halfSqrt2, halfSqrt2};
        for (int field = 0; field < recordLength; ++field) {
            section[field * h + (h - 1)] = midRecord[field];
        }
        section += recordLength * h;
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
    bandRows = table + tableLength;
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
    bandRows = nullptr;
    swapList = nullptr;
    swapCount = 0;
    size = 0;
    oddLog = 0;
}

HartleyPlan HartleyTransform::Plan() const
{
    HartleyPlan plan;
    plan.twiddles = twiddleTable;
    plan.swaps = swapList;
    plan.swapCount = swapCount;
    plan.size = size;
    plan.oddLog = oddLog;
    return plan;
}

void HartleyTransform::Transform(float* x) const
{
    if (size != 0) {
        RunTransform(Plan(), level, x, false);
    }
}

void HartleyTransform::Forward(float* x) const
{
    if (size != 0) {
        RunTransform(Plan(), level, x, true);
    }
}

void HartleyTransform::ForwardLowBins(float* x, int binCount) const
{
    if (size == 0) {
        return;
    }
    const HartleyPlan plan = Plan();
    if (!SplitsLastPass(plan, level)) {
        RunTransform(plan, level, x, true);
        return;
    }
    RunForwardFirstPasses(plan, level, x);
    RunForwardLastPass(plan, level, x, 0, LastPassCut(binCount, level));
}

void HartleyTransform::CompleteForward(float* x, int binCount) const
{
    // Where the last pass does not run apart, ForwardLowBins ran it whole.
    const HartleyPlan plan = Plan();
    if (size != 0 && SplitsLastPass(plan, level)) {
        RunForwardLastPass(plan, level, x, LastPassCut(binCount, level), size);
    }
}

void HartleyTransform::Inverse(float* x) const
{
    if (size != 0) {
#if defined(__wasm_simd128__) && defined(KELVANE_FOUR_LANES)
        // A WebAssembly engine runs the plain loop element by element; the
        // lanes move four values at a time from each end.
        if (level != SimdLevel::scalar) {
            LaneReorderPairs<Lanes>(x, size);
        } else {
            ReorderPairs(x, size);
        }
#else
        ReorderPairs(x, size);
#endif
        RunTransform(Plan(), level, x, false);
    }
}

void HartleyTransform::InverseLowBins(float* x, int binCount) const
{
    if (size == 0) {
        return;
    }
    const int half = size / 2;
    const int m = binCount < 0 ? 0 : (binCount > half ? half : binCount);
    const HartleyPlan plan = Plan();
    if (!PrunesLowBins(plan, m)) {
        std::fill(x + m, x + half, 0.0f);
        std::fill(x + half + m, x + size, 0.0f);
        x[half] = 0.0f;
        Inverse(x);
        return;
    }
    GatherBandRows(x, size, oddLog, m, bandRows);
    switch (level) {
#if defined(KELVANE_EIGHT_LANES)
        case SimdLevel::avx2:
            hartley::PrunedInverseEightLanes(plan, x, bandRows, m);
            return;
#endif
#if defined(KELVANE_FOUR_LANES)
        case SimdLevel::sse2:
            LanePrunedInverse<Lanes>(plan, x, bandRows, m);
            return;
#endif
        default:
            ScalarPrunedInverse(plan, x, bandRows, m);
            return;
    }
}

}  // namespace kelvane

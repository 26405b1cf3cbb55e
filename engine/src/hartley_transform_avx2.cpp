// The Hartley transform's passes in eight lanes (AVX2) with fused
// multiply-adds. Everything after the target switch is compiled for those
// instructions and runs only where the processor has them (the compiler may
// fuse other products and sums here too: this level is compared with the
// plain one within a tolerance, not bit for bit); the standard headers come
// before it, so that their shared inline functions keep the baseline target.
#include <cstdint>
#include <cstring>

#include "simd_level.h"

#if defined(KELVANE_EIGHT_LANES)
#include <immintrin.h>

KELVANE_BEGIN_TARGET("avx2,fma")

#define KELVANE_HARTLEY_FMA 1
#include "hartley_passes.h"

namespace kelvane::hartley {
namespace {
typedef float EightLanes __attribute__((vector_size(32)));
typedef float FourLanes __attribute__((vector_size(16)));
}  // namespace

void TransformEightLanes(const HartleyPlan& plan, float* x, bool reorderPairs)
{
    LaneTransform<EightLanes, FourLanes>(plan, x, reorderPairs);
}

void ForwardFirstPassesEightLanes(const HartleyPlan& plan, float* x)
{
    LaneTransform<EightLanes, FourLanes>(plan, x, true, false);
}

void ForwardLastPassEightLanes(const HartleyPlan& plan, float* x, int begin, int end)
{
    LaneForwardLastPass<EightLanes>(plan, x, begin, end);
}

void PrunedInverseEightLanes(const HartleyPlan& plan, float* x, const float* bandRows, int binCount)
{
    LanePrunedInverse<EightLanes>(plan, x, bandRows, binCount);
}

}  // namespace kelvane::hartley

KELVANE_END_TARGET

#endif  // KELVANE_EIGHT_LANES

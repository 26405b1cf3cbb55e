// The overlap-add loops in eight lanes (AVX2). Everything after the target
// switch is compiled for those instructions and runs only where the
// processor has them. FMA stays off here: a fused multiply-add would round
// once where the plain loops round twice, and these loops keep their bits.
#include "simd_level.h"

#if defined(KELVANE_EIGHT_LANES)

KELVANE_BEGIN_TARGET("avx2")

#include "overlap_add_loops.h"

namespace kelvane::overlap {

void AddFramesEightLanes(float* acc, const SynthesisFrames& frames, int shift)
{
    AddFramesPlain(acc, frames, shift);
}

void AddWindowedEightLanes(float* acc, const float* samples, const float* window, float gain, int count, int shift,
                           bool carried)
{
    AddWindowedPlain(acc, samples, window, gain, count, shift, carried);
}

}  // namespace kelvane::overlap

KELVANE_END_TARGET

#endif  // KELVANE_EIGHT_LANES

#include "overlap_add.h"

#include "overlap_add_loops.h"

namespace kelvane::overlap {

#if defined(KELVANE_EIGHT_LANES)
// In overlap_add_avx2.cpp.
void AddFramesEightLanes(float* acc, const SynthesisFrames& frames, int shift);
void AddWindowedEightLanes(float* acc, const float* samples, const float* window, float gain, int count, int shift,
                           bool carried);
#endif

void AddFrames(SimdLevel level, float* acc, const SynthesisFrames& frames, int shift)
{
#if defined(KELVANE_EIGHT_LANES)
    if (level == SimdLevel::avx2) {
        AddFramesEightLanes(acc, frames, shift);
        return;
    }
#endif
    static_cast<void>(level);
    AddFramesPlain(acc, frames, shift);
}

void AddWindowed(SimdLevel level, float* acc, const float* samples, const float* window, float gain, int count,
                 int shift, bool carried)
{
#if defined(KELVANE_EIGHT_LANES)
    if (level == SimdLevel::avx2) {
        AddWindowedEightLanes(acc, samples, window, gain, count, shift, carried);
        return;
    }
#endif
    static_cast<void>(level);
    AddWindowedPlain(acc, samples, window, gain, count, shift, carried);
}

}  // namespace kelvane::overlap

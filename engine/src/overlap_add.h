// The time-domain loops of the synthesis and the bypass: windowed frames
// overlap-added into an accumulator, which may move on by one hop in the
// same pass. Each runs at the instance's vector level: eight lanes where the
// processor has AVX2, the baseline's four otherwise. No level fuses a
// multiply with an add, so all of them give the same bits.
#pragma once

#include "simd_level.h"

namespace kelvane::overlap {

// One channel's synthesised frames and their windows: the long frame spans
// `longLength` samples, the short one the first `shortLength` of them.
struct SynthesisFrames {
    const float* longWindow;
    const float* longOut;
    const float* shortWindow;
    const float* shortOut;
    int shortLength;
    int longLength;
};

// Adds both frames, windowed, to acc[0, longLength). With `shift` (a hop)
// the accumulator first moves on by that much: acc[j] takes acc[j + shift],
// and the last `shift` positions start from nothing.
void AddFrames(SimdLevel level, float* acc, const SynthesisFrames& frames, int shift);

// acc[j] = gain x samples[j] x window[j] (+ acc[j + shift] when `carried`),
// for j in [0, count): one run of the bypass's overlap-add.
void AddWindowed(SimdLevel level, float* acc, const float* samples, const float* window, float gain, int count,
                 int shift, bool carried);

}  // namespace kelvane::overlap

// The loops behind overlap_add.h, as plain code. Every translation unit that
// includes this gets its own copies (internal linkage), compiled for that
// unit's instructions: overlap_add.cpp for the baseline and
// overlap_add_avx2.cpp for eight lanes. One operation per statement in a
// fixed order, so that no level can round differently.
#pragma once

#include "overlap_add.h"

namespace kelvane::overlap {
namespace {

// acc[j] += lw[j] x lo[j] + sw[j] x so[j] in place; with a shift, the sum
// starts from acc[j + shift] instead, read before anything writes there.
inline void AddFramesPlain(float* acc, const SynthesisFrames& f, int shift)
{
    const float* __restrict longWindow = f.longWindow;
    const float* __restrict longOut = f.longOut;
    const float* __restrict shortWindow = f.shortWindow;
    const float* __restrict shortOut = f.shortOut;
    const int n = f.shortLength;
    const int frame = f.longLength;
    if (shift == 0) {
        float* __restrict out = acc;
        for (int j = 0; j < n; ++j) {
            out[j] = out[j] + longWindow[j] * longOut[j] + shortWindow[j] * shortOut[j];
        }
        for (int j = n; j < frame; ++j) {
            out[j] = out[j] + longWindow[j] * longOut[j];
        }
        return;
    }
    // Reading acc[j + shift] ahead of writing acc[j]: a shift of at least
    // one vector keeps every lane's read ahead of the writes, and shifts are
    // whole hops, far longer than that.
    for (int j = 0; j < n; ++j) {
        acc[j] = longWindow[j] * longOut[j] + acc[j + shift] + shortWindow[j] * shortOut[j];
    }
    for (int j = n; j < frame - shift; ++j) {
        acc[j] = longWindow[j] * longOut[j] + acc[j + shift];
    }
    for (int j = frame - shift; j < frame; ++j) {
        acc[j] = longWindow[j] * longOut[j];
    }
}

inline void AddWindowedPlain(float* acc, const float* __restrict samples, const float* __restrict window, float gain,
                             int count, int shift, bool carried)
{
    if (carried) {
        for (int j = 0; j < count; ++j) {
            acc[j] = gain * samples[j] * window[j] + acc[j + shift];
        }
    } else {
        float* __restrict out = acc;
        for (int j = 0; j < count; ++j) {
            out[j] = gain * samples[j] * window[j];
        }
    }
}

}  // namespace
}  // namespace kelvane::overlap

#include "overlap_add.h"

#include "overlap_add_loops.h"

#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

namespace kelvane::overlap {

#if defined(KELVANE_EIGHT_LANES)
// In overlap_add_avx2.cpp.
void AddFramesEightLanes(float* acc, const SynthesisFrames& frames, int shift);
void AddWindowedEightLanes(float* acc, const float* samples, const float* window, float gain, int count, int shift,
                           bool carried);
#endif

#if defined(__wasm_simd128__)
namespace {

// WebAssembly's compiler vectorises the plain loops only where the read of
// acc[j + shift] and the write of acc[j] cannot overlap at all; a hop is
// shorter than a frame, so every carried run went element by element. Here
// the same operations in the same order, four lanes at a time. Each block
// reads acc[j + shift ..] before it writes acc[j ..], and the blocks before
// it wrote only below j: the reads still find what the plain loop reads,
// whatever the shift.
inline v128_t At(const float* p)
{
    return wasm_v128_load(p);
}

inline void Put(float* p, v128_t value)
{
    wasm_v128_store(p, value);
}

inline v128_t Windowed(const float* window, const float* frame, int j)
{
    return wasm_f32x4_mul(At(window + j), At(frame + j));
}

void AddFramesLanes(float* acc, const SynthesisFrames& f, int shift)
{
    const float* lw = f.longWindow;
    const float* lo = f.longOut;
    const float* sw = f.shortWindow;
    const float* so = f.shortOut;
    const int n = f.shortLength;
    const int frame = f.longLength;
    int j = 0;
    if (shift == 0) {
        for (; j + 4 <= n; j += 4) {
            Put(acc + j, wasm_f32x4_add(wasm_f32x4_add(At(acc + j), Windowed(lw, lo, j)), Windowed(sw, so, j)));
        }
        for (; j < n; ++j) {
            acc[j] = acc[j] + lw[j] * lo[j] + sw[j] * so[j];
        }
        for (; j + 4 <= frame; j += 4) {
            Put(acc + j, wasm_f32x4_add(At(acc + j), Windowed(lw, lo, j)));
        }
        for (; j < frame; ++j) {
            acc[j] = acc[j] + lw[j] * lo[j];
        }
        return;
    }
    for (; j + 4 <= n; j += 4) {
        Put(acc + j, wasm_f32x4_add(wasm_f32x4_add(Windowed(lw, lo, j), At(acc + j + shift)), Windowed(sw, so, j)));
    }
    for (; j < n; ++j) {
        acc[j] = lw[j] * lo[j] + acc[j + shift] + sw[j] * so[j];
    }
    const int carried = frame - shift;
    for (; j + 4 <= carried; j += 4) {
        Put(acc + j, wasm_f32x4_add(Windowed(lw, lo, j), At(acc + j + shift)));
    }
    for (; j < carried; ++j) {
        acc[j] = lw[j] * lo[j] + acc[j + shift];
    }
    for (j = carried; j + 4 <= frame; j += 4) {
        Put(acc + j, Windowed(lw, lo, j));
    }
    for (; j < frame; ++j) {
        acc[j] = lw[j] * lo[j];
    }
}

void AddWindowedLanes(float* acc, const float* samples, const float* window, float gain, int count, int shift,
                      bool carried)
{
    const v128_t g = wasm_f32x4_splat(gain);
    int j = 0;
    if (carried) {
        for (; j + 4 <= count; j += 4) {
            const v128_t scaled = wasm_f32x4_mul(wasm_f32x4_mul(g, At(samples + j)), At(window + j));
            Put(acc + j, wasm_f32x4_add(scaled, At(acc + j + shift)));
        }
        for (; j < count; ++j) {
            acc[j] = gain * samples[j] * window[j] + acc[j + shift];
        }
        return;
    }
    for (; j + 4 <= count; j += 4) {
        Put(acc + j, wasm_f32x4_mul(wasm_f32x4_mul(g, At(samples + j)), At(window + j)));
    }
    for (; j < count; ++j) {
        acc[j] = gain * samples[j] * window[j];
    }
}

}  // namespace
#endif

void AddFrames(SimdLevel level, float* acc, const SynthesisFrames& frames, int shift)
{
#if defined(KELVANE_EIGHT_LANES)
    if (level == SimdLevel::avx2) {
        AddFramesEightLanes(acc, frames, shift);
        return;
    }
#endif
#if defined(__wasm_simd128__)
    if (level != SimdLevel::scalar) {
        AddFramesLanes(acc, frames, shift);
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
#if defined(__wasm_simd128__)
    if (level != SimdLevel::scalar) {
        AddWindowedLanes(acc, samples, window, gain, count, shift, carried);
        return;
    }
#endif
    static_cast<void>(level);
    AddWindowedPlain(acc, samples, window, gain, count, shift, carried);
}

}  // namespace kelvane::overlap

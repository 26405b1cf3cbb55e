// The band-limited resampler that changes the pitch: the overlap-added
// output is read at a step of the pitch ratio through a Kaiser-windowed sinc,
// whose taps come from a table built at instance creation.
//
// At unit step the sinc's cut-off sits at the accumulator's Nyquist
// frequency, so the images of the samples' spectrum are gone; on integer
// positions the kernel is a single 1 and the samples pass unchanged. That
// serves the vocoder at every pitch: reading faster (pitch up), its spectrum
// already ends where the output's band would. The bypass is not band-limited:
// read faster, its kernel is stretched so that nothing above the output's
// Nyquist frequency folds back.
#pragma once

#include <cstdint>

#include "simd_level.h"
#include "vector_ops.h"

namespace kelvane {

// Taps on each side of the read position, at unit step.
constexpr int resamplerHalfLength = 16;
constexpr int resamplerTaps = 2 * resamplerHalfLength;
// Read positions are rounded to this many phases per sample: at most 1/4096
// of a sample off, which leaves errors more than 60 dB down up to 18 kHz.
constexpr int resamplerPhases = 2048;
// Reading faster, the kernel is stretched by this much beyond the step, so
// its stop band (70 dB down) begins at the output's Nyquist frequency.
constexpr float resamplerStretch = 1.155f;
// The highest pitch ratio the setters allow; the stretch follows it no further.
constexpr float resamplerHighestRatio = 4.0f;
// The most samples the stretched kernel reaches on either side of the read
// position: the resampler reads this far behind the accumulator's finished
// samples.
constexpr int resamplerReach = 74;
// Kernels are applied four taps at a time (vector_ops::KernelDot).
constexpr int resamplerLanes = 4;
// The longest kernel, rounded up to whole groups of taps.
constexpr int resamplerLongestKernel = 2 * resamplerReach + 2 * resamplerLanes;

// Entries of the table: one row of resamplerTaps taps for each phase 0 to
// resamplerPhases, tap j of row p being the kernel at
// j - (resamplerHalfLength - 1) - p / resamplerPhases.
constexpr int resamplerTableLength = (resamplerPhases + 1) * resamplerTaps;

// What the resampler keeps of each accumulator position's control record:
// whether it is input, its pitch ratio and the next position's, between which
// the step glides, and whether the bypass sounds in its sample.
struct ResampleRecord {
    float pitchRatio;
    float nextPitchRatio;
    std::uint8_t isInput;
    std::uint8_t bypassed;
};

void FillResamplerTable(float* table);

// The kernel row that reads samples[u + 1 - resamplerHalfLength ...] at unit
// step for a read position u + fraction.
inline const float* ResamplerRow(const float* table, float fraction)
{
    const auto phase = static_cast<int>(fraction * static_cast<float>(resamplerPhases) + 0.5f);
    return table + phase * resamplerTaps;
}

// Builds the kernel stretched for a step of `ratio` (above 1) that reads
// samples[u + first ...] for a read position u + fraction into `kernel`, a
// whole number of lanes long; returns the number of taps and sets `first`.
int BuildStretchedKernel(const float* table, float fraction, float ratio, float* kernel, int& first);

// One output sample of every channel: out[ch][write] is the sum of
// kernel[j] x lines[ch][first + j] over `taps` taps (a whole number of
// lanes). Below the eight-lane level the sum is vector_ops' KernelDot, bit
// for bit; eight lanes with fused multiply-adds sum in another order and
// round less, within a few units in the last place of the largest product.
#if defined(KELVANE_EIGHT_LANES)
void ReadThroughKernelEightLanes(const float* kernel, int taps, float* const* lines, int first, float* const* out,
                                 int write, int channels);

// Reads at unit step, eight at once: out[ch][write + i] for i < 8 is read
// through the unit-step row rows[i] from lines[ch] + firsts[i]. Each is
// ReadThroughKernelEightLanes' sum, bit for bit: the same products in the
// same order, with the eight reads' lanes folded together.
constexpr int resamplerReadsAtOnce = 8;
void ReadRowsEightLanes(const float* const* rows, const int* firsts, float* const* lines, float* const* out,
                        int write, int channels);
#endif

// Inline: it runs once per output frame.
inline void ReadThroughKernel(SimdLevel level, const float* kernel, int taps, float* const* lines, int first,
                              float* const* out, int write, int channels)
{
#if defined(KELVANE_EIGHT_LANES)
    if (level == SimdLevel::avx2) {
        ReadThroughKernelEightLanes(kernel, taps, lines, first, out, write, channels);
        return;
    }
#endif
    static_cast<void>(level);
    if (taps == resamplerTaps) {
        for (int ch = 0; ch < channels; ++ch) {
            out[ch][write] = vector_ops::selected::KernelDot<resamplerTaps>(kernel, lines[ch] + first, 0);
        }
        return;
    }
    for (int ch = 0; ch < channels; ++ch) {
        out[ch][write] = vector_ops::selected::KernelDot<>(kernel, lines[ch] + first, taps);
    }
}

}  // namespace kelvane

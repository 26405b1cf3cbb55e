// The band-limited resampler that changes the pitch: the overlap-added
// output is read at a step of the pitch ratio through a Kaiser-windowed sinc,
// whose taps are interpolated from a table built at instance creation.
//
// Reading slower than the samples (pitch down) the sinc's cut-off sits at
// the accumulator's Nyquist frequency, so the images of the samples'
// spectrum are gone; on integer positions the kernel is a single 1 and the
// samples pass unchanged. Reading faster (pitch up) the kernel is stretched
// so that nothing above the output's Nyquist frequency folds back.
#pragma once

#include <cstdint>

namespace kelvane {

// Taps on each side of the read position, at unit step.
constexpr int resamplerHalfLength = 16;
// Table entries per sample of the kernel's span.
constexpr int resamplerPhases = 256;
// Reading faster, the kernel is stretched by this much beyond the step, so
// its stop band (70 dB down) begins at the output's Nyquist frequency.
constexpr float resamplerStretch = 1.155f;
// The highest pitch ratio the setters allow; the stretch follows it no further.
constexpr float resamplerHighestRatio = 4.0f;
// The most samples the stretched kernel reaches on either side of the read
// position: the resampler reads this far behind the accumulator's finished
// samples.
constexpr int resamplerReach = 74;
// Kernels are built and applied four taps at a time.
constexpr int resamplerLanes = 4;
// The longest kernel, rounded up to whole groups of taps.
constexpr int resamplerLongestKernel = 2 * resamplerReach + 2 * resamplerLanes;

// Entries of the two tables.
constexpr int resamplerTableLength = (resamplerHalfLength + 1) * resamplerPhases + 2;
constexpr int resamplerPhaseTableLength = (resamplerPhases + 1) * 2 * resamplerHalfLength;

// What the resampler keeps of each accumulator position's control record:
// whether it is input, its pitch ratio and the next position's, between which
// the step glides.
struct ResampleRecord {
    float pitchRatio;
    float nextPitchRatio;
    std::uint8_t isInput;
};

// Fills `table` with the kernel at steps of 1 / resamplerPhases from 0 to
// past its end (zeros there), and `phases` with one row of
// 2 resamplerHalfLength taps per phase 0 to resamplerPhases, tap j of row p
// being the kernel at j - (resamplerHalfLength - 1) - p / resamplerPhases.
void FillResamplerTables(float* table, float* phases);

// Builds the kernel that reads samples[u + first ...] for a read position
// u + fraction at step `ratio` into `kernel`, a whole number of lanes long;
// returns the number of taps and sets `first` (negative or 0).
int BuildResamplerKernel(const float* table, const float* phases, float fraction, float ratio, float* kernel,
                         int& first);

// Sum of kernel[j] x samples[j] over `taps` taps (a multiple of the lanes),
// in the same order on every build.
float ApplyResamplerKernel(const float* kernel, const float* samples, int taps);

}  // namespace kelvane

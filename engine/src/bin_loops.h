// The per-bin loops of the spectral steps at one vector level. An instance
// takes the table of its level when it is built, so the real-time path calls
// through it without asking the level again.
//
// The scalar and SSE2 tables hold the forms of vector_ops.h, which compute
// the same bits, and the plain formant loops of formant_loops.h. The AVX2
// table (eight bins at a time, fused multiply-adds, one reciprocal where the
// plain loops divide twice) computes the same values within a few units in
// the last place; the stability counters and peak indices it derives, and
// the log magnitudes and loudest neighbours of the formant envelope, are
// exactly those of the plain loops. Its smoothing sweeps run as blocked
// scans, eight bins a step, within 1e-6 of the envelope's largest value.
//
// In WebAssembly the four-lane table takes the formant loops of
// formant_loops.h's own WebAssembly forms: the same bits, but for the
// smoothing sweeps, which run as blocked scans of four bins.
#pragma once

#include <cstdint>

#include "simd_level.h"

namespace kelvane {

struct BinLoops {
    void (*splitPolar)(const float* re, const float* im, float* power, float* magnitude, float* unitRe,
                       float* unitIm, float tiny, int count);
    // One threshold per bin, and one per pair of bins (the long frame's).
    void (*updateStability)(float* power, float* previous, const float* threshold, std::uint8_t* counters,
                            bool frozen, float tiny, int count);
    void (*updateStabilityPairs)(float* power, float* previous, const float* threshold,
                                 std::uint8_t* counters, bool frozen, float tiny, int count);
    void (*phaseAdvance)(const float* currentRe, const float* currentIm, float* previousRe, float* previousIm,
                         float* advanceRe, float* advanceIm, const std::uint8_t* counters, int count);
    void (*turnPhasors)(float* phasorRe, float* phasorIm, const float* advanceRe, const float* advanceIm,
                        const float* analysedRe, const float* analysedIm, const std::uint8_t* counters,
                        float* rotationRe, float* rotationIm, int count);
    void (*lockPhasors)(float* phasorRe, float* phasorIm, const float* analysedRe, const float* analysedIm,
                        const std::uint8_t* counters, const float* rotationRe, const float* rotationIm,
                        const std::int16_t* peak, int count);
    void (*findPeaks)(const float* magnitude, std::int16_t* peak, int end);
    void (*takeLouder)(const float* rotationRe, const float* rotationIm, const float* magnitude,
                       const float* keptRe, const float* keptIm, const float* keptMagnitude, float* linkedRe,
                       float* linkedIm, float* loudest, int count);
    // The formant correction's (formant_loops.h).
    void (*logMagnitudes)(const float* magnitude, float* logs, int count);
    void (*holdPeaks)(const float* in, float* out, int count);
    void (*smoothEnvelope)(float* envelope, int count, float c, int passes);
    void (*shapeShortBand)(const float* magnitude, float* envelope, float* change, float ratio, int count);
    void (*shapeLongBand)(const float* longMagnitude, const float* shortMagnitude, const float* envelope,
                          float* out, float ratio, int envelopeCount, int count);
    // The loops that follow give the plain loops' bits at every level (the
    // sums add in the plain loops' order): given the same powers, every level
    // finds the same onsets.
    //
    // The synthesis's steady bins; `share` may be null (a share of 1).
    void (*emitBins)(const float* phasorRe, const float* phasorIm, const float* magnitude, float gain,
                     const float* share, float* outRe, float* outIm, int count);
    // The analysis frames' windowing: out[i] = samples[i] x window[i]; and
    // the long frame's power, hop by hop.
    void (*windowRun)(const float* samples, const float* window, float* out, int count);
    double (*sumOfSquares)(const float* x, int count);
    // The onset check's and the restarted bins' hold (onset_placement.cpp).
    int (*sumOnsetPower)(const float* power, const float* ratio, const std::uint8_t* counters, float* total,
                         float* rising, int count);
    double (*risingGain)(const float* power, const float* ratio, const std::uint8_t* counters, int count);
    void (*holdRestarts)(const std::uint8_t* counters, const std::uint8_t* onset, const float* turnRe,
                         const float* turnIm, float* advanceRe, float* advanceIm, int count);
    // Which bins of linked channels stay with their peak (the synthesis's
    // locking): the same peaks at every level.
    void (*keepMembers)(std::int16_t* peak, float* const* advance, int imaginary, int channels,
                        const std::uint8_t* counters, float least, float* sumRe, float* sumIm, int end);
};

// The loops of `level`, or of the widest level below it that this build
// holds and this processor runs.
const BinLoops& BinLoopsFor(SimdLevel level);

}  // namespace kelvane

// Spectral synthesis: the running output phasor of every bin is turned by the
// bin's latest phase advance (or restarted at its analysed phase), scaled by
// its magnitude, and the short and long frames are inverse-transformed and
// overlap-added into each channel's output accumulator.
//
// Modes (the cycle picks one per call):
//   0  first analysed hop of several in one synthesis hop: onset bins only,
//      accumulator shifted by one hop, then added;
//   1  the last of several: every bin, added in place;
//   2  the only analysed hop, or none: every bin, shifted, then added;
//   3  further hops passed over: only the phase restarts take effect. Nothing
//      is emitted, so neither frame is built nor transformed.
#include <algorithm>

#include "engine_instance.h"

namespace kelvane {
namespace {

// Bins emitted below the band limit are faded out over this many bins.
constexpr int taperBins = 64;
// The lowest long bins get a little more level at quality 1.
constexpr int bassLiftBins = 7;

inline bool EmitsSteadyBins(int mode)
{
    return mode == allBinsInPlace || mode == allBinsShifted;
}

// Mode 3: bins whose counter is 0 take their analysed phase; nothing else.
void RestartPhases(float* re, float* im, const float* advanceRe, const float* advanceIm,
                   const std::uint8_t* counters, int count)
{
    for (int b = 0; b < count; ++b) {
        if (counters[b] == 0) {
            re[b] = advanceRe[b];
            im[b] = advanceIm[b];
        }
    }
}

// Turns the phasors of bins [begin, end) for one synthesis hop and writes the
// bins of the output spectrum: magnitude x gain x share(b) along the phasor.
// A bin whose counter is 0 restarts at its analysed phase, which is what the
// advance holds for it; steady bins turn by their advance when the mode emits
// them, and otherwise keep their phase and stay silent. Straight-line bodies,
// so that the loops vectorise.
template <bool emitSteady, typename Share>
void StepBins(float* phasorRe, float* phasorIm, const float* advanceRe, const float* advanceIm,
              const std::uint8_t* counters, const float* magnitude, float gain, Share share, float* outRe,
              float* outIm, int begin, int end)
{
    for (int b = begin; b < end; ++b) {
        const float re = phasorRe[b];
        const float im = phasorIm[b];
        const float a = advanceRe[b];
        const float c = advanceIm[b];
        const bool restart = counters[b] == 0;
        float e = gain * magnitude[b];
        float nextRe;
        float nextIm;
        if constexpr (emitSteady) {
            const float turnedRe = re * a - im * c;
            const float turnedIm = im * a + re * c;
            nextRe = restart ? a : turnedRe;
            nextIm = restart ? c : turnedIm;
        } else {
            nextRe = restart ? a : re;
            nextIm = restart ? c : im;
            e = restart ? e : 0.0f;
        }
        phasorRe[b] = nextRe;
        phasorIm[b] = nextIm;
        const float s = share(b);
        outRe[b] = nextRe * e * s;
        outIm[b] = nextIm * e * s;
    }
}

template <typename Share>
void StepBins(bool emitSteady, float* phasorRe, float* phasorIm, const float* advanceRe,
              const float* advanceIm, const std::uint8_t* counters, const float* magnitude, float gain,
              Share share, float* outRe, float* outIm, int begin, int end)
{
    if (emitSteady) {
        StepBins<true>(phasorRe, phasorIm, advanceRe, advanceIm, counters, magnitude, gain, share, outRe,
                       outIm, begin, end);
    } else {
        StepBins<false>(phasorRe, phasorIm, advanceRe, advanceIm, counters, magnitude, gain, share, outRe,
                        outIm, begin, end);
    }
}

}  // namespace

void EngineInstance::SynthesiseShortFrame(int mode)
{
    const int half = halfBlock;
    const bool emitSteady = EmitsSteadyBins(mode);
    const bool corrected = formantRatio != 1.0f;

    // Above the pitch ratio the resampler would fold everything over
    // half / ratio back into the band: leave it out.
    int limit = half;
    if (activePitchRatio > 1.0f) {
        limit = static_cast<int>(static_cast<float>(half) / activePitchRatio);
    }

    for (int ch = 0; ch < channelCount; ++ch) {
        float* phasorRe = shortSynthesisPhasor[ch];
        float* phasorIm = phasorRe + half;
        const float* advanceRe = shortAdvance[ch];
        const float* advanceIm = advanceRe + half;
        if (mode == phaseResetsOnly) {
            RestartPhases(phasorRe, phasorIm, advanceRe, advanceIm, shortBinCounters, limit);
            continue;
        }
        const float* magnitude = corrected ? shortCorrectedMagnitude[ch] : shortMagnitude[ch];
        float* outRe = shortSynthesis[ch];
        float* outIm = outRe + half;

        // The long path carries the low band and the shares sum to one: the
        // short band's is 1 - crossoverWeight[2k], exactly 1 from bin M/2 on.
        const int shared = std::min(limit, lowBinCount / 2);
        const float* weight = crossoverWeight;
        StepBins(
            emitSteady, phasorRe, phasorIm, advanceRe, advanceIm, shortBinCounters, magnitude, synthesisGain,
            [weight](int k) { return 1.0f - weight[2 * k]; }, outRe, outIm, 0, shared);
        StepBins(
            emitSteady, phasorRe, phasorIm, advanceRe, advanceIm, shortBinCounters, magnitude, synthesisGain,
            [](int) { return 1.0f; }, outRe, outIm, shared, limit);

        if (limit < half) {
            // Fade the last bins below the limit with the falling half of the
            // sine window, then clear everything above it.
            const int first = limit - taperBins < 0 ? 0 : limit - taperBins;
            for (int b = first; b < limit; ++b) {
                const int d = b - (limit - taperBins);
                const float fade = shortSynthesisWindow[half + (d * half) / taperBins];
                outRe[b] *= fade;
                outIm[b] *= fade;
            }
            for (int b = limit; b < half; ++b) {
                outRe[b] = 0.0f;
                outIm[b] = 0.0f;
            }
        }
        shortTransform->Inverse(outRe);
    }
}

void EngineInstance::SynthesiseLongFrame(int mode)
{
    const int n = blockLength;
    const int m = lowBinCount;
    const bool emitSteady = EmitsSteadyBins(mode);
    const bool corrected = formantRatio != 1.0f;
    const bool bassLift = quality == 1;

    for (int ch = 0; ch < channelCount; ++ch) {
        float* phasorRe = longSynthesisPhasor[ch];
        float* phasorIm = phasorRe + m;
        const float* advanceRe = longAdvance[ch];
        const float* advanceIm = advanceRe + m;
        if (mode == phaseResetsOnly) {
            RestartPhases(phasorRe, phasorIm, advanceRe, advanceIm, longBinCounters, m);
            continue;
        }
        const float* magnitude = corrected ? longCorrectedMagnitude[ch] : longMagnitude[ch];
        float* outRe = longSynthesis[ch];
        float* outIm = outRe + n;

        // The long band's share is crossoverWeight[j]; at quality 1 the lowest
        // bins are lifted by 1.35 down to 1.05.
        const float* weight = crossoverWeight;
        const int lifted = bassLift ? std::min(bassLiftBins, m) : 0;
        StepBins(
            emitSteady, phasorRe, phasorIm, advanceRe, advanceIm, longBinCounters, magnitude, synthesisGain,
            [weight](int j) { return weight[j] * (static_cast<float>(bassLiftBins - j) * 0.05f + 1.0f); },
            outRe, outIm, 0, lifted);
        StepBins(
            emitSteady, phasorRe, phasorIm, advanceRe, advanceIm, longBinCounters, magnitude, synthesisGain,
            [weight](int j) { return weight[j]; }, outRe, outIm, lifted, m);
        // The transform works in place, so the bins above the low band are
        // cleared on every call.
        for (int j = m; j < n; ++j) {
            outRe[j] = 0.0f;
            outIm[j] = 0.0f;
        }
        longTransform->Inverse(outRe);
    }
}

void EngineInstance::ResynthesiseHop(int mode)
{
    if (mode == phaseResetsOnly) {
        // Nothing is emitted: the magnitudes are not read, so the formant
        // step is skipped too.
        SynthesiseShortFrame(mode);
        SynthesiseLongFrame(mode);
        return;
    }
    if (formantRatio != 1.0f && formantRatio != correctedFormantRatio) {
        CorrectFormants();
    }
    SynthesiseShortFrame(mode);
    SynthesiseLongFrame(mode);

    // Both frames start at acc[0], as the analysis frames start at the oldest
    // sample: the short frame covers the older half of the long frame's span.
    const int n = blockLength;
    const int frame = frameLength;
    const int h = hopLength;
    const float* longWindow = longSynthesisWindow;
    const float* shortWindow = shortSynthesisWindow;
    for (int ch = 0; ch < channelCount; ++ch) {
        float* acc = outputAccumulator[ch];
        const float* longOut = longSynthesis[ch];
        const float* shortOut = shortSynthesis[ch];
        if (mode == allBinsInPlace) {
            for (int j = 0; j < n; ++j) {
                acc[j] = acc[j] + longWindow[j] * longOut[j] + shortWindow[j] * shortOut[j];
            }
            for (int j = n; j < frame; ++j) {
                acc[j] = acc[j] + longWindow[j] * longOut[j];
            }
            continue;
        }
        // Shift by one hop while adding: acc[j + h] is read before acc[j + h]
        // is written.
        for (int j = 0; j < n; ++j) {
            acc[j] = longWindow[j] * longOut[j] + acc[j + h] + shortWindow[j] * shortOut[j];
        }
        for (int j = n; j < frame - h; ++j) {
            acc[j] = longWindow[j] * longOut[j] + acc[j + h];
        }
        for (int j = frame - h; j < frame; ++j) {
            acc[j] = longWindow[j] * longOut[j];
        }
    }
}

}  // namespace kelvane

// Spectral synthesis: the running output phasor of every bin is turned by the
// bin's latest phase advance (or restarted at its analysed phase, which for
// an onset's bins is turned to put the onset at its place; faster than the
// input, the short spectrum sounds an onset that only the long frame holds
// yet from the long frame's bins), the bins around
// each magnitude peak are locked to it (with more than one channel, to the
// peaks of the summed magnitude, with one rotation shared by all channels,
// and only the bins that sound the peak's partial),
// every bin is scaled by its magnitude, and the short and long frames are
// inverse-transformed and overlap-added into each channel's output
// accumulator. At quality 0 the first hop that sounds an onset gathers its
// bins and adds them once more, late, through the windows of the frames that
// passed its place before.
//
// Modes (the cycle picks one per call):
//   0  first analysed hop of several in one synthesis hop: onset bins only,
//      accumulator shifted by one hop, then added;
//   1  the last of several: every bin, added in place;
//   2  the only analysed hop, or none: every bin, shifted, then added;
//   3  further hops passed over: only the phase restarts take effect. Nothing
//      is emitted, so neither frame is built nor transformed;
//   4  a hop passed over that holds an onset at its place: onset bins only,
//      added in place (ResynthesiseHop turns 3 into 4 then).
#include <algorithm>
#include <cmath>

#include "engine_instance.h"
#include "overlap_add.h"
#include "vector_ops.h"

namespace kelvane {
namespace {

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

// Mode 0: bins whose counter is 0 restart at their analysed phase (what the
// advance holds for them) and are emitted; the others keep their phase and
// stay silent.
template <typename Share>
void EmitOnsets(float* KELVANE_RESTRICT phasorRe, float* KELVANE_RESTRICT phasorIm,
                const float* KELVANE_RESTRICT advanceRe, const float* KELVANE_RESTRICT advanceIm,
                const std::uint8_t* KELVANE_RESTRICT counters, const float* KELVANE_RESTRICT magnitude, float gain,
                Share share, float* KELVANE_RESTRICT outRe, float* KELVANE_RESTRICT outIm, int begin, int end)
{
    for (int b = begin; b < end; ++b) {
        const bool restart = counters[b] == 0;
        const float re = restart ? advanceRe[b] : phasorRe[b];
        const float im = restart ? advanceIm[b] : phasorIm[b];
        phasorRe[b] = re;
        phasorIm[b] = im;
        const float e = restart ? gain * magnitude[b] : 0.0f;
        const float s = share(b);
        outRe[b] = re * e * s;
        outIm[b] = im * e * s;
    }
}

// Phase locking. A bin propagated on its own keeps its measured frequency but
// not its phase relation to the neighbours that sound the same partial, so a
// partial's main lobe drifts apart and cancels. Every bin climbs to its higher
// neighbour until it reaches a magnitude peak, and takes that peak's rotation
// from analysed to synthesis phase. Bin 0 holds DC and Nyquist, not a phasor:
// it stays out (its peak is itself).
//
// The peaks depend on the plain magnitudes only: an analysis step clears the
// end they were found below, and until the next one the synthesis hops reuse
// them (below the same end). Onset hops find none.
inline bool PeaksHold(int peakEnd, int end)
{
    return peakEnd == end;
}

// Linked channels. Each channel locked to its own peaks lets the channels'
// phase relation drift, and the stereo image with it. Instead all channels
// lock to the peaks of their summed magnitude, and share one rotation per
// peak: that of the channel loudest there (measured into rotation[ch], real
// parts then imaginary parts `imaginary` floats on). Once locked together
// the channels' rotations agree, so it is theirs.
void LinkRotations(const BinLoops& loops, float* const* rotation, int imaginary, float* const* magnitude,
                   int channels, float* linkedRe, float* linkedIm, float* loudest, int count)
{
    // Channels 0 and 1 first, then every further one against the loudest.
    loops.takeLouder(rotation[1], rotation[1] + imaginary, magnitude[1], rotation[0], rotation[0] + imaginary,
                     magnitude[0], linkedRe, linkedIm, loudest, count);
    for (int ch = 2; ch < channels; ++ch) {
        loops.takeLouder(rotation[ch], rotation[ch] + imaginary, magnitude[ch], linkedRe, linkedIm, loudest,
                         linkedRe, linkedIm, loudest, count);
    }
}

// Linked channels: a bin climbs to its peak by magnitude alone, but a bin
// beside a partial may sound something else, a noise bed say. Locked, it
// follows the partial's phase instead of its own and adds up unevenly from
// frame to frame, weaker than it came in; where the tone and the bed sit in
// different places of the stereo image, the channels lose some of their
// coherence. Every bin of a partial's main lobe measures the partial's
// frequency, so a bin belongs to its peak's partial when the phase advances
// of the two (summed over the channels) give frequencies within half a bin
// of each other. One bin turns the advance by 2 pi / overlap (the band's
// frame length over its hop), so the angle between the two advances must
// stay under pi / overlap.
//
// A bin of `peak` that does not belong to its peak's partial becomes its own
// peak, and keeps its own rotation; so does every bin around a peak that
// restarts its phase, which has no advance to compare, and a bin whose
// advances sum to nothing. At overlap 2 the advance cannot tell one bin off
// from the next but one, and the band keeps its peaks as they are. `sums` is
// work space of 2 x `end` floats.
void KeepMembers(const BinLoops& loops, std::int16_t* peak, float* const* advance, int imaginary,
                 int channels, const std::uint8_t* counters, int overlap, float* sums, int end)
{
    if (overlap < 4) {
        return;
    }
    // cos^2(pi / overlap), overlap a power of two from 4 on: 1/2 at pi/4,
    // then halving the angle, cos^2(a / 2) = (1 + cos a) / 2. Square roots
    // round alike everywhere (a library's cosine need not), so every build
    // draws the line at the same bits.
    float least = 0.5f;
    for (int o = 8; o <= overlap; o *= 2) {
        least = 0.5f * (1.0f + std::sqrt(least));
    }
    loops.keepMembers(peak, advance, imaginary, channels, counters, least, sums, sums + end, end);
}

// Modes 1 and 2: bins [begin, end) of the output spectrum, magnitude x gain x
// share(b) along the phasor.
template <typename Share>
void EmitBins(const float* KELVANE_RESTRICT phasorRe, const float* KELVANE_RESTRICT phasorIm,
              const float* KELVANE_RESTRICT magnitude, float gain, Share share, float* KELVANE_RESTRICT outRe,
              float* KELVANE_RESTRICT outIm, int begin, int end)
{
    for (int b = begin; b < end; ++b) {
        const float e = gain * magnitude[b];
        const float s = share(b);
        outRe[b] = phasorRe[b] * e * s;
        outIm[b] = phasorIm[b] * e * s;
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
    const bool findPeaks = emitSteady && !PeaksHold(shortPeakEnd, limit);
    const bool linked = channelCount > 1;
    float* linkedRe = linkedRotation;
    float* linkedIm = linkedRotation + half;
    const bool borrow = mode != phaseResetsOnly && PrepareLongOnset();
    const bool ownOnset = shortOnset.live && !shortOnset.muted;
    const bool gather = mode != phaseResetsOnly && shortOnset.catchUp > 0.0f && (ownOnset || borrow);

    if (emitSteady && linked) {
        // Every channel's phasors turn first, their rotations are shared out,
        // then every channel locks to the shared peaks.
        for (int ch = 0; ch < channelCount; ++ch) {
            float* phasorRe = shortSynthesisPhasor[ch];
            const float* advanceRe = shortAdvance[ch];
            const float* analysedRe = shortPrevPhasor[ch];
            float* outRe = shortSynthesis[ch];
            binLoops->turnPhasors(phasorRe, phasorRe + half, advanceRe, advanceRe + half, analysedRe,
                                  analysedRe + half, shortBinCounters, outRe, outRe + half, limit);
            outRe[0] = 0.0f;
            outRe[half] = 0.0f;
        }
        if (findPeaks) {
            vector_ops::SumMagnitudes(shortMagnitude, channelCount, linkedMagnitude, limit);
            binLoops->findPeaks(linkedMagnitude, shortPeak[0], limit);
            // The linked rotations' space is free until they are linked.
            KeepMembers(*binLoops, shortPeak[0], shortAdvance, half, channelCount, shortBinCounters,
                        blockLength / hopLength, linkedRotation, limit);
        }
        LinkRotations(*binLoops, shortSynthesis, half, shortMagnitude, channelCount, linkedRe, linkedIm,
                      linkedMagnitude + half, limit);
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
        const float* analysedRe = shortPrevPhasor[ch];
        const float* analysedIm = analysedRe + half;
        float* outRe = shortSynthesis[ch];
        float* outIm = outRe + half;

        // The long path carries the low band and the shares sum to one: the
        // short band's is 1 - crossoverWeight[2k], exactly 1 from bin M/2 on.
        const int shared = std::min(limit, lowBinCount / 2);
        const float* weight = crossoverWeight;
        auto crossoverShare = [weight](int k) { return 1.0f - weight[2 * k]; };
        auto fullShare = [](int) { return 1.0f; };
        if (emitSteady) {
            if (linked) {
                binLoops->lockPhasors(phasorRe, phasorIm, analysedRe, analysedIm, shortBinCounters, linkedRe,
                                      linkedIm, shortPeak[0], limit);
            } else {
                // The rotations live in the output bins until they are emitted.
                binLoops->turnPhasors(phasorRe, phasorIm, advanceRe, advanceIm, analysedRe, analysedIm,
                                      shortBinCounters, outRe, outIm, limit);
                outRe[0] = 0.0f;
                outIm[0] = 0.0f;
                if (findPeaks) {
                    binLoops->findPeaks(shortMagnitude[ch], shortPeak[ch], limit);
                }
                binLoops->lockPhasors(phasorRe, phasorIm, analysedRe, analysedIm, shortBinCounters, outRe,
                                      outIm, shortPeak[ch], limit);
            }
            EmitBins(phasorRe, phasorIm, magnitude, synthesisGain, crossoverShare, outRe, outIm, 0, shared);
            binLoops->emitBins(phasorRe + shared, phasorIm + shared, magnitude + shared, synthesisGain,
                               nullptr, outRe + shared, outIm + shared, limit - shared);
        } else {
            EmitOnsets(phasorRe, phasorIm, advanceRe, advanceIm, shortBinCounters, magnitude, synthesisGain,
                       crossoverShare, outRe, outIm, 0, shared);
            EmitOnsets(phasorRe, phasorIm, advanceRe, advanceIm, shortBinCounters, magnitude, synthesisGain,
                       fullShare, outRe, outIm, shared, limit);
        }
        // Nyquist (bin 0's imaginary part) is the short band's alone, and
        // above the limit when the pitch rises.
        if (shared > 0) {
            const bool sounds = limit == half && (emitSteady || shortBinCounters[0] == 0);
            outIm[0] = sounds ? phasorIm[0] * (synthesisGain * magnitude[0]) : 0.0f;
        }
        MuteOnset(shortOnset, shortOnsetBins, outRe, outIm, limit);
        if (borrow) {
            BorrowLongOnset(ch, outRe, outIm, shared, limit);
        }

        if (limit < half) {
            // Fade the last bins below the limit with the falling half of the
            // sine window, then clear everything above it.
            const int first = limit - taperBins < 0 ? 0 : limit - taperBins;
            for (int b = first; b < limit; ++b) {
                const float fade = limitFade[b - (limit - taperBins)];
                outRe[b] *= fade;
                outIm[b] *= fade;
            }
            for (int b = limit; b < half; ++b) {
                outRe[b] = 0.0f;
                outIm[b] = 0.0f;
            }
        }
        if (gather) {
            GatherShortOnset(ch, outRe, outIm, ownOnset, borrow, limit);
        }
        shortTransform->Inverse(outRe);
    }
    // Mode 3 reads no peaks and leaves them as they are.
    if (mode != phaseResetsOnly) {
        shortPeakEnd = emitSteady ? limit : 0;
    }
}

void EngineInstance::SynthesiseLongFrame(int mode)
{
    const int n = blockLength;
    const int m = lowBinCount;
    const int half = halfBlock;
    const bool emitSteady = EmitsSteadyBins(mode);
    const bool corrected = formantRatio != 1.0f;
    const bool bassLift = quality == 1;
    const bool gather = mode != phaseResetsOnly && longOnset.catchUp > 0.0f && longOnset.live && !longOnset.muted;

    const int crossover = crossoverStart;
    const bool findPeaks = emitSteady && !PeaksHold(longPeakEnd, m);
    const bool linked = channelCount > 1;
    float* linkedRe = linkedRotation;
    float* linkedIm = linkedRotation + half;

    // Turns the channel's phasors and leaves each bin's rotation from analysed
    // to synthesis phase in its output bins.
    auto turn = [&](int ch) {
        float* phasorRe = longSynthesisPhasor[ch];
        const float* advanceRe = longAdvance[ch];
        const float* analysedRe = longPrevPhasor[ch];
        float* outRe = longSynthesis[ch];
        float* outIm = outRe + n;
        binLoops->turnPhasors(phasorRe, phasorRe + m, advanceRe, advanceRe + m, analysedRe, analysedRe + m,
                              longBinCounters, outRe, outIm, m);
        // In the crossover both bands sound the same partials: a steady
        // long bin there takes the rotation of the short bin at its
        // frequency (synthesised just before), so that the two bands add
        // as they were analysed instead of cancelling.
        const float* shortRe = shortSynthesisPhasor[ch];
        const float* shortIm = shortRe + half;
        const float* shortAnalysedRe = shortPrevPhasor[ch];
        const float* shortAnalysedIm = shortAnalysedRe + half;
        for (int j = crossover; j < m; ++j) {
            const int k = j / 2;
            const float x = shortRe[k] * shortAnalysedRe[k] + shortIm[k] * shortAnalysedIm[k];
            const float y = shortIm[k] * shortAnalysedRe[k] - shortRe[k] * shortAnalysedIm[k];
            const float norm = x * x + y * y;
            if (longBinCounters[j] != 0 && norm > 0.25f) {
                const float g = 1.0f / std::sqrt(norm);
                outRe[j] = x * g;
                outIm[j] = y * g;
            }
        }
        outRe[0] = 0.0f;
        outIm[0] = 0.0f;
    };

    if (emitSteady && linked) {
        for (int ch = 0; ch < channelCount; ++ch) {
            turn(ch);
        }
        if (findPeaks) {
            vector_ops::SumMagnitudes(longMagnitude, channelCount, linkedMagnitude, m);
            binLoops->findPeaks(linkedMagnitude, longPeak[0], m);
            KeepMembers(*binLoops, longPeak[0], longAdvance, m, channelCount, longBinCounters,
                        frameLength / hopLength, linkedRotation, m);
        }
        LinkRotations(*binLoops, longSynthesis, n, longMagnitude, channelCount, linkedRe, linkedIm,
                      linkedMagnitude + half, m);
    }

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
        const float* analysedRe = longPrevPhasor[ch];
        const float* analysedIm = analysedRe + m;
        float* outRe = longSynthesis[ch];
        float* outIm = outRe + n;

        // The long band's share is crossoverWeight[j]; at quality 1 the lowest
        // bins are lifted by 1.35 down to 1.05.
        const float* weight = crossoverWeight;
        const int lifted = bassLift ? std::min(bassLiftBins, m) : 0;
        auto liftedShare = [weight](int j) {
            return weight[j] * (static_cast<float>(bassLiftBins - j) * 0.05f + 1.0f);
        };
        auto plainShare = [weight](int j) { return weight[j]; };
        if (emitSteady) {
            if (linked) {
                binLoops->lockPhasors(phasorRe, phasorIm, analysedRe, analysedIm, longBinCounters, linkedRe,
                                      linkedIm, longPeak[0], m);
            } else {
                turn(ch);
                if (findPeaks) {
                    binLoops->findPeaks(longMagnitude[ch], longPeak[ch], m);
                }
                binLoops->lockPhasors(phasorRe, phasorIm, analysedRe, analysedIm, longBinCounters, outRe,
                                      outIm, longPeak[ch], m);
            }
            EmitBins(phasorRe, phasorIm, magnitude, synthesisGain, liftedShare, outRe, outIm, 0, lifted);
            binLoops->emitBins(phasorRe + lifted, phasorIm + lifted, magnitude + lifted, synthesisGain,
                               weight + lifted, outRe + lifted, outIm + lifted, m - lifted);
        } else {
            EmitOnsets(phasorRe, phasorIm, advanceRe, advanceIm, longBinCounters, magnitude, synthesisGain,
                       liftedShare, outRe, outIm, 0, lifted);
            EmitOnsets(phasorRe, phasorIm, advanceRe, advanceIm, longBinCounters, magnitude, synthesisGain,
                       plainShare, outRe, outIm, lifted, m);
        }
        // The long frame's Nyquist lies in the short band.
        outIm[0] = 0.0f;
        MuteOnset(longOnset, longOnsetBins, outRe, outIm, m);
        if (gather) {
            GatherLongOnset(ch, outRe, outIm);
        }
        // Nothing above the low band is read: what the last inverse left
        // there counts as zero.
        longTransform->InverseLowBins(outRe, m);
    }
    // Mode 3 reads no peaks and leaves them as they are.
    if (mode != phaseResetsOnly) {
        longPeakEnd = emitSteady ? m : 0;
    }
}

void EngineInstance::ResynthesiseHop(int mode)
{
    const bool firstOfHop = mode == onsetsShifted || mode == allBinsShifted;
    if (firstOfHop) {
        DiscardGatheredOnsets();
    }
    if (shortOnset.live || longOnset.live) {
        // A frame passed over still sounds an onset that it holds in place.
        if (PlaceOnsets() && mode == phaseResetsOnly) {
            mode = onsetsInPlace;
        }
    }
    if (mode == phaseResetsOnly) {
        // Nothing is emitted: the magnitudes are not read, so the formant
        // step is skipped too.
        SynthesiseShortFrame(mode);
        SynthesiseLongFrame(mode);
        return;
    }
    // Hops without a new analysis reuse the correction made for the same
    // magnitudes and ratio.
    if (formantRatio != 1.0f && formantRatio != correctedFormantRatio) {
        CorrectFormants();
    }
    correctedFormantRatio = formantRatio;
    SynthesiseShortFrame(mode);
    SynthesiseLongFrame(mode);

    // Both frames start at acc[0], as the analysis frames start at the oldest
    // sample: the short frame covers the older half of the long frame's span.
    const bool inPlace = mode == allBinsInPlace || mode == onsetsInPlace;
    for (int ch = 0; ch < channelCount; ++ch) {
        const overlap::SynthesisFrames frames{longSynthesisWindow, longSynthesis[ch], shortSynthesisWindow,
                                              shortSynthesis[ch], blockLength, frameLength};
        overlap::AddFrames(shortTransform->Level(), outputAccumulator[ch], frames, inPlace ? 0 : hopLength);
    }
    if (mode == allBinsInPlace || mode == allBinsShifted) {
        CatchUpOnsets();
    }
}

}  // namespace kelvane

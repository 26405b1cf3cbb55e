// Spectral analysis of one hop: gather the newest hop into the analysis ring,
// window the short and long frames, split both spectra into magnitudes and
// unit phasors, judge which bins are steady, and derive each bin's phase
// advance for the synthesis.
#include <algorithm>

#include "engine_instance.h"
#include "vector_ops.h"

namespace kelvane {
namespace {

// The long frame before counts as leaving when its oldest hop held more than
// this share of its power (spread evenly, the oldest hop holds a tenth at
// overlap 2 and less at 4); below the least power, nothing is judged.
constexpr double mostlyLeaving = 0.5;
constexpr double leastEdgePower = 1.0e-20;

// out[i] = ring[(start + i) mod ringLength] x window[i], as two contiguous
// runs: up to the end of the ring, then on from its start.
void WindowFromRing(const BinLoops& loops, const float* ring, int ringLength, int start, const float* window,
                    float* out, int count)
{
    const int firstRun = std::min(count, ringLength - start);
    loops.windowRun(ring + start, window, out, firstRun);
    loops.windowRun(ring, window + firstRun, out + firstRun, count - firstRun);
}

// Copies `count` elements between two rings of power-of-two lengths, each
// indexed modulo its own length, in contiguous runs.
template <typename T>
void CopyBetweenRings(const T* from, int fromLength, int fromIndex, T* to, int toLength, int toIndex,
                      int count)
{
    while (count > 0) {
        const int run = std::min({count, fromLength - fromIndex, toLength - toIndex});
        std::copy_n(from + fromIndex, run, to + toIndex);
        fromIndex = (fromIndex + run) & (fromLength - 1);
        toIndex = (toIndex + run) & (toLength - 1);
        count -= run;
    }
}

}  // namespace

void EngineInstance::GatherAnalysisFrames()
{
    const int h = hopLength;
    if (inputPending < h) {
        return;
    }
    const int r = inputReadIndex & ringMask;
    const int w = analysisWriteIndex & frameMask;
    activeSpeedRatio = inputControlRing[r].speedRatio;
    for (int ch = 0; ch < channelCount; ++ch) {
        CopyBetweenRings(inputRing[ch], ringLength, r, analysisRing[ch], frameLength, w, h);
    }
    CopyBetweenRings(inputControlRing, ringLength, r, analysisControlRing, frameLength, w, h);
    // The short frame's records, from the oldest slot of the ring on; the
    // cycle reads those of the first two hops only.
    const int oldest = (w + h) & frameMask;
    const int records = std::min(blockLength, 2 * h);
    CopyBetweenRings(analysisControlRing, frameLength, oldest, blockControl, blockLength, 0, records);
    BlockControlChanged();
}

void EngineInstance::WindowAnalysisFrames()
{
    // Both frames start at the oldest sample of the ring, the slot after the
    // newest hop gathered: the long frame spans the whole ring, the short
    // frame its older half. The synthesis overlap-adds both from that same
    // point.
    const int oldest = (analysisWriteIndex + hopLength) & frameMask;
    for (int ch = 0; ch < channelCount; ++ch) {
        WindowFromRing(*binLoops, analysisRing[ch], frameLength, oldest, shortAnalysisWindow, shortFrame[ch],
                       blockLength);
        WindowFromRing(*binLoops, analysisRing[ch], frameLength, oldest, longAnalysisWindow, longFrame[ch],
                       frameLength);
    }
}

void EngineInstance::AnalyseShortFrame()
{
    const int half = halfBlock;
    for (int ch = 0; ch < channelCount; ++ch) {
        shortTransform->Forward(shortFrame[ch]);
    }
    std::fill(shortSpectrumWork, shortSpectrumWork + half, 0.0f);
    for (int ch = 0; ch < channelCount; ++ch) {
        // The frame becomes its own unit phasors.
        float* spectrum = shortFrame[ch];
        binLoops->splitPolar(spectrum, spectrum + half, shortSpectrumWork, shortMagnitude[ch], spectrum,
                             spectrum + half, tinyValue, half);
    }
    // Power is summed over the channels, so every channel of a bin resets or
    // propagates its phase together.
    binLoops->updateStability(shortSpectrumWork, shortPower, binThresholdCurve, shortBinCounters,
                              activeSpeedRatio == 0.0f, tinyValue, half);
    // New magnitudes: the synthesis finds their peaks and corrects their
    // formants afresh.
    shortPeakEnd = 0;
    correctedFormantRatio = 0.0f;
}

void EngineInstance::AnalyseLongFrame()
{
    const int n = blockLength;
    const int m = lowBinCount;
    // A bin's rise is judged against its power in the frame before; when
    // that frame held nearly all its power in its oldest hop (a click about
    // to leave), what comes in at the newest edge would only replace it and
    // never rise. So the power about to leave is taken out of the floor.
    // Only a share above one half matters: the rest of the frame is summed
    // hop by hop until it outweighs the oldest hop.
    const int h = hopLength;
    double edge = 0.0;
    for (int ch = 0; ch < channelCount; ++ch) {
        edge += binLoops->sumOfSquares(longFrame[ch], h);
    }
    double rest = 0.0;
    for (int start = h; start < frameLength && !(rest > edge); start += h) {
        for (int ch = 0; ch < channelCount; ++ch) {
            rest += binLoops->sumOfSquares(longFrame[ch] + start, h);
        }
    }
    const double leaving = longEdgeShare;
    longEdgeShare = edge + rest > leastEdgePower ? edge / (edge + rest) : 0.0;
    longFloorKept = leaving > mostlyLeaving ? 1.0 - leaving : 1.0;
    if (longFloorKept < 1.0) {
        const auto kept = static_cast<float>(longFloorKept);
        for (int j = 0; j < m; ++j) {
            longPower[j] *= kept;
        }
    }
    // Only the onsets read the spectrum above the low band: unless they
    // watch it at every analysis, it is finished when they ask
    // (CompleteLongSpectrum).
    for (int ch = 0; ch < channelCount; ++ch) {
        if (longSpectrumRead) {
            longTransform->Forward(longFrame[ch]);
        } else {
            longTransform->ForwardLowBins(longFrame[ch], m);
        }
    }
    longSpectrumWhole = longSpectrumRead;
    std::fill(longSpectrumWork, longSpectrumWork + m, 0.0f);
    for (int ch = 0; ch < channelCount; ++ch) {
        // Only the low band; the raw spectrum stays in the frame.
        const float* spectrum = longFrame[ch];
        binLoops->splitPolar(spectrum, spectrum + n, longSpectrumWork, longMagnitude[ch], longPhasor[ch],
                             longPhasor[ch] + m, tinyValue, m);
    }
    // Long bin j has the frequency of short bin j/2 and takes its threshold.
    binLoops->updateStabilityPairs(longSpectrumWork, longPower, binThresholdCurve, longBinCounters,
                                   activeSpeedRatio == 0.0f, tinyValue, m);
    longPeakEnd = 0;
    correctedFormantRatio = 0.0f;
}

void EngineInstance::CompleteLongSpectrum()
{
    if (!longSpectrumWhole) {
        for (int ch = 0; ch < channelCount; ++ch) {
            longTransform->CompleteForward(longFrame[ch], lowBinCount);
        }
        longSpectrumWhole = true;
    }
}

void EngineInstance::ComputePhaseAdvance(float* const* current, float* const* previous, float* const* advance,
                                         std::uint8_t* counters, int binCount)
{
    const int b = binCount;
    for (int ch = 0; ch < channelCount; ++ch) {
        binLoops->phaseAdvance(current[ch], current[ch] + b, previous[ch], previous[ch] + b, advance[ch],
                               advance[ch] + b, counters, b);
    }
}

}  // namespace kelvane

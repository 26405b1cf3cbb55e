// Formant correction. Resampling moves the spectral envelope by the pitch
// ratio; before resynthesis every channel's magnitudes are whitened by a
// smooth envelope estimated from the short spectrum (one for all channels)
// and then shaped again by the same envelope read at bin positions scaled by
// `formantRatio`. With the ratio equal to the pitch ratio the formants stay
// where the input had them.
//
// The envelope lives in the log domain (log2 of the magnitude). Each bin first
// takes the loudest of its neighbourhood, so that the envelope rides on the
// harmonics instead of sagging into the valleys between them (a low voice's
// harmonics lie only two or three short bins apart), and is then smoothed
// lightly, so that a formant keeps its peak and its width. Whitening and
// shaping become one gain per bin: 2 to the power of the envelope read at the
// scaled position minus the envelope at the bin.
#include <algorithm>

#include "engine_instance.h"
#include "formant_loops.h"

namespace kelvane {
namespace {

// Each bin's envelope starts as the loudest bin within `reach` bins of it,
// the reach following the spacing of the spectrum's peaks (a voice's
// harmonics): 0.4 of the spacing, rounded, 1 to maxReach bins. The spacing is
// measured over the bins below spacingBandHz.
constexpr int maxReach = 4;
constexpr float reachPerSpacing = 0.4f;
constexpr float spacingBandHz = 2500.0f;
// Then two passes of a backward and a forward one-pole sweep smooth it, with
// a coefficient for each reach (a wider reach leaves wider steps to smooth).
constexpr float envelopeSmoothing[maxReach + 1] = {0.0f, 0.15f, 0.4f, 0.4f, 0.4f};
constexpr int smoothingPasses = 2;
// How many bins each envelope bin reaches for its loudest neighbour: from the
// mean distance between the local maxima of the log magnitudes below bin
// `band`.
int PeakReach(const float* logs, int band)
{
    int peaks = 0;
    for (int k = 1; k < band; ++k) {
        peaks += (logs[k] > logs[k - 1] && logs[k] >= logs[k + 1]) ? 1 : 0;
    }
    const float spacing = static_cast<float>(band) / static_cast<float>(std::max(peaks, 1));
    return std::clamp(static_cast<int>(reachPerSpacing * spacing + 0.5f), 1, maxReach);
}

// Builds the log envelope of `magnitude` into `envelope` with the loops of
// `loops`; `logs` is work space.
void EstimateEnvelope(const BinLoops& loops, const float* magnitude, float* logs, float* envelope, int count,
                      int spacingBand)
{
    loops.logMagnitudes(magnitude, logs, count);
    // The loudest within `reach` bins: as many passes of the loudest of three.
    const int reach = PeakReach(logs, spacingBand);
    loops.holdPeaks(logs, envelope, count);
    for (int pass = 1; pass < reach; ++pass) {
        std::copy(envelope, envelope + count, logs);
        loops.holdPeaks(logs, envelope, count);
    }
    loops.smoothEnvelope(envelope, count, envelopeSmoothing[reach], smoothingPasses);
}

// The magnitude the channels' envelope is built from: per bin, the mean of
// their magnitudes (the peaks of linked channels are found in their sum too).
// Channels that carry the same sound give its own magnitude back.
void MeanMagnitude(float* const* magnitude, int channels, float* KELVANE_RESTRICT mean, int count)
{
    vector_ops::SumMagnitudes(magnitude, channels, mean, count);
    const float share = 1.0f / static_cast<float>(channels);
    for (int k = 0; k < count; ++k) {
        mean[k] = mean[k] * share;
    }
}

}  // namespace

void EngineInstance::CorrectFormants()
{
    const int half = halfBlock;
    const int m = lowBinCount;
    const float ratio = formantRatio;
    const int spacingBand =
        std::min(half - 1, static_cast<int>(spacingBandHz * static_cast<float>(blockLength) / sampleRate));

    // All channels share one envelope, so every bin keeps its balance
    // between them and the stereo image stays where it was. It is built in
    // the last channel's corrected-magnitude array (over the channels' mean
    // magnitude, which the first step reads into the work space), and that
    // channel overwrites it last, bin by bin, with its result.
    const int last = channelCount - 1;
    float* envelope = shortCorrectedMagnitude[last];
    const float* source = shortMagnitude[0];
    if (channelCount > 1) {
        MeanMagnitude(shortMagnitude, channelCount, envelope, half);
        source = envelope;
    }
    EstimateEnvelope(*binLoops, source, envelopeWork, envelope, half, spacingBand);

    // The long band first, while the envelope is whole. It reads the envelope
    // up to its top: a long bin whose warped frequency lies above the low
    // band but inside the envelope keeps its envelope, so large ratios leave
    // no hole in the bass. Long bin j lies at the frequency of short bin j/2.
    //
    // The long frame also spans the newer half that the short frame has not
    // seen. Sound only there (an onset, a sweep) has no envelope of its own:
    // whitened by the envelope's floor it would be lifted by up to 80 dB. It
    // keeps its level, and is lifted no further than the short band at the
    // same frequency supports; attenuation is not bounded.
    for (int ch = 0; ch < channelCount; ++ch) {
        binLoops->shapeLongBand(longMagnitude[ch], shortMagnitude[ch], envelope, longCorrectedMagnitude[ch],
                                ratio, half, m);
    }

    // Whiten, then shape with the envelope read at k x ratio, in place over
    // a copy of the envelope (the work space is free again).
    for (int ch = 0; ch < channelCount; ++ch) {
        float* shortOut = shortCorrectedMagnitude[ch];
        if (ch != last) {
            std::copy(envelope, envelope + half, shortOut);
        }
        binLoops->shapeShortBand(shortMagnitude[ch], shortOut, envelopeWork, ratio, half);
    }
}

}  // namespace kelvane

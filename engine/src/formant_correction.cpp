// Formant correction. Resampling moves the spectral envelope by the pitch
// ratio; before resynthesis every channel's magnitudes are whitened by a
// smooth envelope estimated from the short spectrum and then shaped again by
// the same envelope read at bin positions scaled by `formantRatio`. With the
// ratio equal to the pitch ratio the formants stay where the input had them.
//
// The envelope lives in the log domain (log2 of the magnitude). Each bin first
// takes the loudest of its neighbourhood, so that the envelope rides on the
// harmonics instead of sagging into the valleys between them (a low voice's
// harmonics lie only two or three short bins apart), and is then smoothed
// lightly, so that a formant keeps its peak and its width. Whitening and
// shaping become one gain per bin: 2 to the power of the envelope read at the
// scaled position minus the envelope at the bin.
//
// The long frame is centred half a block later than the short one, and a
// voice's formants move within that time: the long band is reshaped by an
// envelope of its own, estimated the same way from the long frame's levels
// at the short bins. Without them (formants switched on since the analysis)
// it takes the short frame's.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine_instance.h"
#include "vector_ops.h"

namespace kelvane {
namespace {

// The envelope never falls below this magnitude, so whitening never divides
// by less; past its top it stands in for the envelope.
constexpr float envelopeFloor = 0.01f;
// log2(envelopeFloor).
constexpr float logEnvelopeFloor = -6.64385619f;
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
// The long frame, twice as long, holds about twice the short magnitude of a
// steady sound at the same frequency: a long bin may be lifted as far as this
// many times the short bin beside it, lifted alike.
constexpr float longLiftLimit = 4.0f;
// The long frame's power summed over a short bin's span, times this, comes
// close to the short frame's power of a steady sound.
constexpr float longLevelScale = 0.25f;
// The long band reads its own envelope no higher than short bin M/2 x ratio,
// and the setters allow no ratio above highestFormantRatio: the envelope is
// built that far and envelopeMargin bins on, where the smoothing that starts
// at its top has settled.
constexpr float highestFormantRatio = 4.0f;
constexpr int envelopeMargin = 16;

int LongEnvelopeBins(int lowBins, int half)
{
    const int read = static_cast<int>(static_cast<float>(lowBins) * 0.5f * highestFormantRatio);
    return std::min(half, read + envelopeMargin);
}

// A float's bits (as std::bit_cast, which not every standard library the
// engine is built with has yet); FloatFromBits turns them back.
inline std::uint32_t BitsOf(float x)
{
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

// log2(x) for a positive, finite x, within 4e-5: the exponent plus a
// polynomial in the mantissa.
inline float Log2(float x)
{
    const auto bits = BitsOf(x);
    const auto exponent = static_cast<float>(static_cast<int>(bits >> 23) - 127);
    const float t = FloatFromBits((bits & 0x007FFFFFu) | 0x3F800000u) - 1.0f;
    return exponent + (3.19308577e-05f +
                       t * (1.44126707f + t * (-0.705702621f +
                                               t * (0.408718944f + t * (-0.187720493f + t * 0.0434283633f)))));
}

// 2^x within a relative 1e-5, for x in [-126, 126]: a polynomial for the
// fraction, the whole part put into the exponent.
inline float Exp2(float x)
{
    const int whole = static_cast<int>(x + 127.0f) - 127;  // floor: x + 127 is positive
    const float f = x - static_cast<float>(whole);
    const float p = 1.00000729f + f * (0.69293126f + f * (0.24171032f + f * (0.05166685f + f * 0.01367653f)));
    return FloatFromBits(static_cast<std::uint32_t>(whole + 127) << 23) * p;
}

// An envelope that follows the spectrum this closely can ask a bin far down
// a pure tone's skirt for the tone's own level; no bin is lifted by more than
// 2^maxLift (39 dB), more than a voice's formants ask for.
constexpr float maxLift = 6.5f;

// A change of the log envelope as a bin's gain takes it: at most maxLift, and
// no less than a gain Exp2 can still make.
inline float LimitLift(float logChange)
{
    const float lifted = logChange < maxLift ? logChange : maxLift;
    return lifted > -126.0f ? lifted : -126.0f;
}

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

// Each bin takes the loudest of itself and its two neighbours.
void HoldPeaks(const float* KELVANE_RESTRICT in, float* KELVANE_RESTRICT out, int count)
{
    out[0] = std::max(in[0], in[1]);
    for (int k = 1; k < count - 1; ++k) {
        // Plain selections, which the compiler turns into vector maxima.
        const float left = in[k - 1];
        const float middle = in[k];
        const float right = in[k + 1];
        const float louder = left > middle ? left : middle;
        out[k] = louder > right ? louder : right;
    }
    out[count - 1] = std::max(in[count - 2], in[count - 1]);
}

// Builds the log envelope of `magnitude` into `envelope`, which may be
// `magnitude` itself; `logs` is work space. A `reach` of 0 follows the
// spacing of the spectrum's own peaks. Returns the reach taken.
int EstimateEnvelope(const float* magnitude, float* logs, float* envelope, int count, int spacingBand,
                     int reach)
{
    for (int k = 0; k < count; ++k) {
        logs[k] = Log2(magnitude[k]);
    }
    // The loudest within `reach` bins: as many passes of the loudest of three.
    if (reach == 0) {
        reach = PeakReach(logs, spacingBand);
    }
    HoldPeaks(logs, envelope, count);
    for (int pass = 1; pass < reach; ++pass) {
        std::copy(envelope, envelope + count, logs);
        HoldPeaks(logs, envelope, count);
    }
    // Each sweep starts at its first bin's own value, so the ends are not
    // pulled towards anything.
    const float c = envelopeSmoothing[reach];
    for (int pass = 0; pass < smoothingPasses; ++pass) {
        float previous = envelope[count - 1];
        for (int k = count - 1; k >= 0; --k) {
            previous = envelope[k] + c * (previous - envelope[k]);
            envelope[k] = previous;
        }
        previous = envelope[0];
        for (int k = 0; k < count; ++k) {
            previous = envelope[k] + c * (previous - envelope[k]);
            envelope[k] = previous;
        }
    }
    for (int k = 0; k < count; ++k) {
        envelope[k] = std::max(envelope[k], logEnvelopeFloor);
    }
    return reach;
}

// The log envelope at fractional short bin x, interpolated; past its top the
// floor stands in for it.
inline float EnvelopeAt(const float* envelope, float x, int count)
{
    const int i = static_cast<int>(x);
    if (i < count - 1) {
        return envelope[i] + (envelope[i + 1] - envelope[i]) * (x - static_cast<float>(i));
    }
    return logEnvelopeFloor;
}

}  // namespace

void EngineInstance::HoldLongLevels()
{
    if (formantRatio == 1.0f) {
        longEnvelopeState = longEnvelopeAbsent;
        return;
    }
    // Short bin k lies at long bin 2k, between long bins 2k - 1 and 2k + 1:
    // its level is the long frame's power over that span, the outer bins
    // weighted by half, scaled to about the short frame's level. DC holds
    // its own.
    const int n = blockLength;
    const int count = LongEnvelopeBins(lowBinCount, halfBlock);
    for (int ch = 0; ch < channelCount; ++ch) {
        const float* re = longFrame[ch];
        const float* im = re + n;
        float* levels = longEnvelope[ch];
        levels[0] = std::sqrt(re[0] * re[0] + tinyValue);
        float previous = re[1] * re[1] + im[1] * im[1];
        for (int k = 1; k < count; ++k) {
            const float centre = re[2 * k] * re[2 * k] + im[2 * k] * im[2 * k];
            const float next = re[2 * k + 1] * re[2 * k + 1] + im[2 * k + 1] * im[2 * k + 1];
            levels[k] = std::sqrt(longLevelScale * (0.5f * (previous + next) + centre) + tinyValue);
            previous = next;
        }
    }
    longEnvelopeState = longLevelsHeld;
}

void EngineInstance::CorrectFormants()
{
    const int half = halfBlock;
    const int m = lowBinCount;
    const float ratio = formantRatio;
    const int spacingBand =
        std::min(half - 1, static_cast<int>(spacingBandHz * static_cast<float>(blockLength) / sampleRate));
    const bool ownLongEnvelope = longEnvelopeState != longEnvelopeAbsent;
    const int longCount = ownLongEnvelope ? LongEnvelopeBins(m, half) : half;

    for (int ch = 0; ch < channelCount; ++ch) {
        const float* shortIn = shortMagnitude[ch];
        const float* longIn = longMagnitude[ch];
        float* shortOut = shortCorrectedMagnitude[ch];
        float* longOut = longCorrectedMagnitude[ch];
        // The envelope is built in the corrected-magnitude array, which is
        // then overwritten bin by bin with the result.
        float* envelope = shortOut;
        const int reach = EstimateEnvelope(shortIn, envelopeWork, shortOut, half, spacingBand, 0);
        if (longEnvelopeState == longLevelsHeld) {
            // With the short envelope's reach: the long levels, summed over
            // a short bin's span, show fewer and broader peaks.
            EstimateEnvelope(longEnvelope[ch], envelopeWork, longEnvelope[ch], longCount, spacingBand, reach);
        }
        const float* longEnvelopeRead = ownLongEnvelope ? longEnvelope[ch] : envelope;

        // The long band first, while the envelope is whole. It reads the
        // envelope up to its top: a long bin whose warped frequency lies above
        // the low band but inside the envelope keeps its envelope, so large
        // ratios leave no hole in the bass. Long bin j lies at the frequency
        // of short bin j/2.
        //
        // The long frame also spans the newer half that the short frame has
        // not seen. Sound only there (an onset, a sweep) has no envelope of its
        // own: whitened by the envelope's floor it would be lifted by up to
        // 80 dB. It keeps its level, and is lifted no further than the short
        // band at the same frequency supports; attenuation is not bounded.
        for (int j = 0; j < m; ++j) {
            const float warped =
                EnvelopeAt(longEnvelopeRead, static_cast<float>(j) * ratio * 0.5f, longCount);
            const float gain = Exp2(LimitLift(warped - longEnvelopeRead[j / 2]));
            const float corrected = longIn[j] * gain;
            const float supported = longLiftLimit * shortIn[j / 2] * gain;
            longOut[j] = std::min(corrected, std::max(longIn[j], supported));
        }

        // Whiten, then shape with the envelope read at k x ratio: the
        // readings first (the work space is free again), then the changes,
        // then the gains in place. Apart, the last two loops run four bins
        // at a time.
        float* change = envelopeWork;
        for (int k = 0; k < half; ++k) {
            change[k] = EnvelopeAt(envelope, static_cast<float>(k) * ratio, half);
        }
        for (int k = 0; k < half; ++k) {
            change[k] = LimitLift(change[k] - envelope[k]);
        }
        for (int k = 0; k < half; ++k) {
            envelope[k] = shortIn[k] * Exp2(change[k]);
        }
    }
    if (longEnvelopeState == longLevelsHeld) {
        longEnvelopeState = longEnvelopeBuilt;
    }
}

}  // namespace kelvane

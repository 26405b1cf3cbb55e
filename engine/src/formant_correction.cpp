// Formant correction. Resampling moves the spectral envelope by the pitch
// ratio; before resynthesis every channel's magnitudes are whitened by a
// smooth envelope estimated from the short spectrum and then shaped again by
// the same envelope read at bin positions scaled by `formantRatio`. With the
// ratio equal to the pitch ratio the formants stay where the input had them.
#include <algorithm>

#include "engine_instance.h"

namespace kelvane {
namespace {

// The envelope never falls below this, so whitening never divides by less.
constexpr float envelopeFloor = 0.01f;
constexpr float tiny = 1.0e-30f;
// The long frame, twice as long, holds about twice the short magnitude of a
// steady sound at the same frequency: a long bin may be lifted as far as this
// many times the short bin beside it, lifted alike.
constexpr float longLiftLimit = 4.0f;

// Two passes of a backward and a forward one-pole sweep with per-bin
// coefficients c (strongest smoothing at the low bins):
//     v = e + c (previous - e) + tiny,  written as  ((1 - c) e + tiny) + c previous
// so that only a multiply and an add wait for the bin before. Each sweep
// starts from 0 at its first bin, so the outermost bins are pulled down before
// the floor. The sweeps are strict recurrences; `lanes` channels run side by
// side so that their chains overlap.
template <int lanes>
void SmoothEnvelopes(float* const* envelopes, const float* coefficients, int count)
{
    float* e[lanes];
    for (int lane = 0; lane < lanes; ++lane) {
        e[lane] = envelopes[lane];
    }
    for (int pass = 0; pass < 2; ++pass) {
        float previous[lanes] = {};
        for (int k = count - 1; k >= 0; --k) {
            const float c = coefficients[k];
            const float keep = 1.0f - c;
            for (int lane = 0; lane < lanes; ++lane) {
                const float value = (keep * e[lane][k] + tiny) + c * previous[lane];
                e[lane][k] = value;
                previous[lane] = value;
            }
        }
        for (int lane = 0; lane < lanes; ++lane) {
            previous[lane] = 0.0f;
        }
        for (int k = 0; k < count; ++k) {
            const float c = coefficients[k];
            const float keep = 1.0f - c;
            for (int lane = 0; lane < lanes; ++lane) {
                const float value = (keep * e[lane][k] + tiny) + c * previous[lane];
                e[lane][k] = std::max(value, envelopeFloor);
                // The recurrence runs on the value before the floor.
                previous[lane] = value;
            }
        }
    }
}

// The envelope at fractional short bin x, interpolated; past its top the floor
// stands in for it.
inline float EnvelopeAt(const float* envelope, float x, int count)
{
    const int i = static_cast<int>(x);
    if (i < count - 1) {
        return envelope[i] + (envelope[i + 1] - envelope[i]) * (x - static_cast<float>(i));
    }
    return envelopeFloor;
}

}  // namespace

void EngineInstance::CorrectFormants()
{
    const int half = halfBlock;
    const int m = lowBinCount;
    const float ratio = formantRatio;

    // Each channel's envelope is built in its corrected-magnitude array, which
    // is then overwritten bin by bin with the result.
    for (int ch = 0; ch < channelCount; ++ch) {
        std::copy(shortMagnitude[ch], shortMagnitude[ch] + half, shortCorrectedMagnitude[ch]);
    }
    int ch = 0;
    for (; ch + 2 <= channelCount; ch += 2) {
        SmoothEnvelopes<2>(shortCorrectedMagnitude + ch, envelopeCoefficients, half);
    }
    if (ch < channelCount) {
        SmoothEnvelopes<1>(shortCorrectedMagnitude + ch, envelopeCoefficients, half);
    }

    for (ch = 0; ch < channelCount; ++ch) {
        const float* shortIn = shortMagnitude[ch];
        const float* longIn = longMagnitude[ch];
        float* shortOut = shortCorrectedMagnitude[ch];
        float* longOut = longCorrectedMagnitude[ch];
        const float* envelope = shortOut;

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
            const float shaped = EnvelopeAt(envelope, static_cast<float>(j) * ratio * 0.5f, half);
            const float corrected = longIn[j] / envelope[j / 2] * shaped;
            const float supported = longLiftLimit * shortIn[j / 2] / envelope[j / 2] * shaped;
            longOut[j] = std::min(corrected, std::max(longIn[j], supported));
        }

        // Whiten, then shape with the envelope read at k x ratio, in place:
        // bin k reads the envelope at or above k when the ratio is 1 or more,
        // so it runs upwards, and at or below k otherwise, so it runs down.
        auto correct = [&](int k) {
            const float shaped = EnvelopeAt(envelope, static_cast<float>(k) * ratio, half);
            shortOut[k] = shortIn[k] / envelope[k] * shaped;
        };
        if (ratio >= 1.0f) {
            for (int k = 0; k < half; ++k) {
                correct(k);
            }
        } else {
            for (int k = half - 1; k >= 0; --k) {
                correct(k);
            }
        }
    }
}

}  // namespace kelvane

// Onsets. A bin restarted at its analysed phase puts the onset it holds where
// that analysis frame has it, relative to the frame; when the speed is not 1
// every further frame that holds the onset would put it somewhere else, and
// a click would come out smeared, or twice. So an onset is placed instead:
// when the power of the bins that rise carries a clear share of the frame,
// the onset's input position is read from the phase slope across those bins,
// its place in the output follows from the speed, and while the analysis
// frames hold it, its bins take the analysed phases turned so that the onset
// lands at that place in every synthesised frame whose span holds the place,
// and are silent in the others. Once the analysis has passed the onset, its
// bins run on from there like any other.
//
// Faster than the input, the short frame (the older half of the long one)
// takes an onset in only when most synthesised frames that hold its place
// are gone, and its high band would come out weak, or not at all. The long
// frame has it a step sooner: until the short frame holds it, the short
// spectrum sounds it from the long frame's bins at the same frequencies, by
// as much as the short frame's own view will leave short of the windows'
// full overlap, and never more than it is.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "engine_instance.h"
#include "vector_ops.h"

namespace kelvane {
namespace {

// Bin k's turn for a shift in time: e^(i angle k) for k from 1 to bins - 1,
// by repeated rotation in double precision.
void FillPhaseRamp(double angle, float* turnRe, float* turnIm, int bins)
{
    const double stepRe = std::cos(angle);
    const double stepIm = std::sin(angle);
    double wr = 1.0;
    double wi = 0.0;
    for (int k = 1; k < bins; ++k) {
        const double nr = wr * stepRe - wi * stepIm;
        wi = wr * stepIm + wi * stepRe;
        wr = nr;
        turnRe[k] = static_cast<float>(wr);
        turnIm[k] = static_cast<float>(wi);
    }
}

// A frame holds an onset when its rising bins carry at least this share of
// the whole frame's power one hop before.
constexpr double onsetRise = 0.5;
// Below this power there is nothing to place (digital silence, denormals).
constexpr double leastRise = 1.0e-20;

struct Band {
    OnsetTrack& track;
    std::uint8_t* onsetBins;
    std::uint8_t* counters;
    const float* ratio;  // each bin's power over its power one hop before
    const float* power;
    float* const* magnitude;
    float* const* phasor;  // analysed unit phasors, imaginary parts `bins` on
    float* const* advance;
    const float* centreTurn;
    int bins;
    int length;  // the band's frame length
};

inline bool Rises(const Band& band, int k)
{
    return band.counters[k] == 0 && band.ratio[k] > 1.0f;
}

// Where in the frame the rising bins' energy sits: their phase falls by
// 2 pi d / length from one bin to the next for content d frames after the
// frame's start.
double OnsetOffset(const Band& band, int channels, int hop)
{
    double re = 0.0;
    double im = 0.0;
    for (int ch = 0; ch < channels; ++ch) {
        const float* m = band.magnitude[ch];
        const float* ur = band.phasor[ch];
        const float* ui = ur + band.bins;
        for (int k = 1; k + 1 < band.bins; ++k) {
            if (Rises(band, k) && Rises(band, k + 1)) {
                const double weight = static_cast<double>(m[k]) * m[k + 1];
                re += weight * (static_cast<double>(ur[k + 1]) * ur[k] + static_cast<double>(ui[k + 1]) * ui[k]);
                im += weight * (static_cast<double>(ui[k + 1]) * ur[k] - static_cast<double>(ur[k + 1]) * ui[k]);
            }
        }
    }
    if (re == 0.0 && im == 0.0) {
        // No two neighbours rise: the onset has just come in.
        return band.length - hop / 2;
    }
    double offset = -std::atan2(im, re) * band.length / (2.0 * std::numbers::pi);
    if (offset < 0.0) {
        offset += band.length;
    }
    return offset;
}

void Follow(Band& band, int channels, int hop, std::int64_t frameStart, double idealStart, double ratio,
            std::int64_t synthesisTime, bool detect)
{
    OnsetTrack& track = band.track;
    if (track.live && frameStart > track.position) {
        track.live = false;
        std::memset(band.onsetBins, 0, band.bins);
    }
    // The frame's power, that of its rising bins, and whether any bin
    // restarts.
    float total[4] = {};
    float rising[4] = {};
    const int restarts =
        vector_ops::selected::SumOnsetPower(band.power, band.ratio, band.counters, total, rising, band.bins);
    const double frameTotal = (static_cast<double>(total[0]) + total[1]) + (static_cast<double>(total[2]) + total[3]);
    const double risingTotal =
        (static_cast<double>(rising[0]) + rising[1]) + (static_cast<double>(rising[2]) + rising[3]);
    const double before = track.previousPower;
    track.previousPower = frameTotal;
    track.restarts = restarts != 0;
    if (!track.live && detect) {
        if (risingTotal > leastRise && risingTotal > onsetRise * before) {
            const auto offset = static_cast<std::int64_t>(std::llround(OnsetOffset(band, channels, hop)));
            track.position = frameStart + std::min<std::int64_t>(offset, band.length - 1);
            track.target =
                synthesisTime + std::llround((static_cast<double>(track.position) - idealStart) / ratio);
            track.live = true;
        }
    }
    if (track.live) {
        // Bins that rise while the onset comes in belong to it; all of them
        // restart at the phase PlaceOnsets gives them.
        for (int k = 0; k < band.bins; ++k) {
            if (band.counters[k] == 0) {
                band.onsetBins[k] = 1;
            }
            if (band.onsetBins[k] != 0) {
                band.counters[k] = 0;
            }
        }
    }
}

bool Place(const Band& band, int channels, std::int64_t frameStart, std::int64_t synthesisTime,
           std::int64_t originShift, float* scratch)
{
    OnsetTrack& track = band.track;
    track.muted = false;
    if (!track.live) {
        return false;
    }
    // Delay the frame's content (circularly) so that the onset lands at its
    // place. While the place is outside the frame, its bins are silent: at
    // the frame's edge the synthesis window would not quite silence it.
    const std::int64_t inFrame = track.target + originShift - synthesisTime;
    if (inFrame < 0 || inFrame >= band.length) {
        track.muted = true;
    }
    const int bins = band.bins;
    if (track.muted) {
        // Nothing sounds; the bins keep their analysed phase to run on from.
        for (int ch = 0; ch < channels; ++ch) {
            const float* ar = band.phasor[ch];
            float* out = band.advance[ch];
            for (int k = 0; k < bins; ++k) {
                if (band.onsetBins[k] != 0) {
                    out[k] = ar[k];
                    out[bins + k] = ar[bins + k];
                }
            }
        }
        return false;
    }
    const std::int64_t shift = inFrame - (track.position - frameStart);
    // Bin k turns by -2 pi k shift / length.
    const double angle = -2.0 * std::numbers::pi * static_cast<double>(shift % band.length) / band.length;
    float* turnRe = scratch;
    float* turnIm = scratch + bins;
    FillPhaseRamp(angle, turnRe, turnIm, bins);
    for (int ch = 0; ch < channels; ++ch) {
        const float* ar = band.phasor[ch];
        const float* ai = ar + bins;
        float* outRe = band.advance[ch];
        float* outIm = outRe + bins;
        for (int k = 1; k < bins; ++k) {
            if (band.onsetBins[k] != 0) {
                const float xr = turnRe[k] * ar[k];
                const float xi = turnIm[k] * ai[k];
                const float yr = turnRe[k] * ai[k];
                const float yi = turnIm[k] * ar[k];
                outRe[k] = xr - xi;
                outIm[k] = yr + yi;
            }
        }
        // Bin 0 holds DC, which a delay leaves as it is, and Nyquist, which
        // turns sign with every frame of delay.
        if (band.onsetBins[0] != 0) {
            outRe[0] = ar[0];
            outIm[0] = (shift & 1) != 0 ? -ai[0] : ai[0];
        }
    }
    return !track.muted;
}

void Hold(const Band& band, int channels)
{
    if (!band.track.restarts) {
        return;
    }
    band.track.restarts = false;
    // Turning by the bin's own frequency keeps its content where the restart
    // put it.
    const int bins = band.bins;
    std::uint8_t* KELVANE_RESTRICT counters = band.counters;
    const std::uint8_t* KELVANE_RESTRICT onset = band.onsetBins;
    const float* KELVANE_RESTRICT turnRe = band.centreTurn;
    const float* KELVANE_RESTRICT turnIm = band.centreTurn + bins;
    for (int ch = 0; ch < channels; ++ch) {
        vector_ops::selected::HoldRestarts(counters, onset, turnRe, turnIm, band.advance[ch], band.advance[ch] + bins,
                                           bins);
    }
    for (int k = 0; k < bins; ++k) {
        counters[k] = static_cast<std::uint8_t>(counters[k] | static_cast<std::uint8_t>((counters[k] | onset[k]) == 0));
    }
}

// The share of the long frame's view of an onset that the short spectrum
// sounds until its own frame holds the onset: what the short frames will
// give short of the windows' full overlap, over what the long view gives in
// the frames before, at most 1. The steps are followed as the cycle takes
// them, `ratio` analysis hops per synthesis hop with `credit` left in this
// one, from the onset `held` frames into the long analysis frame and
// `placed` frames into the synthesised ones.
double BorrowedShare(const EngineInstance& e, double ratio, double credit, std::int64_t held, std::int64_t placed)
{
    const int n = e.blockLength;
    const int hop = e.hopLength;
    const float* shortAnalysis = e.shortAnalysisWindow;
    const float* shortSynthesis = e.shortSynthesisWindow;
    const float* longAnalysis = e.longAnalysisWindow;
    double full = 0.0;
    for (int i = 0; i < n; ++i) {
        full += static_cast<double>(shortAnalysis[i]) * shortSynthesis[i];
    }
    full /= hop;
    double own = 0.0;
    double borrowed = 0.0;
    auto add = [&](std::int64_t a, std::int64_t s) {
        if (s < 0 || s >= n || a < 0) {
            return;
        }
        if (a < n) {
            own += static_cast<double>(shortAnalysis[a]) * shortSynthesis[s];
        } else if (a < 2 * n) {
            borrowed += static_cast<double>(longAnalysis[a]) * shortSynthesis[s];
        }
    };
    add(held, placed);
    const double perHop = ratio * hop;
    while (held >= 0 && placed >= 0) {
        while (credit >= hop && held >= 0) {
            credit -= hop;
            held -= hop;
            add(held, placed);
        }
        placed -= hop;
        credit += perHop;
    }
    if (!(borrowed > 0.0) || !(own < full)) {
        return 0.0;
    }
    return std::min((full - own) / borrowed, 1.0);
}

Band ShortBand(EngineInstance& e)
{
    return {e.shortOnset,     e.shortOnsetBins,  e.shortBinCounters,    e.shortSpectrumWork,    e.shortPower,
            e.shortMagnitude, e.shortPrevPhasor, e.shortAdvance,        e.shortCentreTurn,      e.halfBlock,
            e.blockLength};
}

Band LongBand(EngineInstance& e)
{
    return {e.longOnset,     e.longOnsetBins,  e.longBinCounters,    e.longSpectrumWork,    e.longPower,
            e.longMagnitude, e.longPrevPhasor, e.longAdvance,        e.longCentreTurn,      e.lowBinCount,
            e.frameLength};
}

}  // namespace

void EngineInstance::FollowOnsets(std::int64_t frameStart, double idealStart, double ratio)
{
    analysedFrameStart = frameStart;
    const bool detect = !powerCleared && ratio > 0.0;
    powerCleared = false;
    Band shortBand = ShortBand(*this);
    Band longBand = LongBand(*this);
    Follow(shortBand, channelCount, hopLength, frameStart, idealStart, ratio, synthesisTime, detect);
    const bool following = longOnset.live;
    Follow(longBand, channelCount, hopLength, frameStart, idealStart, ratio, synthesisTime, detect);
    if (longOnset.live && !following) {
        longOnset.borrowed = 0.0f;
        if (ratio > 1.0) {
            const std::int64_t placed = longOnset.target + std::llround(originShift) - synthesisTime;
            longOnset.borrowed = static_cast<float>(
                BorrowedShare(*this, ratio, analysisCredit, longOnset.position - frameStart, placed));
        }
    }
}

bool EngineInstance::PlaceOnsets()
{
    Band shortBand = ShortBand(*this);
    Band longBand = LongBand(*this);
    const std::int64_t shift = std::llround(originShift);
    const bool shortSounds = Place(shortBand, channelCount, analysedFrameStart, synthesisTime, shift, onsetTurn);
    const bool longSounds = Place(longBand, channelCount, analysedFrameStart, synthesisTime, shift, onsetTurn);
    return shortSounds || longSounds;
}

bool EngineInstance::PrepareLongOnset()
{
    const OnsetTrack& track = longOnset;
    if (!track.live || !(track.borrowed > 0.0f) || shortOnset.live) {
        return false;
    }
    const int n = blockLength;
    const std::int64_t held = track.position - analysedFrameStart;
    const std::int64_t placed = track.target + std::llround(originShift) - synthesisTime;
    if (held < n || placed < 0 || placed >= n) {
        return false;
    }
    // Long bin 2k has the frequency of short bin k, and its phase is that of
    // the onset `held` mod N into a short frame: turn it to `placed`.
    const std::int64_t shift = (placed - held) % n;
    const double angle = -2.0 * std::numbers::pi * static_cast<double>(shift) / n;
    FillPhaseRamp(angle, onsetTurn, onsetTurn + halfBlock, halfBlock);
    return true;
}

void EngineInstance::BorrowLongOnset(int channel, float* re, float* im, int shared, int limit) const
{
    // A bin sounds the long frame's content where that is well above what
    // the short frame holds (a steady partial is about twice as strong in
    // the long frame): it is new, the onset's.
    const int n = blockLength;
    const float* longRe = longFrame[channel];
    const float* longIm = longRe + n;
    const float* shortHeld = shortMagnitude[channel];
    const float* turnRe = onsetTurn;
    const float* turnIm = onsetTurn + halfBlock;
    const float gain = synthesisGain * longOnset.borrowed;
    for (int k = 1; k < limit; ++k) {
        const float x = longRe[2 * k];
        const float y = longIm[2 * k];
        const float power = x * x + y * y;
        if (power > 16.0f * shortHeld[k] * shortHeld[k] && power > tinyValue) {
            const float share = gain * (k < shared ? 1.0f - crossoverWeight[2 * k] : 1.0f);
            re[k] = (x * turnRe[k] - y * turnIm[k]) * share;
            im[k] = (x * turnIm[k] + y * turnRe[k]) * share;
        }
    }
}

void EngineInstance::MuteOnset(const OnsetTrack& track, const std::uint8_t* onsetBins, float* re, float* im,
                               int count)
{
    if (!track.live || !track.muted) {
        return;
    }
    for (int k = 0; k < count; ++k) {
        if (onsetBins[k] != 0) {
            re[k] = 0.0f;
            im[k] = 0.0f;
        }
    }
}

void EngineInstance::DropOnsets()
{
    for (OnsetTrack* track : {&shortOnset, &longOnset}) {
        track->live = false;
        track->muted = false;
    }
    std::memset(shortOnsetBins, 0, halfBlock);
    std::memset(longOnsetBins, 0, lowBinCount);
}

void EngineInstance::HoldRestartedBins()
{
    Band shortBand = ShortBand(*this);
    Band longBand = LongBand(*this);
    Hold(shortBand, channelCount);
    Hold(longBand, channelCount);
}

}  // namespace kelvane

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
//
// At quality 0 the long frame is only half a synthesis hop ahead of the short
// one, and up to four times faster than the input the synthesis frames that
// held an onset's place before any analysis frame held it are gone by the
// time one does. Their part of the accumulator from the current hop on is
// still open: the first hop that sounds the onset gathers its bins and adds
// them once more through those frames' windows, by what is still short of the
// full overlap. Where even that is short (the long frame holds the onset only
// at its newest edge, in the one hop that sounds it), the long view is raised
// past its own level by what its window took.
//
// A hit over a strong low band (a drum over a chord) raises the long frame's
// low band by no more than the chord's own swing there: the long band would
// never see it, and the short frame alone takes it in too late. Faster than
// the input the long frame also watches the short band's frequencies, and an
// onset that rises there is the long band's: its place is where its noise
// starts (read from the frame's samples; the phase slope of a sound that
// lasts lies at the centre of its energy), its shares keep the level of its
// whole attack (the windows weigh each of its samples differently), and the
// short band takes it over once its frame holds the attack. One that the
// last analysis of a synthesis hop holds too little of to sound in time
// comes out from the next hop's frames, at their start.
#include <algorithm>
#include <array>
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
// At overlap 2 the bins of steady noise swing from one hop to the next as far
// as an onset's: on nearly every hop the bins that rise past the steadiness
// threshold carry more than onsetRise of the frame before, and gain about
// 0.45 of it. There an onset must also stand out from the band's usual rise:
// its rising bins must gain more than usualRiseFactor times the running mean
// of that gain (each hop's share counted up to 1, followed with
// usualRiseSmoothing per analysis step).
constexpr double usualRiseFactor = 3.0;
constexpr double usualRiseSmoothing = 0.1;
// A rise in the short band's frequencies of the long frame must also carry
// this share of the whole frame's power before: below it, the window's
// leakage of a low chord swings in an otherwise empty band.
constexpr double upperFloor = 1.0e-6;
// The span of an onset seen there whose level its shares keep: about what
// the ear takes for its attack.
constexpr double attackSeconds = 0.005;

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

// What a band's onset may come from besides its own bins' rise. The long
// band: where in the frame an onset rose in the short band's frequencies
// (WatchUpperBand; below 0, none), taken when its own bins do not rise. The
// short band: the long band's onset, to take over.
struct Elsewhere {
    double upper = -1.0;
    const OnsetTrack* longOnset = nullptr;
    bool tookUpper = false;  // set when the onset that came is the one seen there
};

// Follows the band's onset over one analysis; true when a new one comes in.
// `floorKept`: the share of the frame before's power that the rise is judged
// against.
bool Follow(const BinLoops& loops, Band& band, int channels, int hop, std::int64_t frameStart,
            double idealStart, double ratio, std::int64_t synthesisTime, bool detect, double floorKept,
            bool againstUsual, Elsewhere& also)
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
    const int restarts = loops.sumOnsetPower(band.power, band.ratio, band.counters, total, rising, band.bins);
    const double frameTotal = vector_ops::SumOfLanes(total);
    const double risingTotal = vector_ops::SumOfLanes(rising);
    const double before = track.previousPower * floorKept;
    track.previousPower = frameTotal;
    track.restarts = restarts != 0;
    bool detected = false;
    // With `againstUsual` (overlap 2), the rising bins' gain over the frame
    // before must stand out from its running mean.
    bool standsOut = true;
    if (againstUsual) {
        const double gain = loops.risingGain(band.power, band.ratio, band.counters, band.bins);
        const double share = gain / std::max(before, leastRise);
        standsOut = share > usualRiseFactor * track.usualRise;
        track.usualRise += usualRiseSmoothing * (std::min(share, 1.0) - track.usualRise);
    }
    // The long band's onset seen in the short band's frequencies is this
    // band's once its frame holds the attack (an onset it followed gives way
    // to it); until then this frame's glimpse of it is no onset of its own.
    const OnsetTrack* taken = also.longOnset;
    const std::int64_t heldThere = taken != nullptr ? taken->position - frameStart : -1;
    const bool holds =
        taken != nullptr && taken->live && taken->attack > 0 && heldThere >= 0 && heldThere < band.length;
    if (holds && heldThere < band.length - taken->attack &&
        !(track.live && track.position == taken->position)) {
        std::memset(band.onsetBins, 0, band.bins);
        track.position = taken->position;
        track.target = taken->target;
        track.live = true;
        detected = true;
    } else if (!track.live && detect && !holds) {
        const bool rose = risingTotal > leastRise && risingTotal > onsetRise * before && standsOut;
        if (rose || also.upper >= 0.0) {
            also.tookUpper = !rose;
            const double at = rose ? OnsetOffset(band, channels, hop) : also.upper;
            const auto offset = static_cast<std::int64_t>(std::llround(at));
            track.position = frameStart + std::min<std::int64_t>(offset, band.length - 1);
            track.target =
                synthesisTime + std::llround((static_cast<double>(track.position) - idealStart) / ratio);
            track.live = true;
            detected = true;
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
    return detected;
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

void Hold(const BinLoops& loops, const Band& band, int channels)
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
        loops.holdRestarts(counters, onset, turnRe, turnIm, band.advance[ch], band.advance[ch] + bins, bins);
    }
    for (int k = 0; k < bins; ++k) {
        counters[k] = static_cast<std::uint8_t>(counters[k] | static_cast<std::uint8_t>((counters[k] | onset[k]) == 0));
    }
}

// How the synthesis frames will sound an onset, followed step by step as the
// cycle takes them: `ratio` analysis hops per synthesis hop with `credit`
// left in this one, from the onset `held` frames into the long analysis
// frame and `placed` frames into the band's synthesised ones. A frame sounds
// it through the band's own analysis window while that holds it, and the
// short spectrum through the long frame's before that (`borrow`).
struct BandWindows {
    const float* analysis;
    const float* borrow;  // the long analysis window, or none
    const float* synthesis;
    int length;  // of the band's frames
};

struct Coverage {
    double full = 0.0;      // what the overlapping windows give a steady sound
    double own = 0.0;       // analysis x synthesis window over every frame that sounds it, own view
    double borrowed = 0.0;  // the same, the long frame's view
    // The analysis windows alone in the first synthesis hop that sounds it,
    // and the synthesis windows of the frames before it that held its place.
    double firstOwn = 0.0;
    double firstBorrowed = 0.0;
    double passed = 0.0;
    // Over an attack (CoverAttack): the means of passed x firstOwn and of
    // passed x firstBorrowed, which the shares then take.
    bool weighted = false;
    double lateOwn = 0.0;
    double lateBorrowed = 0.0;
};

double FullOverlap(const BandWindows& w, int hop)
{
    double full = 0.0;
    for (int i = 0; i < w.length; ++i) {
        full += static_cast<double>(w.analysis[i]) * w.synthesis[i];
    }
    return full / hop;
}

// `ownBelow`: the own frame sounds an onset that starts before this sample
// of it, the long frame's view (if any) one that starts later. `shift`: the
// windows are read that many samples after the onset's start, in the frames
// that sound its start.
Coverage CoverFrom(double full, const BandWindows& w, int frameLength, int hop, double ratio, double credit,
                   std::int64_t held, std::int64_t placed, int ownBelow, int shift)
{
    Coverage c;
    c.full = full;
    int synthesisHop = 0;
    int firstHop = -1;
    std::int64_t firstPlaced = 0;
    auto add = [&](std::int64_t a, std::int64_t s) {
        if (s < 0 || s >= w.length || a < 0) {
            return;
        }
        if (a >= ownBelow && (w.borrow == nullptr || a >= frameLength)) {
            return;
        }
        if (firstHop < 0) {
            firstHop = synthesisHop;
            firstPlaced = s;
        }
        const bool first = synthesisHop == firstHop;
        a += shift;
        s += shift;
        if (s >= w.length) {
            return;
        }
        if (a - shift < ownBelow) {
            const float analysis = a < w.length ? w.analysis[a] : 0.0f;
            c.own += static_cast<double>(analysis) * w.synthesis[s];
            c.firstOwn += first ? analysis : 0.0f;
        } else if (a < frameLength) {
            c.borrowed += static_cast<double>(w.borrow[a]) * w.synthesis[s];
            c.firstBorrowed += first ? w.borrow[a] : 0.0f;
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
        ++synthesisHop;
        credit += perHop;
    }
    if (firstHop >= 0) {
        for (std::int64_t s = firstPlaced + hop + shift; s < w.length; s += hop) {
            c.passed += w.synthesis[s];
        }
    }
    return c;
}

Coverage Cover(const BandWindows& w, int frameLength, int hop, double ratio, double credit, std::int64_t held,
               std::int64_t placed)
{
    return CoverFrom(FullOverlap(w, hop), w, frameLength, hop, ratio, credit, held, placed, w.length, 0);
}

// A sound that lasts (a drum's noise) comes out through the windows at the
// samples after its start as well, which weigh it differently from its first
// sample: the coverage of its attack, `count` samples from its start (each
// one sample on in every frame), weighted by its energy there.
Coverage CoverAttack(const BandWindows& w, int frameLength, int hop, double ratio, double credit,
                     std::int64_t held, std::int64_t placed, int ownBelow, const float* energy, int count)
{
    const double full = FullOverlap(w, hop);
    Coverage mean;
    mean.full = full;
    double total = 0.0;
    for (int t = 0; t < count; ++t) {
        const double weight = energy[t];
        if (!(weight > 0.0)) {
            continue;
        }
        const Coverage c = CoverFrom(full, w, frameLength, hop, ratio, credit, held, placed, ownBelow, t);
        mean.own += weight * c.own;
        mean.borrowed += weight * c.borrowed;
        mean.firstOwn += weight * c.firstOwn;
        mean.firstBorrowed += weight * c.firstBorrowed;
        mean.lateOwn += weight * c.passed * c.firstOwn;
        mean.lateBorrowed += weight * c.passed * c.firstBorrowed;
        total += weight;
    }
    if (!(total > 0.0)) {
        return CoverFrom(full, w, frameLength, hop, ratio, credit, held, placed, ownBelow, 0);
    }
    mean.own /= total;
    mean.borrowed /= total;
    mean.firstOwn /= total;
    mean.firstBorrowed /= total;
    mean.lateOwn /= total;
    mean.lateBorrowed /= total;
    mean.weighted = true;
    return mean;
}

// The share of the long frame's view of an onset that the short spectrum
// sounds until its own frame holds the onset: what the short frames will
// give short of the windows' full overlap, over what the long view gives in
// the frames before, at most 1.
double BorrowedShare(const Coverage& c)
{
    if (!(c.borrowed > 0.0) || !(c.own < c.full)) {
        return 0.0;
    }
    return std::min((c.full - c.own) / c.borrowed, 1.0);
}

// The share of the passed frames' windows that the first hop sounding the
// onset adds late: what is still short of the full overlap with `borrowed`
// of the long view, at most as much as those frames would have given had
// they held the onset as that hop does.
double CatchUpShare(const Coverage& c, double borrowed)
{
    const double reached = c.own + borrowed * c.borrowed;
    const double late = c.weighted ? c.lateOwn + borrowed * c.lateBorrowed
                                   : c.passed * (c.firstOwn + borrowed * c.firstBorrowed);
    if (!(reached < c.full) || !(late > 0.0)) {
        return 0.0;
    }
    return std::min((c.full - reached) / late, 1.0);
}

// The long view is raised by at most this gain: a sine window falls below its
// inverse only in the last half percent of the frame.
constexpr double mostBorrowed = 64.0;

// The borrowed share raised, past 1, to the full overlap once the catch-up
// is in.
double RaisedShare(const Coverage& c, double borrowed, double catchUp)
{
    const double ownPart = c.own + (c.weighted ? catchUp * c.lateOwn : catchUp * c.passed * c.firstOwn);
    const double borrowedPart =
        c.borrowed + (c.weighted ? catchUp * c.lateBorrowed : catchUp * c.passed * c.firstBorrowed);
    if (!(borrowedPart > 0.0) || !(ownPart + borrowed * borrowedPart < c.full)) {
        return borrowed;
    }
    return std::min((c.full - ownPart) / borrowedPart, mostBorrowed);
}

BandWindows ShortWindows(const EngineInstance& e)
{
    return {e.shortAnalysisWindow, e.longAnalysisWindow, e.shortSynthesisWindow, e.blockLength};
}

BandWindows LongWindows(const EngineInstance& e)
{
    return {e.longAnalysisWindow, nullptr, e.longSynthesisWindow, e.frameLength};
}

// Sums the bins of a synthesised spectrum (imaginary parts `imaginary` floats
// on) that are marked in `own` or in `borrowed` (either may be absent) into
// the gathered spectrum.
void GatherBins(float* KELVANE_RESTRICT gathered, int imaginary, const float* re, const float* im,
                const std::uint8_t* own, const std::uint8_t* borrowed, int count)
{
    for (int k = 0; k < count; ++k) {
        if ((own != nullptr && own[k] != 0) || (borrowed != nullptr && borrowed[k] != 0)) {
            gathered[k] += re[k];
            gathered[imaginary + k] += im[k];
        }
    }
}

// A band's onset content gathered over one synthesis hop, and how it is
// synthesised.
struct Gathered {
    OnsetTrack& track;
    float* const* spectrum;
    const HartleyTransform* transform;
    const float* window;
    int length;
};

std::array<Gathered, 2> GatheredBands(EngineInstance& e)
{
    return {{{e.shortOnset, e.shortOnsetSpectrum, e.shortTransform, e.shortSynthesisWindow, e.blockLength},
             {e.longOnset, e.longOnsetSpectrum, e.longTransform, e.longSynthesisWindow, e.frameLength}}};
}

void ClearGathered(const Gathered& band, int channels)
{
    band.track.gathered = false;
    for (int ch = 0; ch < channels; ++ch) {
        std::fill(band.spectrum[ch], band.spectrum[ch] + band.length, 0.0f);
    }
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

// The energy of the second differences (the highest frequencies foremost,
// a low chord all but gone) at sample d of the latest analysis frame, over
// its channels.
double EdgeEnergy(const EngineInstance& e, int d)
{
    if (d < 1 || d > e.frameLength - 2) {
        return 0.0;
    }
    const int oldest = (e.analysisWriteIndex + e.hopLength) & e.frameMask;
    const int mask = e.frameMask;
    double sum = 0.0;
    for (int ch = 0; ch < e.channelCount; ++ch) {
        const float* ring = e.analysisRing[ch];
        const double g = static_cast<double>(ring[(oldest + d + 1) & mask]) -
                         2.0 * ring[(oldest + d) & mask] + ring[(oldest + d - 1) & mask];
        sum += g * g;
    }
    return sum;
}

// The phase slope puts a sound that lasts at the centre of its energy in the
// frame, after where it starts. The frame's own samples tell where it
// starts: where the edge energy of the `span` samples from there most
// exceeds that of the `span` before, within a quarter block before that
// centre; of the places that come within half of the greatest such rise,
// the last (a click's rise is as great from a whole span before it).
double LeadingEdge(const EngineInstance& e, double centre)
{
    const int length = e.frameLength;
    const int span = e.blockLength / 32;
    const int last = std::min(static_cast<int>(centre), length - 2);
    const int first = std::max(last - e.blockLength / 4, span + 1);
    if (first > last) {
        return centre;
    }
    // The edge energies from a span before the first place to a span after
    // the last (under a third of a block), then each place's rise (a quarter
    // block at most) from half a block on.
    const int from = first - span;
    float* energy = e.onsetTurn - from;
    float* rise = e.onsetTurn + e.halfBlock - first;
    for (int d = from; d < last + span; ++d) {
        energy[d] = static_cast<float>(EdgeEnergy(e, d));
    }
    double before = 0.0;
    double after = 0.0;
    for (int d = from; d < first; ++d) {
        before += energy[d];
    }
    for (int d = first; d < first + span; ++d) {
        after += energy[d];
    }
    double greatest = 0.0;
    for (int i = first; i <= last; ++i) {
        const int counted = std::min(span, length - 1 - i);
        const double r = (after / counted) / (before / span + e.tinyValue);
        rise[i] = static_cast<float>(r);
        greatest = std::max(greatest, r);
        before += static_cast<double>(energy[i]) - energy[i - span];
        after += static_cast<double>(energy[i + span]) - energy[i];
    }
    for (int i = last; i >= first; --i) {
        if (rise[i] >= 0.5 * greatest) {
            return i;
        }
    }
    return centre;
}

int AttackLength(const EngineInstance& e)
{
    return static_cast<int>(attackSeconds * e.sampleRate);
}

// The onset's edge energy sample by sample over its attack from `held` in
// the latest analysis frame; past the frame's end, it is taken to go on as
// the last half of what the frame holds of it. Returns how many samples.
int AttackEnergy(const EngineInstance& e, std::int64_t held, float* energy)
{
    const int attack = AttackLength(e);
    const auto known = static_cast<int>(std::clamp<std::int64_t>(e.frameLength - 1 - held, 0, attack));
    if (known == 0) {
        return 0;
    }
    double tail = 0.0;
    const int from = known / 2;
    for (int t = 0; t < known; ++t) {
        energy[t] = static_cast<float>(EdgeEnergy(e, static_cast<int>(held) + t));
        tail += t >= from ? energy[t] : 0.0f;
    }
    std::fill(energy + known, energy + attack, static_cast<float>(tail / (known - from)));
    return attack;
}

// Faster than the input, the long frame's even bins in the short band's
// frequencies (each at a short bin's frequency) are judged as the short
// band's own bins are: against the short bin's threshold and the share of
// the band's power before. The band is a small part of the frame, and
// partials swinging in it (vibrato, beating) rise as far as an onset in one
// hop: at either quality an onset's rising bins must also gain more than
// the band held before and stand out from the band's usual rise. Returns
// where in the long frame an onset that rises there starts, or -1.
double WatchUpperBand(EngineInstance& e, bool detect)
{
    e.CompleteLongSpectrum();
    const int n = e.blockLength;
    const int first = e.lowBinCount / 2;
    const int count = e.halfBlock - first;
    float* power = e.upperPower;
    const float* previous = e.upperPowerBefore;
    const float* threshold = e.binThresholdCurve;
    std::fill(power + first, power + e.halfBlock, 0.0f);
    for (int ch = 0; ch < e.channelCount; ++ch) {
        const float* re = e.longFrame[ch] + 2 * first;
        const float* im = re + n;
        float* p = power + first;
        for (int i = 0; i < count; ++i) {
            const float x = re[2 * i];
            const float y = im[2 * i];
            p[i] += x * x + y * y;
        }
    }
    // Per lane (bin mod 4), the band's power, that of its rising bins, and
    // what they gained.
    const float kept = static_cast<float>(e.longFloorKept);
    const float tiny = e.tinyValue;
    float total[4] = {};
    float rising[4] = {};
    float gain[4] = {};
    auto add = [&](int k, int lane) {
        const float floor = previous[k] * kept + tiny;
        const bool up = power[k] > threshold[k] * floor;
        total[lane] += power[k];
        rising[lane] += up ? power[k] : 0.0f;
        gain[lane] += up ? power[k] - floor : 0.0f;
    };
    int k = first;
#if defined(KELVANE_HAVE_SSE2)
    // The same sums four bins at a time, in the same order: the same bits.
    __m128 lanesTotal = _mm_setzero_ps();
    __m128 lanesRising = _mm_setzero_ps();
    __m128 lanesGain = _mm_setzero_ps();
    const __m128 keptLanes = _mm_set1_ps(kept);
    const __m128 tinyLanes = _mm_set1_ps(tiny);
    for (; k + 4 <= e.halfBlock; k += 4) {
        const __m128 p = _mm_loadu_ps(power + k);
        const __m128 floor = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(previous + k), keptLanes), tinyLanes);
        const __m128 up = _mm_cmpgt_ps(p, _mm_mul_ps(_mm_loadu_ps(threshold + k), floor));
        lanesTotal = _mm_add_ps(lanesTotal, p);
        lanesRising = _mm_add_ps(lanesRising, _mm_and_ps(up, p));
        lanesGain = _mm_add_ps(lanesGain, _mm_and_ps(up, _mm_sub_ps(p, floor)));
    }
    _mm_storeu_ps(total, lanesTotal);
    _mm_storeu_ps(rising, lanesRising);
    _mm_storeu_ps(gain, lanesGain);
#else
    for (; k + 4 <= e.halfBlock; k += 4) {
        for (int lane = 0; lane < 4; ++lane) {
            add(k + lane, lane);
        }
    }
#endif
    for (; k < e.halfBlock; ++k) {
        add(k, 0);
    }
    const double bandTotal = vector_ops::SumOfLanes(total);
    const double risingTotal = vector_ops::SumOfLanes(rising);
    const double gained = vector_ops::SumOfLanes(gain);
    std::swap(e.upperPower, e.upperPowerBefore);
    const bool watched = e.upperWatched;
    e.upperWatched = true;
    const double before = e.upperPreviousPower * kept;
    e.upperPreviousPower = bandTotal;
    if (!watched) {
        // The powers before are not this band's of one step ago.
        return -1.0;
    }
    const double share = gained / std::max(before, leastRise);
    const bool standsOut = share > 1.0 && share > usualRiseFactor * e.upperUsualRise;
    e.upperUsualRise += usualRiseSmoothing * (std::min(share, 1.0) - e.upperUsualRise);
    const double frameBefore = before + e.longOnset.previousPower * kept;
    if (!detect || !standsOut ||
        !(risingTotal > leastRise && risingTotal > onsetRise * before &&
          risingTotal > upperFloor * frameBefore)) {
        return -1.0;
    }
    // From bin j to j + 1 the phase falls by 2 pi d / 2N for content d
    // samples into the long frame.
    double re = 0.0;
    double im = 0.0;
    for (int j = first; j < e.halfBlock; ++j) {
        if (!(power[j] > threshold[j] * (previous[j] * kept + tiny))) {
            continue;
        }
        for (int ch = 0; ch < e.channelCount; ++ch) {
            const float* frame = e.longFrame[ch];
            const double x0 = frame[2 * j];
            const double y0 = frame[n + 2 * j];
            const double x1 = frame[2 * j + 1];
            const double y1 = frame[n + 2 * j + 1];
            re += x1 * x0 + y1 * y0;
            im += y1 * x0 - x1 * y0;
        }
    }
    if (re == 0.0 && im == 0.0) {
        return -1.0;
    }
    const int length = e.frameLength;
    double centre = -std::atan2(im, re) * length / (2.0 * std::numbers::pi);
    if (centre < 0.0) {
        centre += length;
    }
    return LeadingEdge(e, centre);
}

}  // namespace

void EngineInstance::FollowOnsets(std::int64_t frameStart, double idealStart, double ratio)
{
    analysedFrameStart = frameStart;
    const bool detect = !powerCleared && ratio > 0.0;
    powerCleared = false;
    Band shortBand = ShortBand(*this);
    Band longBand = LongBand(*this);
    // An onset found at the analysis where the band's previous one leaves
    // carries on from it, with its shares; but one whose rise the leaving
    // one hid (a click after a click) is new and gets its own.
    const bool shortFollowing = shortOnset.live;
    const bool againstUsual = quality == 0;
    const bool longFollowing = longOnset.live && !(longFloorKept < 1.0);
    // Faster than the input the long frame watches the short band's
    // frequencies too. The short spectrum sounds its view of an onset seen
    // there as it is: while formants are corrected, that would bring the
    // onset's envelope uncorrected (a voice came out further from its own),
    // so the watch rests.
    const bool watchesUpper = WatchesUpperBand(ratio);
    const int attackLength = AttackLength(*this);
    Elsewhere longAlso;
    if (watchesUpper) {
        longAlso.upper = WatchUpperBand(*this, detect);
        if (upperDeferred >= 0) {
            longAlso.upper =
                upperDeferred >= frameStart ? static_cast<double>(upperDeferred - frameStart) : -1.0;
            upperDeferred = -1;
        } else if (longAlso.upper >= 0.0 && analysisCredit < hopLength &&
                   longAlso.upper > frameLength - attackLength) {
            // The last analysis of this synthesis hop holds too little of
            // the attack of an onset whose place this hop outputs: the next
            // hop's frames sound it, from their start.
            const double place = (static_cast<double>(frameStart) + longAlso.upper - idealStart) / ratio;
            if (std::llround(place) + std::llround(originShift) < hopLength) {
                upperDeferred = frameStart + std::llround(longAlso.upper);
                longAlso.upper = -1.0;
            }
        }
    } else {
        upperWatched = false;
        upperDeferred = -1;
    }
    const bool longCame = Follow(*binLoops, longBand, channelCount, hopLength, frameStart, idealStart, ratio,
                                 synthesisTime, detect, longFloorKept, againstUsual, longAlso) &&
                          !longFollowing;
    Elsewhere shortAlso;
    shortAlso.longOnset = ratio > 1.0 ? &longOnset : nullptr;
    const bool shortCame = Follow(*binLoops, shortBand, channelCount, hopLength, frameStart, idealStart,
                                  ratio, synthesisTime, detect, 1.0, againstUsual, shortAlso) &&
                           !shortFollowing;
    // At overlap 4 the long frame sees an onset a whole synthesis hop sooner
    // than the short one, and the borrowed view alone keeps it within about
    // 3 dB; at overlap 2 only half a hop, and four times faster than the
    // input most frames that hold its place are gone before any analysis
    // frame holds it.
    const bool catchesUp = quality == 0;
    // An onset seen in the short band's frequencies: one whose place has
    // passed by less than its attack (deferred from the hop before) starts
    // this hop's frames, and its shares cover its attack.
    const bool overAttack = longCame && longAlso.tookUpper;
    int attack = 0;
    if (longCame) {
        longOnset.attack = 0;
        if (overAttack) {
            const std::int64_t earliest = synthesisTime - std::llround(originShift);
            if (longOnset.target < earliest &&
                static_cast<double>(earliest - longOnset.target) * ratio <= attackLength) {
                longOnset.target = earliest;
            }
            longOnset.attack = attackLength;
            attack = AttackEnergy(*this, longOnset.position - frameStart, onsetTurn);
        }
    }
    // How a band's frames will sound the onset `track` follows.
    auto view = [&](const OnsetTrack& track, const BandWindows& windows) {
        const std::int64_t held = track.position - frameStart;
        const std::int64_t placed = track.target + std::llround(originShift) - synthesisTime;
        if (overAttack) {
            // The short frame sounds it itself from when it holds the attack.
            const int ownBelow = windows.borrow != nullptr ? windows.length - track.attack : windows.length;
            return CoverAttack(windows, frameLength, hopLength, ratio, analysisCredit, held, placed, ownBelow,
                               onsetTurn, attack);
        }
        return Cover(windows, frameLength, hopLength, ratio, analysisCredit, held, placed);
    };
    if (longCame) {
        longOnset.borrowed = 0.0f;
        longOnset.catchUp = 0.0f;
        shortOnset.catchUp = 0.0f;
        if (ratio > 1.0) {
            const Coverage shortView = view(longOnset, ShortWindows(*this));
            double borrowed = BorrowedShare(shortView);
            if (catchesUp) {
                const double catchUp = CatchUpShare(shortView, borrowed);
                shortOnset.catchUp = static_cast<float>(catchUp);
                borrowed = RaisedShare(shortView, borrowed, catchUp);
                longOnset.catchUp = static_cast<float>(CatchUpShare(view(longOnset, LongWindows(*this)), 0.0));
            }
            longOnset.borrowed = static_cast<float>(borrowed);
        }
    } else if (catchesUp && shortCame && !longOnset.live) {
        // An onset the long band did not see (high notes alone).
        shortOnset.catchUp = 0.0f;
        if (ratio > 1.0) {
            shortOnset.catchUp = static_cast<float>(CatchUpShare(view(shortOnset, ShortWindows(*this)), 0.0));
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
    if (!track.live || !(track.borrowed > 0.0f) ||
        (shortOnset.live && (track.attack == 0 || shortOnset.position == track.position))) {
        return false;
    }
    const int n = blockLength;
    const std::int64_t held = track.position - analysedFrameStart;
    const std::int64_t placed = track.target + std::llround(originShift) - synthesisTime;
    if (held < n - track.attack || placed < 0 || placed >= n) {
        return false;
    }
    // Long bin 2k has the frequency of short bin k, and its phase is that of
    // the onset `held` mod N into a short frame: turn it to `placed`.
    const std::int64_t shift = (placed - held) % n;
    const double angle = -2.0 * std::numbers::pi * static_cast<double>(shift) / n;
    FillPhaseRamp(angle, onsetTurn, onsetTurn + halfBlock, halfBlock);
    return true;
}

void EngineInstance::BorrowLongOnset(int channel, float* re, float* im, int shared, int limit)
{
    CompleteLongSpectrum();
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
    borrowedBins[0] = 0;
    for (int k = 1; k < limit; ++k) {
        const float x = longRe[2 * k];
        const float y = longIm[2 * k];
        const float power = x * x + y * y;
        const bool onset = power > 16.0f * shortHeld[k] * shortHeld[k] && power > tinyValue;
        if (onset) {
            const float share = gain * (k < shared ? 1.0f - crossoverWeight[2 * k] : 1.0f);
            re[k] = (x * turnRe[k] - y * turnIm[k]) * share;
            im[k] = (x * turnIm[k] + y * turnRe[k]) * share;
        }
        borrowedBins[k] = onset ? 1 : 0;
    }
}

void EngineInstance::GatherShortOnset(int channel, const float* re, const float* im, bool own, bool borrowed,
                                      int limit)
{
    shortOnset.gathered = true;
    GatherBins(shortOnsetSpectrum[channel], halfBlock, re, im, own ? shortOnsetBins : nullptr,
               borrowed ? borrowedBins : nullptr, limit);
}

void EngineInstance::GatherLongOnset(int channel, const float* re, const float* im)
{
    longOnset.gathered = true;
    GatherBins(longOnsetSpectrum[channel], blockLength, re, im, longOnsetBins, nullptr, lowBinCount);
}

void EngineInstance::CatchUpOnsets()
{
    const int h = hopLength;
    for (const Gathered& band : GatheredBands(*this)) {
        if (!band.track.gathered) {
            continue;
        }
        const float share = band.track.catchUp;
        band.track.catchUp = 0.0f;
        for (int ch = 0; ch < channelCount; ++ch) {
            // Every frame that passed the place by still reaches this hop's
            // part of the accumulator from `late` frames before.
            float* onset = band.spectrum[ch];
            band.transform->Inverse(onset);
            float* acc = outputAccumulator[ch];
            for (int late = h; late < band.length; late += h) {
                const float* window = band.window + late;
                for (int j = 0; j < band.length - late; ++j) {
                    acc[j] += share * window[j] * onset[j];
                }
            }
        }
        ClearGathered(band, channelCount);
    }
}

void EngineInstance::DiscardGatheredOnsets()
{
    for (const Gathered& band : GatheredBands(*this)) {
        if (band.track.gathered) {
            ClearGathered(band, channelCount);
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
        track->catchUp = 0.0f;
    }
    DiscardGatheredOnsets();
    std::memset(shortOnsetBins, 0, halfBlock);
    std::memset(longOnsetBins, 0, lowBinCount);
}

void EngineInstance::HoldRestartedBins()
{
    Band shortBand = ShortBand(*this);
    Band longBand = LongBand(*this);
    Hold(*binLoops, shortBand, channelCount);
    Hold(*binLoops, longBand, channelCount);
}

}  // namespace kelvane

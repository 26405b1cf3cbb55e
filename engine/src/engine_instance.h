// The object behind an engine interface: sizes, parameters, staging rings,
// per-channel work arrays, tables and the two transforms of one stream.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

#include "bin_loops.h"
#include "formant_loops.h"
#include "hartley_transform.h"
#include "resampler.h"

namespace kelvane {

constexpr int maxChannels = 8;

// Travels with every staged input frame.
struct ControlRecord {
    float speedRatio;
    float pitchRatio;
    std::uint8_t isInput;  // 1 for pushed frames, 0 for the silence of Reset and Flush
    // Set, so that two records alike are alike byte for byte.
    std::uint8_t unused[3] = {};
};

// `value` added `count` times over, in order from 0, as a loop over records
// that all carry it adds it; kept for the last value asked.
template <typename T>
struct RepeatedSum {
    T value = std::numeric_limits<T>::quiet_NaN();
    int count = 0;
    T sum = 0;
    T Of(T v, int n)
    {
        if (!(v == value && n == count)) {
            value = v;
            count = n;
            sum = 0;
            for (int i = 0; i < n; ++i) {
                sum += v;
            }
        }
        return sum;
    }
};

// One onset followed through a band while the analysis frames hold it.
struct OnsetTrack {
    bool live = false;
    bool muted = false;  // silent in the frame being synthesised: its place is outside
    double previousPower = 0.0;  // the band's power at the analysis before
    double usualRise = 0.0;      // at overlap 2: running mean of the rising bins' gain, re the frame before
    bool restarts = false;       // bins restarted at the latest analysis and have not been held yet
    std::int64_t position = 0;  // input frame where it starts
    std::int64_t target = 0;    // accumulator time it is placed at
    float borrowed = 0.0f;      // long band: the share of it the short spectrum sounds from the long one
    // Long band, an onset seen in the short band's frequencies: the samples
    // of its attack that its shares cover (0 for any other). The short band
    // takes it over once its frame holds that much of it.
    std::int32_t attack = 0;
    // Faster than the input, the synthesis frames that held the onset's
    // place before any analysis frame held the onset passed without it: the
    // share of their windows the band's onset takes in late, in the first
    // hop that sounds it (0: none), and whether that hop has gathered any.
    float catchUp = 0.0f;
    bool gathered = false;
};

// Synthesis modes of ResynthesiseHop.
enum SynthesisMode : int {
    onsetsShifted = 0,  // onset bins only, accumulator shifted by one hop
    allBinsInPlace = 1, // every bin, added without shifting
    allBinsShifted = 2, // every bin, accumulator shifted by one hop
    phaseResetsOnly = 3, // only the phase resets take effect, nothing added
    onsetsInPlace = 4   // onset bins only, added without shifting
};

struct EngineInstance {
    // Builds every buffer and table; on any failed allocation `failed` is set
    // and the caller destroys the half-built instance.
    EngineInstance(int rate, int channels, int n, float scale, int qualityLevel);
    ~EngineInstance();
    EngineInstance(const EngineInstance&) = delete;
    EngineInstance& operator=(const EngineInstance&) = delete;

    void Reset();

    // Parameter stores used by the setters.
    void StorePitchRatio(float ratio) { pitchRatio = ratio; }
    void StoreFormantRatio(float ratio) { formantRatio = ratio; }
    void StoreSpeedRatio(float ratio);

    // Staging.
    int PushInput(const float* source, int frames, int direction);
    int PullOutput(float* destination, int frames);
    int GetOutputAvailable() const { return outputAvailable; }
    int GetInputRequired() const;
    // RatioSum of blockControl's first (0) or second (1) hop.
    float HopRatioSum(int hop) const;

    // Processing cycle.
    int Process();
    int Flush();

    // Analysis. A hop is gathered into the ring at every synthesis hop that
    // has the input; its frames are windowed only when it is analysed.
    void GatherAnalysisFrames();
    void WindowAnalysisFrames();
    void AnalyseShortFrame();
    void AnalyseLongFrame();
    // The long spectrum above the low band, which the analysis leaves
    // unfinished, finished for the readers of the whole (onsets).
    void CompleteLongSpectrum();
    void ComputePhaseAdvance(float* const* current, float* const* previous, float* const* advance,
                             std::uint8_t* counters, int binCount);

    // Onsets: detected after an analysis step, whose frames start at input
    // frame `frameStart`; `idealStart` is where they would start if the
    // input were consumed exactly at `ratio` (speed over pitch).
    void FollowOnsets(std::int64_t frameStart, double idealStart, double ratio);
    // Whether the long frame watches the short band's frequencies for onsets
    // too at that ratio: faster than the input, while formants are not
    // corrected (FollowOnsets says why).
    bool WatchesUpperBand(double ratio) const { return ratio > 1.0 && formantRatio == 1.0f; }
    // Onset bins take the phase that puts the onset at its place in the
    // frame synthesised next; called by ResynthesiseHop. Returns whether a
    // band sounds its onset from this frame.
    bool PlaceOnsets();
    // Faster than the input, an onset that the long frame holds and the
    // short one not yet is sounded in the short spectrum from the long
    // frame's bins: PrepareLongOnset tells whether this frame does so (and
    // makes the turn that places it), BorrowLongOnset does it in one
    // channel's short spectrum (bins below `limit`, the crossover below
    // `shared`).
    bool PrepareLongOnset();
    void BorrowLongOnset(int channel, float* re, float* im, int shared, int limit);
    // Adds the onset content gathered in this synthesis hop with the windows
    // of the frames that passed it by; called on the hop's last synthesis.
    void CatchUpOnsets();
    // What a hop gathered and could not add (it ended without a synthesis).
    void DiscardGatheredOnsets();
    // Adds the sounding onset's bins of one channel's synthesised spectrum
    // (short: its own, and those borrowed from the long frame) to what the
    // hop gathers for CatchUpOnsets.
    void GatherShortOnset(int channel, const float* re, const float* im, bool own, bool borrowed, int limit);
    void GatherLongOnset(int channel, const float* re, const float* im);
    // Silences a muted onset's bins in a synthesised spectrum.
    static void MuteOnset(const OnsetTrack& track, const std::uint8_t* onsetBins, float* re, float* im, int count);
    // A held engine has no place to put an onset at: its bins sound on as
    // they are.
    void DropOnsets();
    // On a synthesis hop without a new analysis, bins that restarted at the
    // last one stay where they are instead of restarting again.
    void HoldRestartedBins();

    // Formants and synthesis.
    void CorrectFormants();
    void SynthesiseShortFrame(int mode);
    void SynthesiseLongFrame(int mode);
    void ResynthesiseHop(int mode);

    bool failed = false;

    float sampleRate;
    std::int32_t quality;
    std::int32_t blockLength;  // N
    std::int32_t frameLength;  // 2N
    std::int32_t frameMask;
    std::int32_t halfBlock;
    float formantRatio;
    std::int32_t hopLength;
    float synthesisGain = 0.0f;
    float overlap;
    std::int32_t analysisWriteIndex = 0;
    double resamplePosition;
    float activePitchRatio;
    float pitchRatio;
    double analysisCredit;
    std::int32_t inputRequired = 0;
    float activeSpeedRatio = 1.0f;
    float speedRatio;
    float pitchSemitoneCache;
    float rateScale;
    float speedPercentCache;
    float formantSemitoneCache;
    std::int32_t inputPending;
    std::int32_t inputWriteIndex;
    std::int32_t inputReadIndex;
    std::int32_t outputAvailable;
    std::int32_t outputWriteIndex;
    std::int32_t outputReadIndex;
    std::int32_t ringLength;
    std::int32_t ringMask;
    float* analysisRing[maxChannels] = {};
    float* outputAccumulator[maxChannels] = {};
    float* shortFrame[maxChannels] = {};
    float* shortSynthesis[maxChannels] = {};
    float* shortSpectrumWork = nullptr;
    float* shortMagnitude[maxChannels] = {};
    float* shortAdvance[maxChannels] = {};
    float* shortPrevPhasor[maxChannels] = {};
    float* shortSynthesisPhasor[maxChannels] = {};
    float* shortPower = nullptr;
    float* bypassAccumulator[maxChannels] = {};
    std::uint8_t* shortBinCounters = nullptr;
    // Phase locking: per channel and bin, the index of the bin's magnitude
    // peak. They follow from the plain magnitudes alone, so they are found on
    // the first emitting hop after an analysis and kept for the hops without
    // one. The end they were found below; the analysis sets it to 0.
    std::int16_t* shortPeak[maxChannels] = {};
    std::int16_t* longPeak[maxChannels] = {};
    std::int32_t shortPeakEnd = 0;
    std::int32_t longPeakEnd = 0;
    // Linked channels (more than one): the peaks of the channels' summed
    // magnitude live in shortPeak[0] and longPeak[0], and every channel takes
    // the rotation of those peaks from these shared arrays: the sum of the
    // channels' magnitudes, then the loudest channel's (half a block each),
    // and one rotation per bin (real parts, then imaginary parts from
    // halfBlock on).
    float* linkedMagnitude = nullptr;
    float* linkedRotation = nullptr;
    // Onsets: per band, the onset being followed and which bins belong to it
    // (1) while it is live. Input frames consumed and accumulator time of
    // the frame being synthesised, both counted from Reset, and the first
    // input frame of the latest analysis frames.
    OnsetTrack shortOnset;
    OnsetTrack longOnset;
    std::uint8_t* shortOnsetBins = nullptr;
    std::uint8_t* longOnsetBins = nullptr;
    // Each bin's rotation over one hop at its own centre frequency (real
    // parts, then imaginary parts, as the advances are laid out).
    float* shortCentreTurn = nullptr;
    float* longCentreTurn = nullptr;
    float* onsetTurn = nullptr;  // work space of PlaceOnsets, a block long
    // Per channel, the onset content of a band's spectra summed over the
    // analysis steps of the hop that catches up (laid out as the synthesised
    // spectra), and the short bins BorrowLongOnset filled in its last call.
    float* shortOnsetSpectrum[maxChannels] = {};
    float* longOnsetSpectrum[maxChannels] = {};
    std::uint8_t* borrowedBins = nullptr;
    std::int64_t consumedFrames = 0;
    std::int64_t synthesisTime = 0;
    std::int64_t analysedFrameStart = 0;
    // The vocoder took over from the bypass: its first analysis sees every
    // bin rise from nothing, which is no onset.
    bool powerCleared = false;
    // The share of the latest long frame's power that its oldest hop held, and
    // what the latest analysis kept of the frame before's power as the floor
    // its bins rise from (1 unless that frame's power was mostly leaving).
    double longEdgeShare = 0.0;
    // Whether the long frames hold their whole spectrum, or only the low band;
    // and whether this hop's analyses should make it whole at once, since
    // the onsets will read it all.
    bool longSpectrumWhole = true;
    bool longSpectrumRead = false;
    double longFloorKept = 1.0;
    // Faster than the input, the long frame also watches the short band's
    // frequencies for onsets (its even bins from lowBinCount on, each at the
    // frequency of a short bin): per short bin from lowBinCount / 2 on, the
    // summed power (work space of the latest analysis, and that of the
    // latest analysis that watched), whether that was the one before, the
    // band's total power then, and the running mean of its rising bins'
    // gain. An onset seen there that the last analysis of a synthesis hop
    // held too little of: its input frame, taken up by the next analysis
    // (else -1).
    float* upperPower = nullptr;
    float* upperPowerBefore = nullptr;
    bool upperWatched = false;
    double upperPreviousPower = 0.0;
    double upperUsualRise = 0.0;
    std::int64_t upperDeferred = -1;
    // How far the first output frame came after the accumulator time that
    // consumption at the exact ratio gives the first input frame (the start
    // runs its own way while the window fills); onsets are placed that much
    // later. Known once output has begun.
    bool originKnown = false;
    double originShift = 0.0;
    std::int32_t crossoverStart = 0;  // first long bin whose band the short spectrum shares
    float* shortCorrectedMagnitude[maxChannels] = {};
    float* outputRing[maxChannels] = {};
    float* inputRing[maxChannels] = {};
    ControlRecord* inputControlRing = nullptr;
    ControlRecord* analysisControlRing = nullptr;
    ControlRecord* blockControl = nullptr;  // the short frame's records; the analysis fills its first two hops
    // The sums of speed over pitch ratio of blockControl's first and second
    // hop, as GetInputRequired adds them, kept until the records change.
    mutable float hopRatioSum[2] = {};
    mutable bool hopRatioSumKnown[2] = {};
    // Whether those two hops' records are all alike, input at one speed and
    // pitch (nearly always): then each per-record sum over a hop is one value
    // added a hop's worth of times, in order, and is kept for the last value.
    mutable std::int8_t recordsAlike = -1;  // -1: not judged since the records changed
    mutable RepeatedSum<float> alikeRatioSum;
    RepeatedSum<double> alikeCreditSum;
    bool RecordsAlike() const;
    void BlockControlChanged()
    {
        hopRatioSumKnown[0] = false;
        hopRatioSumKnown[1] = false;
        recordsAlike = -1;
    }
    std::int32_t lowBinCount = 0;  // M
    float* longFrame[maxChannels] = {};
    float* longPhasor[maxChannels] = {};
    float* longSynthesis[maxChannels] = {};
    float* longSpectrumWork = nullptr;
    float* longMagnitude[maxChannels] = {};
    float* longAdvance[maxChannels] = {};
    float* longPrevPhasor[maxChannels] = {};
    float* longSynthesisPhasor[maxChannels] = {};
    float* longPower = nullptr;
    std::uint8_t* longBinCounters = nullptr;
    float* longCorrectedMagnitude[maxChannels] = {};
    float* binThresholdCurve = nullptr;
    float* envelopeWork = nullptr;  // formant correction's work space, half a block
    float tinyValue;
    std::int32_t primeCount = 0;
    float* crossoverWeight = nullptr;
    float* shortAnalysisWindow = nullptr;
    float* shortSynthesisWindow = nullptr;
    // Bins emitted below the band limit (the pitch rising) are faded out over
    // this many bins, along the falling half of the short synthesis window.
    static constexpr int taperBins = 64;
    float limitFade[taperBins] = {};
    float* longAnalysisWindow = nullptr;
    float* longSynthesisWindow = nullptr;
    float* bypassWindow = nullptr;
    HartleyTransform* shortTransform = nullptr;
    HartleyTransform* longTransform = nullptr;
    // The per-bin loops of the level the instance was built for.
    const BinLoops* binLoops = nullptr;
    std::int32_t channelCount;
    float bypassMix = 0.0f;
    // Hops the bypass accumulator must still take in before it holds every
    // frame that overlaps its finished hop: a frame's worth after a rest, 0
    // once it may fade in.
    std::int32_t bypassColdHops = 0;
    // The resampler's table (built once), its kernel work space, and per
    // channel the line of finished, bypass-mixed samples it reads: the
    // positions still to read and resamplerReach positions on each side,
    // with their records beside them.
    float* resamplerTable = nullptr;
    float* resamplerKernel = nullptr;
    float* resampleLine[maxChannels] = {};
    ResampleRecord* resampleRecords = nullptr;
    std::int32_t resampleLineLength = 0;
    // Whether the positions the last hop carried over to this one all hold
    // one record (`lineRecord`), the one it joined the line with.
    bool lineAlike = false;
    ResampleRecord lineRecord{};
    // The fraction and step the stretched kernel in resamplerKernel was built
    // for (none yet: a step of 0), its taps and its first tap's offset.
    float stretchedFraction = 0.0f;
    float stretchedRatio = 0.0f;
    std::int32_t stretchedTaps = 0;
    std::int32_t stretchedFirst = 0;
    // The formant ratio the corrected magnitudes were made with while they
    // still belong to the current magnitudes, else 0 (the analysis clears it):
    // synthesis hops without a new analysis reuse them.
    float correctedFormantRatio = 0.0f;

private:
    // Allocates `count` elements into `buffer` unless an earlier allocation
    // failed; returns false once anything failed.
    template <typename T>
    bool Allocate(T*& buffer, std::int64_t count);
    void FillCrossoverWeight(int lo, int f);
    void FillWindows();
    void FillCentreTurns();
    void FillBinThresholdCurve(float blockSeconds);
    void NormaliseLongSynthesisWindow();
    // Process without setting the thread's floating-point mode, for callers
    // that have set it already.
    int ProcessStaged();
    // Stages `frames` silent, non-input frames stamped with the current ratios.
    void StageSilence(int frames);
    // Whether an input position waits in the resampler's line, not read yet.
    bool ResamplerHoldsInput() const;
    void ClearResampleLine();
};

}  // namespace kelvane

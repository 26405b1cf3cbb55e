// The processing cycle: staged input in, finished output out, one synthesis
// hop per pass. Time is scaled by how many analysis steps run per synthesis
// hop (credit fed by the speed/pitch ratio of the hop being output), pitch by
// resampling the overlap-added result through a band-limited kernel. When every frame of the hop being
// output is input with speed equal to pitch, a plain overlap-add of the input
// (the bypass) is cross-faded in and the spectral work rests.
#include <algorithm>
#include <cmath>
#include <cstdint>

// WebAssembly has SSE's intrinsics (emulated) but no MXCSR: its floats keep
// denormals, and there is no mode to set.
#if (defined(__SSE__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 1)) && !defined(__EMSCRIPTEN__)
#include <xmmintrin.h>
#define KELVANE_HAVE_MXCSR 1
#endif

#include "engine_instance.h"
#include "overlap_add.h"

namespace kelvane {
namespace {

// Per analysis step and per output frame towards the bypass; the vocoder
// takes over ten times faster than it gives way.
constexpr float bypassFadeIn = 0.0001f;
constexpr float bypassFadeOut = 0.001f;
// Fixed gain of the bypass overlap-add: unity with the Hann window at overlap
// 4, and with the doubled window at overlap 2.
constexpr float bypassGain = 0.25f;
// The setters allow no lower pitch ratio; it bounds the frames one synthesis
// hop can write.
constexpr float lowestPitchRatio = 0.25f;

// Denormals cost far more than they are worth in the feedback paths (the
// envelope sweeps, the running phasors): they are flushed while the engine
// works. The caller's thread gets its own mode back on the way out, since
// flushing would silently change the caller's own arithmetic.
class FlushToZeroScope {
public:
    FlushToZeroScope()
    {
#if defined(KELVANE_HAVE_MXCSR)
        callerMode = _mm_getcsr() & flushToZeroBits;
        _mm_setcsr(_mm_getcsr() | flushToZeroBits);
#elif defined(__aarch64__)
        std::uint64_t control;
        __asm__ __volatile__("mrs %0, fpcr" : "=r"(control));
        callerMode = control & flushToZeroBits;
        __asm__ __volatile__("msr fpcr, %0" : : "r"(control | flushToZeroBits));
#endif
    }
    ~FlushToZeroScope()
    {
        // Only the mode is put back; exception flags raised meanwhile stay.
#if defined(KELVANE_HAVE_MXCSR)
        _mm_setcsr((_mm_getcsr() & ~flushToZeroBits) | callerMode);
#elif defined(__aarch64__)
        std::uint64_t control;
        __asm__ __volatile__("mrs %0, fpcr" : "=r"(control));
        __asm__ __volatile__("msr fpcr, %0" : : "r"((control & ~flushToZeroBits) | callerMode));
#endif
    }
    FlushToZeroScope(const FlushToZeroScope&) = delete;
    FlushToZeroScope& operator=(const FlushToZeroScope&) = delete;

private:
#if defined(KELVANE_HAVE_MXCSR)
    // MXCSR's flush-to-zero (bit 15) and denormals-are-zero (bit 6).
    static constexpr unsigned flushToZeroBits = 0x8040;
    unsigned callerMode = 0;
#elif defined(__aarch64__)
    // FPCR's flush-to-zero (bit 24).
    static constexpr std::uint64_t flushToZeroBits = std::uint64_t{1} << 24;
    std::uint64_t callerMode = 0;
#endif
};

// Speeds at or below 0 (a freeze, or an out-of-range negative speed that the
// setter applied) hold the output where it is.
inline bool Holds(float speed)
{
    return !(speed > 0.0f);
}

bool HoldAtOutput(const EngineInstance& e)
{
    if (e.RecordsAlike()) {
        return Holds(e.blockControl[0].speedRatio);
    }
    for (int k = 0; k <= e.hopLength; ++k) {
        if (Holds(e.blockControl[k].speedRatio)) {
            return true;
        }
    }
    return false;
}

// Frames staged while the engine held carry a speed of 0 (or less). Once the
// speed is raised they would stall the output where they arrive, so they play
// on at the new speed.
void ReleaseHeldRecords(EngineInstance& e, float speed)
{
    auto release = [speed](ControlRecord& record) {
        if (Holds(record.speedRatio)) {
            record.speedRatio = speed;
        }
    };
    for (int k = 0; k < e.blockLength; ++k) {
        release(e.blockControl[k]);
    }
    e.BlockControlChanged();
    for (int k = 0; k < e.frameLength; ++k) {
        release(e.analysisControlRing[k]);
    }
    for (int q = 0; q < e.inputPending; ++q) {
        release(e.inputControlRing[(e.inputReadIndex + q) & e.ringMask]);
    }
}

void GatherHop(EngineInstance& e)
{
    e.GatherAnalysisFrames();
    if (Holds(e.activeSpeedRatio)) {
        e.activeSpeedRatio = 0.0f;
    }
}

void RampBypass(EngineInstance& e, bool stretched, float fadeOut)
{
    if (stretched) {
        if (e.bypassMix > 0.0f) {
            e.bypassMix = std::max(e.bypassMix - fadeOut, 0.0f);
        }
    } else if (e.bypassMix < 1.0f && e.bypassColdHops == 0) {
        e.bypassMix = std::min(e.bypassMix + bypassFadeIn, 1.0f);
    }
}

void AnalyseHop(EngineInstance& e)
{
    // A held hop is judged like a moving one: its bins keep the phase advance
    // measured from the hop before, so a frozen sound keeps turning at its own
    // frequencies instead of repeating one frame.
    const float speed = e.activeSpeedRatio;
    if (speed == 0.0f) {
        e.activeSpeedRatio = 1.0f;
    }
    e.WindowAnalysisFrames();
    e.AnalyseShortFrame();
    e.AnalyseLongFrame();
    e.ComputePhaseAdvance(e.shortFrame, e.shortPrevPhasor, e.shortAdvance, e.shortBinCounters, e.halfBlock);
    e.ComputePhaseAdvance(e.longPhasor, e.longPrevPhasor, e.longAdvance, e.longBinCounters, e.lowBinCount);
    e.activeSpeedRatio = speed;
}

// Overlap-adds the Hann-windowed 2N frame of the analysis ring that starts at
// `start`, shifting the accumulator by one hop.
void AccumulateBypass(EngineInstance& e, int start)
{
    const int h = e.hopLength;
    const int frame = e.frameLength;
    const int carriedEnd = frame - h;
    // The frame in two runs, to the end of the ring and then from its start,
    // each cut where the carried part of the accumulator ends.
    const int firstRun = frame - start;
    const int cuts[] = {0, std::min(firstRun, carriedEnd), std::max(firstRun, carriedEnd), frame};
    for (int ch = 0; ch < e.channelCount; ++ch) {
        float* acc = e.bypassAccumulator[ch];
        for (int piece = 0; piece < 3; ++piece) {
            const int begin = cuts[piece];
            const int end = cuts[piece + 1];
            const float* ring = e.analysisRing[ch];
            const int offset = begin < firstRun ? start : -firstRun;
            overlap::AddWindowed(e.shortTransform->Level(), acc + begin, ring + begin + offset, e.bypassWindow + begin,
                                 bypassGain, end - begin, h, begin < carriedEnd);
        }
    }
}

void HandOverToBypass(EngineInstance& e)
{
    // The processed signal continues from the bypass when the vocoder comes
    // back, and its first analysis takes every bin as an onset.
    for (int ch = 0; ch < e.channelCount; ++ch) {
        std::copy(e.bypassAccumulator[ch], e.bypassAccumulator[ch] + e.frameLength, e.outputAccumulator[ch]);
    }
    std::fill(e.shortSpectrumWork, e.shortSpectrumWork + e.halfBlock, 0.0f);
    std::fill(e.shortPower, e.shortPower + e.halfBlock, 0.0f);
    std::fill(e.longSpectrumWork, e.longSpectrumWork + e.lowBinCount, 0.0f);
    std::fill(e.longPower, e.longPower + e.lowBinCount, 0.0f);
    e.powerCleared = true;
    e.longEdgeShare = 0.0;
    e.upperWatched = false;
    e.upperDeferred = -1;
}

// The first input position the resampler reads (at `position` of the line)
// tells how far the output runs after the accumulator time that consumption
// at the exact ratio gives.
void KnowOrigin(EngineInstance& e, double position, double formulaOrigin)
{
    if (!e.originKnown) {
        e.originKnown = true;
        e.originShift = static_cast<double>(e.synthesisTime) + position - resamplerReach - formulaOrigin;
    }
}

// Copies `count` positions of every channel's line from `from` into the
// output ring at `write`, across the ring's end where it wraps.
void CopyToRing(EngineInstance& e, int from, int count, int write)
{
    const int firstPart = std::min(count, e.ringLength - write);
    for (int ch = 0; ch < e.channelCount; ++ch) {
        const float* in = e.resampleLine[ch] + from;
        std::copy(in, in + firstPart, e.outputRing[ch] + write);
        std::copy(in + firstPart, in + count, e.outputRing[ch]);
    }
}

#if defined(KELVANE_EIGHT_LANES)
// The next eight reads at the steady step `step`, if all of them fall before
// `end` on input read through the unit-step kernel (known of every position
// when `known`), and the ring takes them without wrapping: then reads them at
// once, moves `position` and `write` on and returns true. The same sums as
// one at a time, so the same bits.
template <bool known>
bool ReadAtOnce(EngineInstance& e, const ResampleRecord* line, double end, double formulaOrigin, float step,
                double& position, int& write)
{
    constexpr int count = resamplerReadsAtOnce;
    if (write + count > e.ringLength) {
        return false;
    }
    const float* rows[count];
    int firsts[count];
    float fractions[count];
    bool onSample = false;
    double p = position;
    for (int i = 0; i < count; ++i) {
        if (!(p < end)) {
            return false;
        }
        const int u = static_cast<int>(p);
        if (!known) {
            const ResampleRecord& record = line[resamplerReach + u];
            if (record.isInput == 0 || (record.bypassed != 0 && step > 1.0f)) {
                return false;
            }
        }
        fractions[i] = static_cast<float>(p - u);
        onSample = onSample || fractions[i] == 0.0f;
        rows[i] = ResamplerRow(e.resamplerTable, fractions[i]);
        firsts[i] = resamplerReach + u + 1 - resamplerHalfLength;
        p += step;
    }
    KnowOrigin(e, position, formulaOrigin);
    ReadRowsEightLanes(rows, firsts, e.resampleLine, e.outputRing, write, e.channelCount);
    if (onSample) {
        // On a sample the read is the sample itself, as one at a time.
        for (int i = 0; i < count; ++i) {
            if (fractions[i] == 0.0f) {
                for (int ch = 0; ch < e.channelCount; ++ch) {
                    e.outputRing[ch][write + i] = e.resampleLine[ch][firsts[i] + resamplerHalfLength - 1];
                }
            }
        }
    }
    write = (write + count) & e.ringMask;
    e.outputAvailable += count;
    e.activePitchRatio = step;
    position = p;
    return true;
}
#endif

// Reads the line from the resampler's position up to `end` into the output
// ring. `steady`: every position up to `end` has the pitch ratio
// `steadyRatio` and so does its next one; the glide then adds f x 0, and the
// step is that ratio exactly. Each read position then follows from the last
// by one addition, not through the previous position's record.
// `plainReads`: every position up to `end` is input, read through the
// unit-step kernel.
template <bool steady>
void ReadLine(EngineInstance& e, const ResampleRecord* line, double end, double formulaOrigin,
              float steadyRatio, bool plainReads)
{
    constexpr int reach = resamplerReach;
    const SimdLevel level = e.shortTransform->Level();
    double position = e.resamplePosition;
    int write = e.outputWriteIndex;
    if (steady && steadyRatio == 1.0f && position < end && position == std::floor(position)) {
        // At unit step from a whole position every read falls on a sample:
        // the line's input positions are copied, run by run.
        const auto last = static_cast<int>(end);
        for (int u = static_cast<int>(position); u < last;) {
            if (line[reach + u].isInput == 0) {
                ++u;
                continue;
            }
            int runEnd = plainReads ? last : u + 1;
            while (runEnd < last && line[reach + runEnd].isInput != 0) {
                ++runEnd;
            }
            KnowOrigin(e, u, formulaOrigin);
            CopyToRing(e, reach + u, runEnd - u, write);
            write = (write + runEnd - u) & e.ringMask;
            e.outputAvailable += runEnd - u;
            u = runEnd;
        }
        e.activePitchRatio = steadyRatio;
        e.outputWriteIndex = write;
        e.resamplePosition = 0.0;
        return;
    }
    while (position < end) {
#if defined(KELVANE_EIGHT_LANES)
        if (steady && level == SimdLevel::avx2 &&
            (plainReads ? ReadAtOnce<true>(e, line, end, formulaOrigin, steadyRatio, position, write)
                        : ReadAtOnce<false>(e, line, end, formulaOrigin, steadyRatio, position, write))) {
            continue;
        }
#endif
        const int u = static_cast<int>(position);
        const auto f = static_cast<float>(position - u);
        const ResampleRecord& record = line[reach + u];
        // The pitch ratio, gliding towards the next position's.
        const float step =
            steady ? steadyRatio : record.pitchRatio + f * (record.nextPitchRatio - record.pitchRatio);
        if (record.isInput != 0) {
            KnowOrigin(e, position, formulaOrigin);
            // Only the bypass needs the kernel stretched when reading faster.
            const float kernelRatio = record.bypassed != 0 ? step : 1.0f;
            if (f == 0.0f && !(kernelRatio > 1.0f)) {
                // On a sample, at unit step, the kernel is a single 1.
                for (int ch = 0; ch < e.channelCount; ++ch) {
                    e.outputRing[ch][write] = e.resampleLine[ch][reach + u];
                }
            } else if (!(kernelRatio > 1.0f)) {
                const float* kernel = ResamplerRow(e.resamplerTable, f);
                const int first = reach + u + 1 - resamplerHalfLength;
                ReadThroughKernel(level, kernel, resamplerTaps, e.resampleLine, first, e.outputRing, write,
                                  e.channelCount);
            } else {
                // At a whole-number step the fraction repeats: so does the kernel.
                if (f != e.stretchedFraction || kernelRatio != e.stretchedRatio) {
                    e.stretchedTaps = BuildStretchedKernel(e.resamplerTable, f, kernelRatio, e.resamplerKernel,
                                                           e.stretchedFirst);
                    e.stretchedFraction = f;
                    e.stretchedRatio = kernelRatio;
                }
                ReadThroughKernel(level, e.resamplerKernel, e.stretchedTaps, e.resampleLine,
                                  reach + u + e.stretchedFirst, e.outputRing, write, e.channelCount);
            }
            write = (write + 1) & e.ringMask;
            ++e.outputAvailable;
        }
        e.activePitchRatio = step;
        position += step;
    }
    e.outputWriteIndex = write;
    e.resamplePosition = position - end;
}

// Pitch: both accumulators' finished positions, the bypass mixed in, join
// the resampler's line, which is read at a step of the pitch ratio (gliding
// frame by frame between neighbouring records) resamplerReach positions
// behind the newest, so that every read finds finished samples on both sides.
// Positions whose record is not input (the silence of Reset and Flush)
// advance but write nothing.
void Resample(EngineInstance& e, bool stretched, double formulaOrigin)
{
    const int h = e.hopLength;
    const int reach = resamplerReach;
    const int carried = 2 * reach;
    const ControlRecord* records = e.blockControl;
    ResampleRecord* line = e.resampleRecords;
    ResampleRecord joined{};
    bool joinedAlike = false;
    // Nearly always one of the two sounds alone all through the hop, and the
    // mix stays where it is.
    const bool vocoderAlone = stretched && e.bypassMix == 0.0f;
    const bool bypassAlone = !stretched && e.bypassMix == 1.0f;
    if (vocoderAlone || bypassAlone) {
        const auto bypassed = static_cast<std::uint8_t>(bypassAlone ? 1 : 0);
        if (e.RecordsAlike()) {
            const float pitch = records[0].pitchRatio;
            joined = ResampleRecord{pitch, pitch, records[0].isInput, bypassed};
            joinedAlike = true;
            std::fill_n(line + carried, h, joined);
        } else {
            for (int j = 0; j < h; ++j) {
                line[carried + j] =
                    ResampleRecord{records[j].pitchRatio, records[j + 1].pitchRatio, records[j].isInput, bypassed};
            }
        }
        for (int ch = 0; ch < e.channelCount; ++ch) {
            const float* alone = vocoderAlone ? e.outputAccumulator[ch] : e.bypassAccumulator[ch];
            std::copy(alone, alone + h, e.resampleLine[ch] + carried);
        }
    } else {
        for (int j = 0; j < h; ++j) {
            if (records[j].isInput != 0) {
                RampBypass(e, stretched, bypassFadeOut);
            }
            const float mix = e.bypassMix;
            const auto bypassed = static_cast<std::uint8_t>(mix > 0.0f ? 1 : 0);
            line[carried + j] =
                ResampleRecord{records[j].pitchRatio, records[j + 1].pitchRatio, records[j].isInput, bypassed};
            const float processed = 1.0f - mix;
            for (int ch = 0; ch < e.channelCount; ++ch) {
                const float vocoder = e.outputAccumulator[ch][j] * processed;
                const float bypass = mix * e.bypassAccumulator[ch][j];
                e.resampleLine[ch][carried + j] = vocoder + bypass;
            }
        }
    }

    // Nearly always the pitch ratio holds all through the hop, and every
    // position read is input read through the unit-step kernel (the bypass
    // sounding while reading faster takes the stretched one). A run of
    // positions known to hold one record is judged once.
    const float steadyRatio = line[reach].pitchRatio;
    const bool unitKernel = !(steadyRatio > 1.0f);
    bool steady = steadyRatio - steadyRatio == 0.0f;
    bool plainReads = true;
    auto judge = [&](const ResampleRecord& r) {
        steady = steady && r.pitchRatio == steadyRatio && r.nextPitchRatio == steadyRatio;
        plainReads = plainReads && r.isInput != 0 && (r.bypassed == 0 || unitKernel);
    };
    auto judgeRun = [&](bool alike, const ResampleRecord& record, int begin, int end) {
        if (alike && begin < end) {
            judge(record);
            return;
        }
        for (int j = begin; j < end; ++j) {
            judge(line[j]);
        }
    };
    // The positions carried over from the hop before, then the hop's own.
    judgeRun(e.lineAlike, e.lineRecord, reach, std::min(carried, reach + h));
    judgeRun(joinedAlike, joined, carried, reach + h);
    // The next hop's carried positions all come from this hop's own when a
    // hop is at least the resampler's reach.
    e.lineAlike = joinedAlike && h >= reach;
    e.lineRecord = joined;
    if (steady) {
        ReadLine<true>(e, line, h, formulaOrigin, steadyRatio, plainReads);
    } else {
        ReadLine<false>(e, line, h, formulaOrigin, steadyRatio, false);
    }

    // The positions behind the next read, and those not read yet, carry over.
    for (int ch = 0; ch < e.channelCount; ++ch) {
        std::copy(e.resampleLine[ch] + h, e.resampleLine[ch] + h + carried, e.resampleLine[ch]);
    }
    std::copy(line + h, line + h + carried, line);
}

// Input still to consume before the last real (pushed) frame has left the
// output position. A frame q frames after the read position (negative: in the
// analysis ring already) has left it once the hop-aligned input up to q + 2N
// has been consumed.
std::int64_t DrainLength(const EngineInstance& e)
{
    const int h = e.hopLength;
    auto consumption = [&](int q) {
        const int hops = q >= 0 ? q / h : -((-q + h - 1) / h);
        return static_cast<std::int64_t>(hops) * h + e.frameLength;
    };
    for (int q = e.inputPending - 1; q >= 0; --q) {
        if (e.inputControlRing[(e.inputReadIndex + q) & e.ringMask].isInput != 0) {
            return consumption(q);
        }
    }
    // The oldest hop of the ring has left the output position already (or, if
    // a gather was not consumed, holds a copy of pending input).
    for (int i = 1; i <= e.frameLength - h; ++i) {
        if (e.analysisControlRing[(e.analysisWriteIndex - i) & e.frameMask].isInput != 0) {
            return consumption(-i);
        }
    }
    return 0;
}

}  // namespace

int EngineInstance::Process()
{
    const FlushToZeroScope flushToZero;
    return ProcessStaged();
}

int EngineInstance::ProcessStaged()
{
    const int h = hopLength;

    // A held engine takes up a raised speed here.
    const bool wasHeld = activeSpeedRatio == 0.0f;
    if (!Holds(speedRatio) && (wasHeld || HoldAtOutput(*this))) {
        ReleaseHeldRecords(*this, speedRatio);
    }
    activeSpeedRatio = wasHeld ? speedRatio : blockControl[0].speedRatio;
    if (Holds(activeSpeedRatio)) {
        activeSpeedRatio = 0.0f;
    }
    inputRequired = GetInputRequired();

    // No more input is waited for than the rings can feed in one go, and
    // out-of-range speeds count for no more than that.
    const int longestDemand = ringLength / 2;
    const double highestRatio = static_cast<double>(longestDemand) / h;
    // Frames one synthesis hop can write at most.
    const int longestHop = static_cast<int>(static_cast<float>(h) / lowestPitchRatio) + 2;

    for (;;) {
        const bool held = activeSpeedRatio == 0.0f;
        if (!held && !(inputPending >= std::min(inputRequired, longestDemand) && inputPending >= h)) {
            break;
        }
        // Never overwrite output that was not pulled: wait for the caller.
        if (outputAvailable > ringLength - longestHop) {
            break;
        }

        // A held hop counts as stretched, so a frozen sound keeps its vocoder
        // spectrum and never fades to the bypass.
        bool stretched = held;
        if (held && (shortOnset.live || longOnset.live)) {
            DropOnsets();
        }
        int extraAnalyses = 0;
        bool analysed = false;
        synthesisTime += h;
        bool gathered = false;
        double creditAdded = 0.0;
        if (!held) {
            GatherHop(*this);
            gathered = true;
            stretched = activeSpeedRatio == 0.0f;
            // Neighbouring records nearly always carry the same ratios: divide
            // only when they change.
            const ControlRecord* records = blockControl;
            float speed = records[0].speedRatio;
            float pitch = records[0].pitchRatio;
            double ratio = static_cast<double>(speed) / pitch;
            double credit = ratio > 0.0 ? std::min(ratio, highestRatio) : 0.0;
            stretched = stretched || ratio != 1.0;
            if (RecordsAlike()) {
                creditAdded = alikeCreditSum.Of(credit, h);
            } else {
                for (int k = 0; k < h; ++k) {
                    if (records[k].speedRatio != speed || records[k].pitchRatio != pitch) {
                        speed = records[k].speedRatio;
                        pitch = records[k].pitchRatio;
                        ratio = static_cast<double>(speed) / pitch;
                        credit = ratio > 0.0 ? std::min(ratio, highestRatio) : 0.0;
                        stretched = stretched || ratio != 1.0;
                    }
                    stretched = stretched || records[k].isInput == 0;
                    creditAdded += credit;
                }
            }
            analysisCredit += creditAdded;
            // Where the onsets watch the long spectrum above its low band at
            // every analysis, the analyses make it whole at once.
            longSpectrumRead = WatchesUpperBand(creditAdded / h);
        }

        bool consumed = false;
        while ((analysisCredit >= h || (primeCount != 0 && activeSpeedRatio == 0.0f)) && inputPending >= h) {
            // Priming while held costs no credit: the output is held anyway.
            analysisCredit = std::max(analysisCredit - h, 0.0);
            // Every hop is copied into the ring before it is consumed, so the
            // ring always holds the input the position has passed.
            if (!gathered) {
                GatherHop(*this);
            }
            RampBypass(*this, stretched, bypassFadeIn);
            if (bypassMix < 1.0f) {
                AnalyseHop(*this);
                analysed = true;
                // Where the frames would start had the input been consumed
                // exactly at this hop's ratio: the credit is input owed.
                const std::int64_t frameStart = consumedFrames + h - frameLength;
                const double idealStart = static_cast<double>(frameStart) + analysisCredit;
                FollowOnsets(frameStart, idealStart, creditAdded / h);
                if (primeCount != 0) {
                    primeCount -= h;
                }
                // Another step follows in this synthesis hop: this hop is passed
                // over, but its phase restarts must take effect (without them
                // a phasor cleared by Reset would never sound).
                const bool primingHeld = primeCount != 0 && activeSpeedRatio == 0.0f && inputPending >= 2 * h;
                if (analysisCredit >= h || primingHeld) {
                    ++extraAnalyses;
                    ResynthesiseHop(extraAnalyses == 1 ? onsetsShifted : phaseResetsOnly);
                }
            }
            inputPending -= h;
            consumedFrames += h;
            analysisWriteIndex = (analysisWriteIndex + h) & frameMask;
            inputReadIndex = (inputReadIndex + h) & ringMask;
            gathered = false;
            consumed = true;
        }

        // The bypass frame starts where the analysis frames start: one hop on
        // after a gather that was not consumed (slowing down). While the
        // vocoder sounds alone and stays, nothing reads the bypass: it rests,
        // and is taken up again a frame's worth of hops before it may fade in.
        if (bypassMix > 0.0f || !stretched) {
            AccumulateBypass(*this, gathered ? (analysisWriteIndex + h) & frameMask : analysisWriteIndex);
            bypassColdHops = std::max(bypassColdHops - 1, 0);
        } else {
            bypassColdHops = frameLength / h;
        }

        if (bypassMix == 1.0f) {
            HandOverToBypass(*this);
        } else {
            if (!analysed) {
                HoldRestartedBins();
            }
            ResynthesiseHop(extraAnalyses != 0 ? allBinsInPlace : allBinsShifted);
        }
        // The accumulator time at which consumption at this hop's exact ratio
        // would bring the first input frame out.
        double formulaOrigin = static_cast<double>(synthesisTime);
        if (creditAdded > 0.0) {
            const double consumed = static_cast<double>(consumedFrames) + analysisCredit - frameLength;
            formulaOrigin -= consumed / (creditAdded / h);
        }
        Resample(*this, stretched, formulaOrigin);

        inputRequired = GetInputRequired();
        if ((inputPending == 0 && inputRequired == 0) || activeSpeedRatio == 0.0f) {
            break;
        }
        // A hop that consumed nothing and added no credit would repeat forever.
        if (!consumed && !(creditAdded > 0.0)) {
            break;
        }
    }
    return outputAvailable;
}

int EngineInstance::Flush()
{
    const FlushToZeroScope flushToZero;
    // The rest of the input is played out even while held: at the set speed,
    // or at normal speed when that is 0 or less.
    const float heldSpeed = speedRatio;
    if (Holds(speedRatio)) {
        speedRatio = 1.0f;
    }
    ProcessStaged();

    // The silence staged here is not input: it pushes the last real frames
    // through the window and yields no output of its own. Drain until the
    // last real frame has left the output position and the resampler has
    // read it, and no further.
    std::int64_t toConsume = DrainLength(*this);
    while (toConsume > 0 || ResamplerHoldsInput()) {
        const int wanted = std::max(std::min(GetInputRequired(), ringLength / 2), hopLength);
        if (inputPending < wanted) {
            StageSilence(wanted - inputPending);
        }
        const int before = inputPending;
        ProcessStaged();
        if (inputPending == before) {
            // The output ring is full: the rest follows on the next Flush.
            break;
        }
        toConsume -= before - inputPending;
    }
    speedRatio = heldSpeed;
    return outputAvailable;
}

bool EngineInstance::ResamplerHoldsInput() const
{
    for (int i = resamplerReach + static_cast<int>(resamplePosition); i < 2 * resamplerReach; ++i) {
        if (resampleRecords[i].isInput != 0) {
            return true;
        }
    }
    return false;
}

void EngineInstance::StageSilence(int frames)
{
    const ControlRecord silent{speedRatio, pitchRatio, 0};
    int w = inputWriteIndex;
    for (int i = 0; i < frames; ++i) {
        for (int ch = 0; ch < channelCount; ++ch) {
            inputRing[ch][w] = 0.0f;
        }
        inputControlRing[w] = silent;
        w = (w + 1) & ringMask;
    }
    inputWriteIndex = w;
    inputPending += frames;
}

}  // namespace kelvane

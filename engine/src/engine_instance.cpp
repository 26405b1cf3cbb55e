#include "engine_instance.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "aligned_memory.h"
#include "table_precision.h"

namespace kelvane {

namespace {

constexpr int stagingRingLength = 65536;
// The caches start at a value no valid argument can equal, so the first call
// of each setter always takes effect.
constexpr std::uint32_t unsetCacheBits = 0xC61C4C00;  // -10003.0

}  // namespace

template <typename T>
bool EngineInstance::Allocate(T*& buffer, std::int64_t count)
{
    if (failed) {
        return false;
    }
    const auto bytes = static_cast<std::size_t>(count) * sizeof(T);
    buffer = static_cast<T*>(AlignedAllocate(bytes));
    if (buffer == nullptr) {
        failed = true;
        return false;
    }
    // Fresh memory is zeroed so that nothing ever reads an undefined value,
    // including the arrays that Reset deliberately leaves alone.
    std::memset(static_cast<void*>(buffer), 0, bytes);
    return true;
}

EngineInstance::EngineInstance(int rate, int channels, int n, float scale, int qualityLevel)
{
    failed = false;

    channelCount = channels;
    sampleRate = static_cast<float>(rate);
    blockLength = n;
    frameLength = 2 * n;
    frameMask = 2 * n - 1;
    halfBlock = n / 2;
    rateScale = scale;
    quality = qualityLevel;
    ringLength = stagingRingLength;
    ringMask = stagingRingLength - 1;

    formantRatio = 1.0f;
    activePitchRatio = 1.0f;
    pitchRatio = 1.0f;
    speedRatio = 1.0f;

    overlap = quality == 0 ? 2.0f : 4.0f;
    hopLength = n / static_cast<int>(overlap);

    analysisCredit = 0.0;
    resamplePosition = 0.0;
    pitchSemitoneCache = FloatFromBits(unsetCacheBits);
    speedPercentCache = FloatFromBits(unsetCacheBits);
    formantSemitoneCache = FloatFromBits(unsetCacheBits);

    inputPending = 0;
    inputWriteIndex = 0;
    inputReadIndex = 0;
    outputAvailable = 0;
    outputWriteIndex = 0;
    outputReadIndex = 0;
    tinyValue = FloatFromBits(0x0DA24260);  // 1.0e-30

    binLoops = &BinLoopsFor(SelectedSimdLevel());
    shortTransform = CreateObject<HartleyTransform>(n);
    if (shortTransform == nullptr || !shortTransform->IsPrepared()) {
        failed = true;
    }
    longTransform = failed ? nullptr : CreateObject<HartleyTransform>(2 * n);
    if (!failed && (longTransform == nullptr || !longTransform->IsPrepared())) {
        failed = true;
    }

    // Crossover between the long (bass) and the short spectrum: the fade
    // starts near 775 Hz and ends near 1200 Hz at every rate.
    const float blockSeconds = 1.0f / (sampleRate / static_cast<float>(n));
    int f = static_cast<int>(rateScale * 1200.0f * blockSeconds);
    f += (f & 1) ? 1 : 2;
    lowBinCount = 2 * f;
    const int lo = static_cast<int>(rateScale * 800.0f * blockSeconds);

    const int half = n / 2;
    const int m = lowBinCount;
    Allocate(blockControl, n);
    Allocate(shortAnalysisWindow, n);
    Allocate(binThresholdCurve, half);
    Allocate(crossoverWeight, n);
    Allocate(envelopeWork, half);
    Allocate(shortSynthesisWindow, n);
    Allocate(shortSpectrumWork, half + 1);
    Allocate(shortPower, half);
    Allocate(shortBinCounters, half);
    Allocate(linkedMagnitude, n);
    Allocate(linkedRotation, n);
    Allocate(shortOnsetBins, half);
    Allocate(shortCentreTurn, n);
    Allocate(onsetTurn, n);
    Allocate(borrowedBins, half);
    Allocate(upperPower, half);
    Allocate(upperPowerBefore, half);
    Allocate(inputControlRing, ringLength);
    // The line: the carried positions on both sides of a hop, the hop, and
    // the zero taps a kernel rounded up to whole lanes may reach past it.
    resampleLineLength = 2 * resamplerReach + hopLength + resamplerLanes;
    Allocate(resamplerTable, resamplerTableLength);
    Allocate(resamplerKernel, resamplerLongestKernel);
    Allocate(resampleRecords, resampleLineLength);
    Allocate(analysisControlRing, 2 * n);
    for (int ch = 0; ch < channelCount; ++ch) {
        Allocate(bypassAccumulator[ch], 2 * n);
        Allocate(outputRing[ch], ringLength);
        Allocate(inputRing[ch], ringLength);
        Allocate(outputAccumulator[ch], 2 * n);
        Allocate(analysisRing[ch], 2 * n);
        Allocate(resampleLine[ch], resampleLineLength);
        Allocate(shortMagnitude[ch], half + 160);
        Allocate(shortCorrectedMagnitude[ch], half + 160);
        Allocate(shortAdvance[ch], n);
        Allocate(shortFrame[ch], n + 1);
        Allocate(shortSynthesis[ch], n + 1);
        Allocate(shortPrevPhasor[ch], n);
        Allocate(shortSynthesisPhasor[ch], n);
        Allocate(shortPeak[ch], half);
        Allocate(shortOnsetSpectrum[ch], n);
    }
    Allocate(longAnalysisWindow, 2 * n);
    Allocate(longSynthesisWindow, 2 * n);
    Allocate(bypassWindow, 2 * n);
    Allocate(longSpectrumWork, n + 1);
    Allocate(longPower, m);
    Allocate(longBinCounters, m);
    Allocate(longOnsetBins, m);
    Allocate(longCentreTurn, 2 * m);
    for (int ch = 0; ch < channelCount; ++ch) {
        Allocate(longMagnitude[ch], m);
        Allocate(longCorrectedMagnitude[ch], m);
        Allocate(longAdvance[ch], 2 * m);
        Allocate(longFrame[ch], 2 * n);
        Allocate(longPhasor[ch], 2 * n);
        Allocate(longSynthesis[ch], 2 * n);
        Allocate(longPrevPhasor[ch], 2 * m);
        Allocate(longSynthesisPhasor[ch], 2 * m);
        Allocate(longPeak[ch], m);
        Allocate(longOnsetSpectrum[ch], 2 * n);
    }
    if (failed) {
        return;
    }

    FillCrossoverWeight(lo, f);
    FillWindows();
    FillCentreTurns();
    FillResamplerTable(resamplerTable);
    synthesisGain = 2.0f / static_cast<float>(n) / overlap;
    FillBinThresholdCurve(blockSeconds);
    NormaliseLongSynthesisWindow();
    Reset();
}

EngineInstance::~EngineInstance()
{
    DestroyObject(shortTransform);
    DestroyObject(longTransform);
    void* shared[] = {blockControl,        shortAnalysisWindow,  binThresholdCurve,   crossoverWeight,
                      envelopeWork,        shortSynthesisWindow, shortSpectrumWork,   shortPower,
                      shortBinCounters,    inputControlRing,     analysisControlRing, longAnalysisWindow,
                      longSynthesisWindow, bypassWindow,         longSpectrumWork,    longPower,
                      longBinCounters,     linkedMagnitude,      linkedRotation,      shortOnsetBins,
                      longOnsetBins,       shortCentreTurn,      longCentreTurn,      onsetTurn,
                      resamplerTable,      resamplerKernel,      resampleRecords,     borrowedBins,
                      upperPower,          upperPowerBefore};
    for (void* buffer : shared) {
        AlignedRelease(buffer);
    }
    for (int ch = 0; ch < channelCount; ++ch) {
        float* perChannel[] = {bypassAccumulator[ch], outputRing[ch],       inputRing[ch],
                               outputAccumulator[ch], analysisRing[ch],     shortMagnitude[ch],
                               shortCorrectedMagnitude[ch], shortAdvance[ch], shortFrame[ch],
                               shortSynthesis[ch],    shortPrevPhasor[ch],  shortSynthesisPhasor[ch],
                               longMagnitude[ch],     longCorrectedMagnitude[ch], longAdvance[ch],
                               longFrame[ch],         longPhasor[ch],       longSynthesis[ch],
                               longPrevPhasor[ch],    longSynthesisPhasor[ch], resampleLine[ch],
                               shortOnsetSpectrum[ch], longOnsetSpectrum[ch]};
        for (float* buffer : perChannel) {
            AlignedRelease(buffer);
        }
        AlignedRelease(shortPeak[ch]);
        AlignedRelease(longPeak[ch]);
    }
}

void EngineInstance::FillCrossoverWeight(int lo, int f)
{
    for (int i = 0; i < 2 * lo; ++i) {
        crossoverWeight[i] = 1.0f;
    }
    // The first entry of the fade is 1.0 as well.
    crossoverStart = 2 * lo + 1;
    // Raised-cosine fade; the step is negative, accumulated in single
    // precision, the cosine taken in the tables' precision.
    const float pi = FloatFromBits(0x40490FDB);
    const float step = pi / static_cast<float>(2 * lo - 2 * f);
    float angle = 0.0f;
    for (int i = 2 * lo; i < 2 * f; ++i) {
        const TableReal half{0.5};
        crossoverWeight[i] = static_cast<float>(half + half * std::cos(static_cast<TableReal>(angle)));
        angle += step;
    }
    for (int i = 2 * f; i < blockLength; ++i) {
        crossoverWeight[i] = 0.0f;
    }
}

namespace {

// Sine window: sin(i pi / (L - 1)), the angle accumulated in the tables' precision.
void FillSineWindow(float* window, int length)
{
    const TableReal step = TableReal{4.0} * std::atan(TableReal{1.0}) / static_cast<TableReal>(length - 1);
    TableReal angle = TableReal{0.0};
    for (int i = 0; i < length; ++i) {
        window[i] = static_cast<float>(std::sin(angle));
        angle += step;
    }
}

// Hann window: (1 - cos(2 i pi / (L - 1))) / 2, scaled.
void FillHannWindow(float* window, int length, TableReal scale)
{
    const TableReal step = TableReal{8.0} * std::atan(TableReal{1.0}) / static_cast<TableReal>(length - 1);
    TableReal angle = TableReal{0.0};
    for (int i = 0; i < length; ++i) {
        window[i] = static_cast<float>((TableReal{1.0} - std::cos(angle)) * TableReal{0.5} * scale);
        angle += step;
    }
}

}  // namespace

// Bin k of a frame of length L turns by 2 pi k h / L over a hop h at its
// centre frequency.
void EngineInstance::FillCentreTurns()
{
    auto fill = [this](float* turn, int bins, int length) {
        for (int k = 0; k < bins; ++k) {
            const auto steps = static_cast<TableReal>((static_cast<std::int64_t>(k) * hopLength) % length);
            const TableReal angle = TableReal{2.0} * std::numbers::pi_v<TableReal> * steps / length;
            turn[k] = static_cast<float>(std::cos(angle));
            turn[bins + k] = static_cast<float>(std::sin(angle));
        }
    };
    fill(shortCentreTurn, halfBlock, blockLength);
    fill(longCentreTurn, lowBinCount, frameLength);
}

void EngineInstance::FillWindows()
{
    // Each synthesis window starts as its analysis window.
    FillSineWindow(shortAnalysisWindow, blockLength);
    std::copy(shortAnalysisWindow, shortAnalysisWindow + blockLength, shortSynthesisWindow);
    FillSineWindow(longAnalysisWindow, frameLength);
    std::copy(longAnalysisWindow, longAnalysisWindow + frameLength, longSynthesisWindow);
    const int half = blockLength / 2;
    for (int d = 0; d < taperBins; ++d) {
        limitFade[d] = shortSynthesisWindow[half + (d * half) / taperBins];
    }
    // At overlap 2 the doubled window keeps the bypass overlap-add at unity gain.
    FillHannWindow(bypassWindow, frameLength, quality == 0 ? TableReal{2.0} : TableReal{1.0});
}

void EngineInstance::FillBinThresholdCurve(float blockSeconds)
{
    // Largest hop-to-hop power rise a bin may show and still count as steady:
    // generous at the lowest bins, falling to `end` at about 1500 Hz.
    const bool fineCurve = quality == 1;
    const float start = fineCurve ? 4.0f : 3.2f;
    const float end = fineCurve ? 1.8f : 1.4f;
    const float edge = 1500.0f;
    const float shape = fineCurve ? 0.3f : 0.0f;

    const TableReal g = std::pow(TableReal{1.0} - static_cast<TableReal>(shape), 4);
    const TableReal one{1.0};
    const TableReal half{0.5};
    const auto c = static_cast<float>(half * (one - g) * (one - g) - half);
    int k = static_cast<int>(rateScale * edge * blockSeconds);
    if (k >= halfBlock) {
        k = halfBlock - 1;
    }
    const float a = rateScale * start;
    const float b = rateScale * end;
    for (int i = 0; i < k; ++i) {
        const float m = static_cast<float>(i) / static_cast<float>(k);
        binThresholdCurve[i] = a + (b - a) * m / ((m - 1.0f) * c + m);
    }
    for (int i = k; i < halfBlock; ++i) {
        binThresholdCurve[i] = b;
    }
}

void EngineInstance::NormaliseLongSynthesisWindow()
{
    // Both paths must pass at unity gain: scale the long pair of windows to
    // the short pair, halved for the doubled transform length.
    float shortSum = 0.0f;
    for (int i = 0; i < blockLength; ++i) {
        shortSum += shortAnalysisWindow[i] * shortSynthesisWindow[i];
    }
    float longSum = 0.0f;
    for (int i = 0; i < frameLength; ++i) {
        longSum += longAnalysisWindow[i] * longSynthesisWindow[i];
    }
    const float factor = (shortSum / longSum) * 0.5f;
    for (int i = 0; i < frameLength; ++i) {
        longSynthesisWindow[i] *= factor;
    }
}

void EngineInstance::StoreSpeedRatio(float ratio)
{
    speedRatio = ratio;
    if (ratio <= 0.0f) {
        // One more analysis step as the output freezes. A negative speed
        // (out of range, applied all the same) holds just like 0.
        analysisCredit = hopLength;
    }
}

void EngineInstance::ClearResampleLine()
{
    for (int ch = 0; ch < channelCount; ++ch) {
        std::memset(resampleLine[ch], 0, sizeof(float) * resampleLineLength);
    }
    const ResampleRecord silent{pitchRatio, pitchRatio, 0, 0};
    for (int i = 0; i < resampleLineLength; ++i) {
        resampleRecords[i] = silent;
    }
    lineAlike = false;
}

void EngineInstance::Reset()
{
    bypassMix = speedRatio / pitchRatio == 1.0f ? 1.0f : 0.0f;
    // Reset clears the accumulator: it holds the silence before the input.
    bypassColdHops = 0;
    analysisWriteIndex = 0;
    inputPending = 0;
    inputWriteIndex = 0;
    inputReadIndex = 0;
    outputAvailable = 0;
    outputWriteIndex = 0;
    outputReadIndex = 0;

    const int half = halfBlock;
    const int n = blockLength;
    const int m = lowBinCount;
    std::memset(shortPower, 0, sizeof(float) * half);
    std::memset(shortBinCounters, 0, half);
    for (int ch = 0; ch < channelCount; ++ch) {
        std::memset(outputAccumulator[ch], 0, sizeof(float) * frameLength);
        std::memset(shortMagnitude[ch], 0, sizeof(float) * (half + 160));
        std::memset(shortCorrectedMagnitude[ch], 0, sizeof(float) * (half + 160));
        std::memset(shortAdvance[ch], 0, sizeof(float) * n);
        std::memset(shortFrame[ch], 0, sizeof(float) * (n + 1));
        std::memset(shortSynthesis[ch], 0, sizeof(float) * (n + 1));
        std::memset(shortSynthesisPhasor[ch], 0, sizeof(float) * n);
        std::memset(shortPrevPhasor[ch], 0, sizeof(float) * n);
        std::memset(shortOnsetSpectrum[ch], 0, sizeof(float) * n);
        std::memset(longOnsetSpectrum[ch], 0, sizeof(float) * 2 * n);
    }
    std::memset(longPower, 0, sizeof(float) * m);
    std::memset(longBinCounters, 0, m);
    std::memset(shortOnsetBins, 0, half);
    std::memset(longOnsetBins, 0, m);
    shortOnset = OnsetTrack{};
    longOnset = OnsetTrack{};
    consumedFrames = 0;
    synthesisTime = 0;
    analysedFrameStart = 0;
    powerCleared = false;
    longEdgeShare = 0.0;
    longFloorKept = 1.0;
    upperWatched = false;
    upperPreviousPower = 0.0;
    upperUsualRise = 0.0;
    upperDeferred = -1;
    originKnown = false;
    originShift = 0.0;
    // The magnitudes are cleared: no peaks or corrections are kept.
    shortPeakEnd = 0;
    longPeakEnd = 0;
    correctedFormantRatio = 0.0f;
    for (int ch = 0; ch < channelCount; ++ch) {
        std::memset(longMagnitude[ch], 0, sizeof(float) * m);
        std::memset(longCorrectedMagnitude[ch], 0, sizeof(float) * m);
        std::memset(longAdvance[ch], 0, sizeof(float) * 2 * m);
        std::memset(longSynthesisPhasor[ch], 0, sizeof(float) * 2 * m);
        std::memset(longPrevPhasor[ch], 0, sizeof(float) * 2 * m);
    }

    // Silence that is not input: it primes the window and never reaches the output.
    const ControlRecord silent{speedRatio, pitchRatio, 0};
    for (int i = 0; i < n; ++i) {
        blockControl[i] = silent;
    }
    BlockControlChanged();
    for (int k = 0; k < frameLength; ++k) {
        for (int ch = 0; ch < channelCount; ++ch) {
            analysisRing[ch][k] = 0.0f;
        }
        analysisControlRing[k] = silent;
    }
    for (int k = 0; k < ringLength; ++k) {
        for (int ch = 0; ch < channelCount; ++ch) {
            inputRing[ch][k] = 0.0f;
        }
        inputControlRing[k] = silent;
    }

    // The resampler reads resamplerReach positions behind the accumulator: it
    // starts that far on, so that its reads land where they would without
    // the delay.
    resamplePosition = resamplerReach;
    ClearResampleLine();
    analysisCredit = 0.0;
    activePitchRatio = pitchRatio;
    speedPercentCache = FloatFromBits(unsetCacheBits);
    formantSemitoneCache = FloatFromBits(unsetCacheBits);
    inputRequired = 0;
    primeCount = frameLength;
}

}  // namespace kelvane

// Sizes, tables and windows of an instance, and creation under memory failure.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <set>

#include "aligned_memory.h"
#include "engine_instance.h"
#include "kelvane/engine.h"

namespace {

using kelvane::EngineInstance;

struct Created {
    explicit Created(int rate, int channels = 2, int quality = 1)
    {
        EXPECT_EQ(CreateInstance(&engine, rate, channels, quality), KELVANE_OK);
    }
    ~Created() { DestroyInstance(&engine); }
    EngineInstance& operator*() const { return *static_cast<EngineInstance*>(engine->instance); }
    EngineInstance* operator->() const { return static_cast<EngineInstance*>(engine->instance); }
    EngineInterface* engine = nullptr;
};

struct BandFigures {
    int rate;
    int blockLength;
    int lowBinCount;
    float rateScale;
};

TEST(EngineInstance, SizesFollowTheSampleRateBand)
{
    const BandFigures bands[] = {
        {32000, 1024, 56, 32000.0f / 44100.0f}, {44100, 1024, 56, 1.0f},
        {48000, 1024, 56, 1.0884354f},          {48001, 2048, 80, 0.7500157f},
        {64000, 2048, 80, 1.0f},                {96000, 4096, 104, 1.0f},
        {192000, 4096, 52, 1.0f},               {196000, 4096, 52, 196000.0f / 192000.0f},
    };
    for (const BandFigures& band : bands) {
        for (int quality : {0, 1}) {
            Created instance(band.rate, 2, quality);
            const int n = band.blockLength;
            SCOPED_TRACE(band.rate);
            EXPECT_EQ(instance->blockLength, n);
            EXPECT_EQ(instance->frameLength, 2 * n);
            EXPECT_EQ(instance->frameMask, 2 * n - 1);
            EXPECT_EQ(instance->halfBlock, n / 2);
            EXPECT_EQ(instance->hopLength, quality == 0 ? n / 2 : n / 4);
            EXPECT_EQ(instance->overlap, quality == 0 ? 2.0f : 4.0f);
            EXPECT_EQ(instance->synthesisGain, 2.0f / static_cast<float>(n) / instance->overlap);
            EXPECT_NEAR(instance->rateScale, band.rateScale, 1e-6f);
            EXPECT_EQ(instance->lowBinCount % 4, 0) << "bin loops run four at a time";
            EXPECT_EQ(instance->ringLength, 65536);
            EXPECT_EQ(instance->ringMask, 65535);
            EXPECT_EQ(instance->sampleRate, static_cast<float>(band.rate));
            EXPECT_EQ(instance->lowBinCount, band.lowBinCount) << "the crossover sits near 1200 Hz";
        }
    }
    Created reference(44100);
    EXPECT_EQ(reference->synthesisGain, 0.00048828125f);
}

TEST(EngineInstance, CrossoverFadesBetweenTheTwoResolutions)
{
    Created instance(44100);
    const float* weight = instance->crossoverWeight;
    for (int i = 0; i < 36; ++i) {
        EXPECT_EQ(weight[i], 1.0f) << i;
    }
    EXPECT_EQ(weight[36], 1.0f);
    for (int i = 37; i < 56; ++i) {
        EXPECT_LT(weight[i], weight[i - 1]) << i;
    }
    EXPECT_EQ(instance->crossoverStart, 37) << "the first long bin the short band shares";
    EXPECT_LT(weight[55], 0.01f);
    EXPECT_GT(weight[55], 0.0f);
    for (int i = 56; i < 1024; ++i) {
        EXPECT_EQ(weight[i], 0.0f) << i;
    }
    // Half way through the fade both paths share equally.
    EXPECT_NEAR(weight[36 + 10], 0.5f, 0.04f);
}

TEST(EngineInstance, ThresholdCurveFallsToItsEdge)
{
    for (int quality : {0, 1}) {
        Created instance(44100, 1, quality);
        const float start = quality == 1 ? 4.0f : 3.2f;
        const float end = quality == 1 ? 1.8f : 1.4f;
        const float* curve = instance->binThresholdCurve;
        EXPECT_EQ(curve[0], start);
        for (int i = 1; i < 34; ++i) {
            EXPECT_LT(curve[i], curve[i - 1]);
            EXPECT_GT(curve[i], end);
        }
        for (int i = 34; i < 512; ++i) {
            EXPECT_EQ(curve[i], end) << "K = 34 at 44100 Hz";
        }
        if (quality == 0) {
            // shape 0: a + (b - a) 2t / (t + 1)
            const float t = 10.0f / 34.0f;
            EXPECT_NEAR(curve[10], start + (end - start) * 2.0f * t / (t + 1.0f), 1e-5f);
        }
    }
    // The curve scales with the rate inside a band.
    Created higher(48000);
    EXPECT_NEAR(higher->binThresholdCurve[0], 4.0f * 1.0884354f, 1e-5f);
}

TEST(EngineInstance, Windows)
{
    Created instance(44100);

    auto checkSine = [](const float* window, int length) {
        EXPECT_EQ(window[0], 0.0f);
        EXPECT_NEAR(window[length - 1], 0.0f, 1e-6f);
        for (int i = 0; i < length; ++i) {
            EXPECT_NEAR(window[i], std::sin(i * M_PI / (length - 1)), 2e-7) << i;
        }
    };
    checkSine(instance->shortAnalysisWindow, 1024);
    checkSine(instance->shortSynthesisWindow, 1024);
    checkSine(instance->longAnalysisWindow, 2048);

    // The long synthesis window is scaled so that the long pair of windows
    // carries half the short pair's energy (the transform is twice as long).
    double shortSum = 0.0;
    double longSum = 0.0;
    for (int i = 0; i < 1024; ++i) {
        shortSum += instance->shortAnalysisWindow[i] * instance->shortSynthesisWindow[i];
    }
    for (int i = 0; i < 2048; ++i) {
        longSum += instance->longAnalysisWindow[i] * instance->longSynthesisWindow[i];
    }
    EXPECT_NEAR(longSum / shortSum, 0.5, 1e-5);

    Created overlapTwo(44100, 1, 0);
    for (int i = 0; i < 2048; ++i) {
        const double hann = (1.0 - std::cos(2.0 * M_PI * i / 2047.0)) * 0.5;
        EXPECT_NEAR(instance->bypassWindow[i], hann, 2e-7) << i;
        EXPECT_NEAR(overlapTwo->bypassWindow[i], 2.0 * hann, 4e-7) << i;
    }
}

TEST(EngineInstance, EveryBufferIsAlignedAndTheStartStateIsPrimed)
{
    Created instance(44100, 8);
    const EngineInstance& s = *instance;
    std::set<const void*> buffers = {s.shortSpectrumWork, s.shortPower, s.shortBinCounters, s.inputControlRing,
                                     s.analysisControlRing, s.blockControl, s.longSpectrumWork, s.longPower,
                                     s.longBinCounters, s.binThresholdCurve, s.envelopeWork,
                                     s.crossoverWeight, s.shortAnalysisWindow, s.shortSynthesisWindow,
                                     s.longAnalysisWindow, s.longSynthesisWindow, s.bypassWindow,
                                     s.resamplerTable, s.resamplerKernel, s.resampleRecords};
    for (int ch = 0; ch < 8; ++ch) {
        for (const float* buffer :
             {s.analysisRing[ch], s.outputAccumulator[ch], s.shortFrame[ch], s.shortSynthesis[ch],
              s.shortMagnitude[ch], s.shortAdvance[ch], s.shortPrevPhasor[ch], s.shortSynthesisPhasor[ch],
              s.bypassAccumulator[ch], s.shortCorrectedMagnitude[ch], s.outputRing[ch], s.inputRing[ch],
              s.longFrame[ch], s.longPhasor[ch], s.longSynthesis[ch], s.longMagnitude[ch], s.longAdvance[ch],
              s.longPrevPhasor[ch], s.longSynthesisPhasor[ch], s.longCorrectedMagnitude[ch],
              s.resampleLine[ch]}) {
            buffers.insert(buffer);
        }
    }
    EXPECT_EQ(buffers.size(), 20u + 8u * 21u) << "every buffer is a block of its own";
    for (const void* buffer : buffers) {
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer) % 16, 0u);
    }
    EXPECT_EQ(s.primeCount, s.frameLength);
    EXPECT_EQ(s.bypassMix, 1.0f);
    EXPECT_EQ(s.inputControlRing[65535].isInput, 0);
    EXPECT_EQ(s.blockControl[0].speedRatio, 1.0f);
    EXPECT_EQ(s.tinyValue, 1.0e-30f);
}

// Counts live raw blocks and fails the allocation with a chosen number.
struct FailingAllocator {
    static inline long calls = 0;
    static inline long live = 0;
    static inline long failAt = -1;
    static void* Allocate(std::size_t bytes)
    {
        if (++calls == failAt) {
            return nullptr;
        }
        ++live;
        return std::malloc(bytes);
    }
    static void Release(void* block)
    {
        --live;
        std::free(block);
    }
    static void Arm(long failingCall)
    {
        calls = 0;
        live = 0;
        failAt = failingCall;
        kelvane::SetRawAllocator(&Allocate, &Release);
    }
};

TEST(EngineInstance, OutOfMemoryAtAnyAllocationLeavesNothingBehind)
{
    for (int channels : {1, 3}) {
        FailingAllocator::Arm(-1);
        EngineInterface* engine = nullptr;
        ASSERT_EQ(CreateInstance(&engine, 44100, channels, 1), KELVANE_OK);
        const long allocations = FailingAllocator::calls;
        DestroyInstance(&engine);
        EXPECT_EQ(FailingAllocator::live, 0);
        // interface, instance, two transforms with two tables each, 28 shared
        // buffers... at least one block per buffer of every channel.
        EXPECT_GE(allocations, 2 + 6 + 17 + 20 * channels);

        for (long k = 1; k <= allocations; ++k) {
            FailingAllocator::Arm(k);
            engine = reinterpret_cast<EngineInterface*>(0x1);
            EXPECT_EQ(CreateInstance(&engine, 44100, channels, 1), KELVANE_ERROR_OUT_OF_MEMORY) << k;
            EXPECT_EQ(engine, nullptr) << k;
            EXPECT_EQ(FailingAllocator::live, 0) << "allocation " << k << " failed and something leaked";
        }
    }
    kelvane::RestoreRawAllocator();
    EXPECT_STREQ(GetErrorText(KELVANE_ERROR_OUT_OF_MEMORY), "Out of memory.");
}

TEST(EngineInstance, OutOfMemoryDuringARateChangeLeavesNoInstance)
{
    EngineInterface* engine = nullptr;
    ASSERT_EQ(CreateInstance(&engine, 44100, 2, 1), KELVANE_OK);
    FailingAllocator::Arm(5);
    EXPECT_EQ(engine->operations->SetSampleRate(engine, 48000), KELVANE_OK);
    kelvane::RestoreRawAllocator();
    EXPECT_EQ(engine->instance, nullptr);
    EXPECT_EQ(DestroyInstance(&engine), KELVANE_ERROR_NO_INSTANCE);
    EXPECT_EQ(engine, nullptr);
}

}  // namespace

// Spectral synthesis: unity gain through both bands and the crossover, what
// each mode emits and how it overlap-adds, and the band limit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "engine_instance.h"
#include "kelvane/engine.h"
#include "test_engine.h"

namespace kelvane {
namespace {

using Engine = test::TestEngine;
using test::AnalyseHop;

constexpr double pi = std::numbers::pi;

std::vector<float> Sine(int frames, double frequency, int rate, double amplitude = 0.5)
{
    std::vector<float> x(frames);
    for (int i = 0; i < frames; ++i) {
        x[i] = static_cast<float>(amplitude * std::sin(2.0 * pi * frequency * i / rate + 0.3));
    }
    return x;
}

struct Format {
    int rate;
    int quality;
};

TEST(SpectralSynthesisTest, SteadySinesPassAtUnityInEveryBand)
{
    for (const Format format : {Format{44100, 1}, Format{44100, 0}, Format{96000, 1}}) {
        // Low band only, inside the crossover, short band only, near the top.
        for (const double frequency : {300.0, 950.0, 5000.0, 15000.0}) {
            Engine engine(1, format.rate, format.quality);
            EngineInstance& e = *engine;
            const int h = e.hopLength;
            const int steps = 3 * e.frameLength / h;
            const std::vector<float> input = Sine(steps * h, frequency, format.rate);
            e.PushInput(input.data(), steps * h, KELVANE_FORWARD);

            // After step s the first hop of the accumulator is finished: it
            // holds input frames (s + 1) h - 2N onwards.
            double signal = 0.0;
            double error = 0.0;
            for (int s = 0; s < steps; ++s) {
                AnalyseHop(e);
                e.ResynthesiseHop(allBinsShifted);
                const int first = (s + 1) * h - e.frameLength;
                if (first < e.frameLength) {
                    continue;  // still filling the window
                }
                for (int i = 0; i < h; ++i) {
                    const double reference = input[first + i];
                    signal += reference * reference;
                    error +=
                        (reference - e.outputAccumulator[0][i]) * (reference - e.outputAccumulator[0][i]);
                }
            }
            EXPECT_GE(10.0 * std::log10(signal / error), 30.0)
                << format.rate << " Hz, quality " << format.quality << ", " << frequency << " Hz";
        }
    }
}

// A synthesis state filled by hand: random magnitudes, unit advances and
// phasors, counters 0 for every third bin (or none).
void FillState(EngineInstance& e, bool withRestarts)
{
    std::mt19937 generator(17);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    auto fill = [&](float* magnitude, float* advance, float* phasor, std::uint8_t* counters, int bins) {
        for (int b = 0; b < bins; ++b) {
            magnitude[b] = 100.0f * unit(generator);
            const double a = 2.0 * pi * unit(generator);
            const double p = 2.0 * pi * unit(generator);
            advance[b] = static_cast<float>(std::cos(a));
            advance[bins + b] = static_cast<float>(std::sin(a));
            phasor[b] = static_cast<float>(std::cos(p));
            phasor[bins + b] = static_cast<float>(std::sin(p));
            counters[b] = withRestarts && b % 3 == 0 ? 0 : 4;
        }
    };
    fill(e.shortMagnitude[0], e.shortAdvance[0], e.shortSynthesisPhasor[0], e.shortBinCounters, e.halfBlock);
    fill(e.longMagnitude[0], e.longAdvance[0], e.longSynthesisPhasor[0], e.longBinCounters, e.lowBinCount);
    for (int i = 0; i < e.frameLength; ++i) {
        e.outputAccumulator[0][i] = unit(generator) - 0.5f;
    }
}

std::vector<float> Copy(const float* x, int n)
{
    return std::vector<float>(x, x + n);
}

TEST(SpectralSynthesisTest, ModesEmitAndOverlapAddAsTheCycleNeedsThem)
{
    Engine engine(1);
    EngineInstance& e = *engine;
    const int h = e.hopLength;
    const int frame = e.frameLength;

    // Modes 1 and 2 emit the same frame; 2 shifts the accumulator by one hop
    // first, 1 adds in place.
    FillState(e, true);
    const std::vector<float> before = Copy(e.outputAccumulator[0], frame);
    e.ResynthesiseHop(allBinsInPlace);
    const std::vector<float> inPlace = Copy(e.outputAccumulator[0], frame);
    const std::vector<float> phasorsInPlace = Copy(e.shortSynthesisPhasor[0], e.blockLength);
    FillState(e, true);
    e.ResynthesiseHop(allBinsShifted);
    double emitted = 0.0;
    for (int j = 0; j < frame; ++j) {
        const float carried = j + h < frame ? before[j + h] : 0.0f;
        ASSERT_NEAR(e.outputAccumulator[0][j] - carried, inPlace[j] - before[j], 1e-4f) << j;
        emitted += std::abs(inPlace[j] - before[j]);
    }
    EXPECT_GT(emitted, 1.0);
    EXPECT_EQ(Copy(e.shortSynthesisPhasor[0], e.blockLength), phasorsInPlace);

    // Mode 0 emits only the restarted bins: with none, the accumulator is
    // just shifted and no phasor turns.
    FillState(e, false);
    const std::vector<float> phasors = Copy(e.shortSynthesisPhasor[0], e.blockLength);
    e.ResynthesiseHop(onsetsShifted);
    for (int j = 0; j < frame; ++j) {
        const float carried = j + h < frame ? before[j + h] : 0.0f;
        ASSERT_NEAR(e.outputAccumulator[0][j], carried, 1e-6f) << j;
    }
    EXPECT_EQ(Copy(e.shortSynthesisPhasor[0], e.blockLength), phasors);

    // Mode 3 adds nothing; restarted bins take their analysed phase and the
    // others keep theirs.
    FillState(e, true);
    const std::vector<float> phasorsBefore = Copy(e.longSynthesisPhasor[0], 2 * e.lowBinCount);
    e.ResynthesiseHop(phaseResetsOnly);
    EXPECT_EQ(Copy(e.outputAccumulator[0], frame), before);
    for (int b = 0; b < e.lowBinCount; ++b) {
        for (const int slot : {b, e.lowBinCount + b}) {
            const float expected = b % 3 == 0 ? e.longAdvance[0][slot] : phasorsBefore[slot];
            ASSERT_EQ(e.longSynthesisPhasor[0][slot], expected) << b;
        }
    }
}

TEST(SpectralSynthesisTest, BandLimitLeavesOutWhatTheResamplerWouldFold)
{
    Engine engine(1);
    EngineInstance& e = *engine;
    const int half = e.halfBlock;
    // Level of every short bin in the synthesised frame, measured by
    // transforming it back.
    auto levels = [&](float pitchRatio) {
        for (int k = 0; k < half; ++k) {
            e.shortMagnitude[0][k] = 1.0f;
            e.shortBinCounters[k] = 0;
            e.shortAdvance[0][k] = 1.0f;
            e.shortAdvance[0][half + k] = 0.0f;
        }
        e.activePitchRatio = pitchRatio;
        e.SynthesiseShortFrame(allBinsShifted);
        std::vector<float> frame = Copy(e.shortSynthesis[0], e.blockLength);
        e.shortTransform->Forward(frame.data());
        std::vector<double> level(half);
        for (int k = 0; k < half; ++k) {
            level[k] = std::hypot(frame[k], frame[half + k]) / e.blockLength;
        }
        return level;
    };
    // At pitch ratio 2 the band stops at bin 256; the 64 bins below fade out.
    const std::vector<double> limited = levels(2.0f);
    const int limit = half / 2;
    const double full = limited[100];  // above the crossover, below the fade
    EXPECT_NEAR(limited[limit - 65] / full, 1.0, 1e-4);
    for (int k = limit - 64; k < limit; ++k) {
        ASSERT_LT(limited[k], limited[k - 1]) << "the taper falls " << k;
    }
    EXPECT_LT(limited[limit - 1] / full, 0.05);
    for (int k = limit; k < half; ++k) {
        ASSERT_LT(limited[k] / full, 1e-5) << k;
    }
}

}  // namespace
}  // namespace kelvane

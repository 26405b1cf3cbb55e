// Spectral analysis: where the frames come from, the stability counters, the
// phase advance of a steady sine, and the vector loops against the scalar ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <numbers>
#include <random>
#include <vector>

#include "engine_instance.h"
#include "kelvane/engine.h"
#include "test_engine.h"
#include "vector_ops.h"

namespace kelvane {
namespace {

using Engine = test::TestEngine;
using test::AnalyseHop;

// Puts a constant into every channel's short and long frame; its power lies
// in bin 0 alone (Hartley transform of a constant).
void AnalyseConstant(EngineInstance& e, std::initializer_list<float> levels)
{
    int ch = 0;
    for (const float level : levels) {
        std::fill(e.shortFrame[ch], e.shortFrame[ch] + e.blockLength, level);
        std::fill(e.longFrame[ch], e.longFrame[ch] + e.frameLength, level);
        ++ch;
    }
    e.AnalyseShortFrame();
    e.AnalyseLongFrame();
}

double AngleBetween(double a, double b)
{
    return std::remainder(a - b, 2.0 * std::numbers::pi);
}

TEST(SpectralAnalysisTest, FramesStartAtTheOldestSampleOfTheRing)
{
    Engine engine(2);
    EngineInstance& e = *engine;
    const int h = e.hopLength;
    // Eleven hops: the ring has wrapped, and its oldest sample is input frame 768.
    std::vector<float> hop(2 * h);
    for (int block = 0; block < 11; ++block) {
        for (int i = 0; i < h; ++i) {
            hop[2 * i] = static_cast<float>(block * h + i + 1);
            hop[2 * i + 1] = -hop[2 * i];
        }
        engine.handle->operations->SetSpeedPercent(engine.handle, 100.0f + 10.0f * block);
        ASSERT_EQ(engine.handle->operations->PushInput(engine.handle, hop.data(), h, KELVANE_FORWARD),
                  KELVANE_OK);
    }
    for (int block = 0; block < 10; ++block) {
        AnalyseHop(e);
    }
    e.GatherAnalysisFrames();
    e.WindowAnalysisFrames();
    EXPECT_EQ(e.inputPending, h);  // the indices are the cycle's to move
    EXPECT_FLOAT_EQ(e.activeSpeedRatio, 2.0f);
    const int oldest = 11 * h - e.frameLength;
    for (int i = 0; i < e.frameLength; ++i) {
        const auto sample = static_cast<float>(oldest + i + 1);
        if (i < e.blockLength) {
            ASSERT_EQ(e.shortFrame[0][i], sample * e.shortAnalysisWindow[i]) << i;
            ASSERT_EQ(e.shortFrame[1][i], -sample * e.shortAnalysisWindow[i]) << i;
        }
        if (i < 2 * h) {
            ASSERT_FLOAT_EQ(e.blockControl[i].speedRatio, 1.0f + 0.1f * static_cast<float>((oldest + i) / h));
        }
        ASSERT_EQ(e.longFrame[0][i], sample * e.longAnalysisWindow[i]) << i;
        ASSERT_EQ(e.longFrame[1][i], -sample * e.longAnalysisWindow[i]) << i;
    }

    // Less than a hop pending: nothing is gathered.
    e.inputPending = h - 1;
    e.analysisRing[0][0] = 42.0f;
    e.GatherAnalysisFrames();
    EXPECT_EQ(e.analysisRing[0][0], 42.0f);
}

TEST(SpectralAnalysisTest, SteadySineAdvancesByItsPhaseIncrementPerHop)
{
    Engine engine(2);
    EngineInstance& e = *engine;
    const double frequency = 1000.3;
    const double omega = 2.0 * std::numbers::pi * frequency / 44100.0;
    std::vector<float> input(2 * (e.frameLength + 3 * e.hopLength));
    for (size_t i = 0; i < input.size() / 2; ++i) {
        input[2 * i] = static_cast<float>(0.5 * std::sin(omega * i));
        input[2 * i + 1] = static_cast<float>(0.25 * std::cos(omega * i + 1.0));
    }
    engine.handle->operations->PushInput(engine.handle, input.data(), static_cast<int>(input.size() / 2), 0);

    // The sine enters the long frame: an onset, restarted at its analysed phase.
    AnalyseHop(e);
    const int shortPeak = static_cast<int>(std::lround(frequency * e.blockLength / 44100.0));
    const int longPeak = static_cast<int>(std::lround(frequency * e.frameLength / 44100.0));
    const int m = e.lowBinCount;
    EXPECT_EQ(e.longBinCounters[longPeak], 0);
    EXPECT_NEAR(std::hypot(e.longPhasor[0][longPeak], e.longPhasor[0][m + longPeak]), 1.0, 1e-4);
    EXPECT_EQ(e.longAdvance[0][longPeak], e.longPhasor[0][longPeak]);
    EXPECT_EQ(e.longAdvance[0][m + longPeak], e.longPhasor[0][m + longPeak]);

    // Once both frames lie inside the sine, two more hops.
    for (int hop = 1; hop < e.frameLength / e.hopLength + 2; ++hop) {
        AnalyseHop(e);
    }
    const double increment = omega * e.hopLength;
    struct Band {
        const char* name;
        int peak;
        int bins;
        const std::uint8_t* counters;
        float* const* advance;
    };
    const Band bands[] = {{"short", shortPeak, e.halfBlock, e.shortBinCounters, e.shortAdvance},
                          {"long", longPeak, e.lowBinCount, e.longBinCounters, e.longAdvance}};
    for (const Band& band : bands) {
        for (int b = band.peak - 1; b <= band.peak + 1; ++b) {
            EXPECT_GE(band.counters[b], 1) << band.name << " " << b;
            for (int ch = 0; ch < 2; ++ch) {
                const double re = band.advance[ch][b];
                const double im = band.advance[ch][band.bins + b];
                EXPECT_NEAR(std::hypot(re, im), 1.0, 1e-4) << band.name << " " << b;
                EXPECT_NEAR(AngleBetween(std::atan2(im, re), increment), 0.0, 2e-3) << band.name << " " << b;
            }
        }
    }
}

TEST(SpectralAnalysisTest, SilenceKeepsEveryCounterAtZero)
{
    Engine engine(2);
    EngineInstance& e = *engine;
    std::vector<float> silence(2 * 12 * e.hopLength, 0.0f);
    engine.handle->operations->PushInput(engine.handle, silence.data(), 12 * e.hopLength, KELVANE_FORWARD);
    for (int hop = 0; hop < 12; ++hop) {
        AnalyseHop(e);
    }
    for (int k = 0; k < e.halfBlock; ++k) {
        ASSERT_EQ(e.shortBinCounters[k], 0) << k;
        ASSERT_TRUE(std::isfinite(e.shortAdvance[1][k]) && std::isfinite(e.shortMagnitude[1][k])) << k;
    }
    for (int j = 0; j < e.lowBinCount; ++j) {
        ASSERT_EQ(e.longBinCounters[j], 0) << j;
        ASSERT_TRUE(std::isfinite(e.longAdvance[1][j]) && std::isfinite(e.longPhasor[1][j])) << j;
    }
}

TEST(SpectralAnalysisTest, CountersFollowTheSummedPowerOfEachBin)
{
    Engine engine(2);
    EngineInstance& e = *engine;
    const float threshold = e.binThresholdCurve[0];
    ASSERT_FLOAT_EQ(threshold, 4.0f);
    for (int hop = 0; hop < 5; ++hop) {
        AnalyseConstant(e, {1.0f, 1.0f});
    }
    ASSERT_EQ(e.shortBinCounters[0], 4);
    // Only channel 1 rises; the summed power rises by 1.25 x threshold: a
    // restart for that hop only.
    const float jump = std::sqrt(2.0f * 1.25f * threshold - 1.0f);
    AnalyseConstant(e, {1.0f, jump});
    EXPECT_EQ(e.shortBinCounters[0], 0);
    EXPECT_EQ(e.longBinCounters[0], 0);
    AnalyseConstant(e, {1.0f, jump});
    EXPECT_EQ(e.shortBinCounters[0], 1);
    // A rise just below the threshold keeps counting, up to 255 and no further.
    const float belowLevel = std::sqrt(0.975f * threshold * (1.0f + jump * jump) - 1.0f);
    AnalyseConstant(e, {1.0f, belowLevel});
    EXPECT_EQ(e.shortBinCounters[0], 2);
    EXPECT_EQ(e.longBinCounters[0], 2);
    for (int hop = 0; hop < 300; ++hop) {
        AnalyseConstant(e, {1.0f, belowLevel});
    }
    EXPECT_EQ(e.shortBinCounters[0], 255);
    EXPECT_EQ(e.longBinCounters[0], 255);
    // Frozen: every counter held at 0.
    e.activeSpeedRatio = 0.0f;
    AnalyseConstant(e, {1.0f, belowLevel});
    EXPECT_EQ(e.shortBinCounters[0], 0);
    EXPECT_EQ(e.longBinCounters[0], 0);
}

TEST(SpectralAnalysisTest, LongBinUsesTheThresholdOfShortBinHalfItsIndex)
{
    Engine engine;
    EngineInstance& e = *engine;
    std::mt19937 generator(7);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> noise(e.frameLength);
    for (float& x : noise) {
        x = uniform(generator);
    }
    const auto analyse = [&] {
        std::copy(noise.begin(), noise.begin() + e.blockLength, e.shortFrame[0]);
        std::copy(noise.begin(), noise.end(), e.longFrame[0]);
        e.AnalyseShortFrame();
        e.AnalyseLongFrame();
    };
    analyse();
    // Every bin's power rises by 1.5; only short bin 3 tolerates less than that.
    for (int k = 0; k < e.halfBlock; ++k) {
        e.binThresholdCurve[k] = k == 3 ? 1.0f : 2.0f;
        e.shortPower[k] /= 1.5f;
        e.shortBinCounters[k] = 10;
    }
    for (int j = 0; j < e.lowBinCount; ++j) {
        e.longPower[j] /= 1.5f;
        e.longBinCounters[j] = 10;
    }
    analyse();
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(e.shortBinCounters[k], k == 3 ? 0 : 11) << k;
    }
    for (int j = 0; j < e.lowBinCount; ++j) {
        EXPECT_EQ(e.longBinCounters[j], j == 6 || j == 7 ? 0 : 11) << j;
    }
}

// Every bin's peak is where climbing to the higher neighbour, step by step,
// ends: slopes longer than a block of bins, saw teeth that end at every place
// in a block, plateaus and ties, every length.
TEST(VectorOpsTest, PeaksAreWhereTheClimbEnds)
{
    std::mt19937 generator(5);
    std::uniform_real_distribution<float> uniform(0.0f, 4.0f);
    std::uniform_int_distribution<int> level(0, 3);
    using Find = void (*)(const float*, std::int16_t*, int);
    std::vector<Find> forms = {vector_ops::scalar::FindPeaks};
#if defined(KELVANE_HAVE_SSE2)
    forms.push_back(vector_ops::sse::FindPeaks);
#endif
    for (const int end : {1, 2, 3, 4, 8, 9, 10, 16, 17, 18, 61, 200, 1025}) {
        for (int shape = 0; shape < 9; ++shape) {
            std::vector<float> magnitude(end);
            for (int k = 0; k < end; ++k) {
                switch (shape) {
                case 0: magnitude[k] = uniform(generator); break;
                case 1: magnitude[k] = static_cast<float>(level(generator)); break;
                case 2: magnitude[k] = static_cast<float>(k); break;
                case 3: magnitude[k] = static_cast<float>(end - k); break;
                case 4: magnitude[k] = static_cast<float>(std::abs(k - end / 3)); break;
                case 5: magnitude[k] = static_cast<float>(k % 11); break;
                case 6: magnitude[k] = static_cast<float>(10 - k % 11); break;
                case 7: magnitude[k] = static_cast<float>(k % 7 < 4 ? k % 7 : 7 - k % 7); break;
                default: magnitude[k] = 1.0f; break;
                }
            }
            auto at = [&](int k) { return k >= 1 && k < end ? magnitude[k] : 0.0f; };
            auto way = [&](int k) { return vector_ops::scalar::ClimbWay(at(k - 1), at(k), at(k + 1)); };
            std::vector<std::int16_t> expected(end, 0);
            for (int k = 1; k < end; ++k) {
                int j = k;
                while (way(j) != 0) {
                    j += way(j);
                }
                expected[k] = static_cast<std::int16_t>(j);
            }
            for (std::size_t form = 0; form < forms.size(); ++form) {
                std::vector<std::int16_t> peak(end, -7);
                forms[form](magnitude.data(), peak.data(), end);
                EXPECT_EQ(peak, expected) << "form " << form << ", " << end << " bins, shape " << shape;
            }
        }
    }
}

#if defined(KELVANE_HAVE_SSE2)
// The vector loops compute the scalar loops' values bit for bit.
TEST(VectorOpsTest, VectorFormsMatchTheScalarForms)
{
    namespace scalar = vector_ops::scalar;
    namespace sse = vector_ops::sse;
    constexpr int n = 61;  // not a multiple of 4: the tails run too
    std::mt19937 generator(11);
    std::uniform_real_distribution<float> uniform(0.0f, 4.0f);
    // Eight runs of n values: two from -2 to 2 (spectra), six from 0 to 4
    // (powers, thresholds); one power is 0, a bin fallen silent.
    std::vector<float> input(8 * n);
    for (int i = 0; i < 8 * n; ++i) {
        input[i] = i == 2 * n + 5 ? 0.0f : uniform(generator) - (i < 2 * n ? 2.0f : 0.0f);
    }
    std::vector<std::uint8_t> counters(n);
    for (int k = 0; k < n; ++k) {
        counters[k] = static_cast<std::uint8_t>(k % 3 == 0 ? 255 : 17 * k);
    }
    // Each form runs on its own copy of the runs and counters.
    const auto run = [&](int form, auto step) {
        std::vector<float> v[2] = {input, input};
        std::vector<std::uint8_t> c[2] = {counters, counters};
        for (int f = 0; f < 2; ++f) {
            float* x = v[f].data();
            step(f, x, x + n, x + 2 * n, x + 3 * n, x + 4 * n, c[f].data());
        }
        EXPECT_EQ(v[0], v[1]) << form;
        EXPECT_EQ(c[0], c[1]) << form;
    };
    run(0, [](int f, float* re, float* im, float* power, float*, float* magnitude, std::uint8_t*) {
        (f == 0 ? scalar::SplitPolar : sse::SplitPolar)(re, im, power, magnitude, re, im, 1e-30f, n);
    });
    for (const bool frozen : {false, true}) {
        run(1,
            [frozen](int f, float*, float*, float* power, float* previous, float* limits, std::uint8_t* c) {
                (f == 0 ? scalar::UpdateStability<0> : sse::UpdateStability<0>)(power, previous, limits, c,
                                                                                frozen, 1e-30f, n);
            });
        run(2,
            [frozen](int f, float*, float*, float* power, float* previous, float* limits, std::uint8_t* c) {
                (f == 0 ? scalar::UpdateStability<1> : sse::UpdateStability<1>)(power, previous, limits, c,
                                                                                frozen, 1e-30f, n);
            });
    }
    run(3, [](int f, float* cRe, float* cIm, float* pRe, float* pIm, float* a, std::uint8_t* c) {
        (f == 0 ? scalar::PhaseAdvance : sse::PhaseAdvance)(cRe, cIm, pRe, pIm, a, a + n, c, n);
    });
    // The synthesis loops of the phase locking, with some bins restarting:
    // runs 0 to 5 are phasors, advances and analysed phasors of every length
    // (so rotations too weak to use occur), runs 6 and 7 the rotations.
    run(4, [](int f, float* x, float*, float*, float*, float*, std::uint8_t* c) {
        for (int k = 0; k < n; k += 5) {
            c[k] = 0;
        }
        (f == 0 ? scalar::TurnPhasors : sse::TurnPhasors)(x, x + n, x + 2 * n, x + 3 * n, x + 4 * n, x + 5 * n,
                                                         c, x + 6 * n, x + 7 * n, n);
    });
    run(5, [](int f, float* x, float*, float*, float*, float*, std::uint8_t* c) {
        // Rotations: unit, 0 or too short, and a peak index per bin.
        std::int16_t peak[n];
        for (int k = 0; k < n; ++k) {
            const float angle = 0.37f * static_cast<float>(k);
            const bool usable = k % 4 != 1;
            x[6 * n + k] = usable ? std::cos(angle) : 0.1f;
            x[7 * n + k] = usable ? std::sin(angle) : 0.0f;
            peak[k] = static_cast<std::int16_t>((k * 7) % n);
            c[k] = k % 5 == 0 ? 0 : c[k];
        }
        (f == 0 ? scalar::LockPhasors : sse::LockPhasors)(x, x + n, x + 2 * n, x + 3 * n, c, x + 6 * n,
                                                         x + 7 * n, peak, n);
    });
    run(6, [](int f, float*, float*, float* magnitude, float*, float* out, std::uint8_t*) {
        // Ties too; the directions are compared as a run of floats.
        std::int16_t direction[n] = {};
        magnitude[10] = magnitude[11];
        (f == 0 ? scalar::ClimbDirections : sse::ClimbDirections)(magnitude, direction, n);
        std::copy_n(direction, n, out);
    });
    // Linked channels and onsets: runs 0 and 1 are one channel's rotation,
    // runs 2 and 3 the linked one, run 4 its magnitude, run 5 the loudest so
    // far (ties included); some bins restart or belong to an onset.
    run(7, [](int f, float* x, float*, float*, float*, float*, std::uint8_t*) {
        x[5 * n + 3] = x[4 * n + 3];
        (f == 0 ? scalar::TakeLouder : sse::TakeLouder)(x, x + n, x + 4 * n, x + 2 * n, x + 3 * n, x + 5 * n,
                                                       x + 2 * n, x + 3 * n, x + 5 * n, n);
    });
    run(8, [](int f, float* x, float*, float*, float*, float*, std::uint8_t* c) {
        std::uint8_t onset[n];
        for (int k = 0; k < n; ++k) {
            c[k] = k % 3 == 0 ? 0 : c[k];
            onset[k] = k % 7 == 0 ? 1 : 0;
        }
        (f == 0 ? scalar::HoldRestarts : sse::HoldRestarts)(c, onset, x, x + n, x + 2 * n, x + 3 * n, n);
    });
    run(9, [](int f, float* x, float*, float*, float*, float* out, std::uint8_t* c) {
        for (int k = 0; k < n; k += 2) {
            c[k] = 0;
        }
        float total[4] = {};
        float rising[4] = {};
        // Ratios from 0 to 4: some restarting bins rise, some fall.
        const int restarts = (f == 0 ? scalar::SumOnsetPower : sse::SumOnsetPower)(x + 2 * n, x + 3 * n, c, total,
                                                                                   rising, n - n % 4);
        std::copy_n(total, 4, out);
        std::copy_n(rising, 4, out + 4);
        out[8] = static_cast<float>(restarts);
    });
    // The resampler's kernel on a run of samples, of every length it uses.
    run(10, [](int f, float* x, float*, float*, float*, float* out, std::uint8_t*) {
        for (int taps = 4; taps <= 2 * n - 4; taps += 4) {
            out[taps / 4] = (f == 0 ? scalar::KernelDot<> : sse::KernelDot<>)(x, x + 2 * n, taps);
        }
        out[0] = (f == 0 ? scalar::KernelDot<32> : sse::KernelDot<32>)(x + 1, x + 3 * n, 0);
    });
}
#endif

}  // namespace
}  // namespace kelvane

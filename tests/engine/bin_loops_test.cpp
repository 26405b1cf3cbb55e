// The per-bin loops of every vector level against the plain loops: the SSE2
// table bit for bit, the AVX2 table within a few units in the last place of
// each run's largest value, with the same counters and peaks (its products
// and onset sums bit for bit); and the whole engine on the AVX2 loops against
// the engine on the plain ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <random>
#include <vector>

#include "bin_loops.h"
#include "formant_loops.h"
#include "kelvane/engine.h"
#include "test_engine.h"

namespace kelvane {
namespace {

struct LevelCase {
    SimdLevel level;
    float tolerance;  // relative to the largest value of a run; 0: bit for bit
};

// The AVX2 loops fuse multiply-adds and multiply by one reciprocal where the
// plain loops divide: values then differ by about one unit in the last place
// of a run's largest (1.2e-7 of it at most, measured); the bound leaves room
// for other inputs.
constexpr LevelCase levelCases[] = {{SimdLevel::sse2, 0.0f}, {SimdLevel::avx2, 1e-6f}};

bool LevelRuns(SimdLevel level)
{
    if (UsableSimdLevel(level) != level) {
        std::printf("the processor or the build has no %s: not compared\n", SimdLevelName(level));
        return false;
    }
    return true;
}

// Eight runs of n floats: runs 0 to 5 from -2 to 2 (spectra, phasors of every
// length, so that rotations too weak to use occur), runs 6 and 7 from 0 to 4
// (powers, thresholds); counters of every kind, some 0 (restarting bins).
struct Work {
    explicit Work(int n, unsigned seed) : x(8 * n), counters(n), peak(n), n(n)
    {
        std::mt19937 generator(seed);
        std::uniform_real_distribution<float> uniform(-2.0f, 2.0f);
        for (int i = 0; i < 8 * n; ++i) {
            x[i] = i < 6 * n ? uniform(generator) : uniform(generator) + 2.0f;
        }
        x[6 * n + 5] = 0.0f;  // a bin fallen silent
        for (int k = 0; k < n; ++k) {
            counters[k] = static_cast<std::uint8_t>(k % 5 == 0 ? 0 : (k % 3 == 0 ? 255 : 17 * k));
        }
    }
    float* Run(int r) { return x.data() + r * n; }
    std::vector<float> x;
    std::vector<std::uint8_t> counters;
    std::vector<std::int16_t> peak;
    double gain = 0.0;  // a sum in double
    int n;
};

void ExpectClose(const Work& actual, const Work& expected, float tolerance, int run)
{
    SCOPED_TRACE(run);
    EXPECT_EQ(actual.counters, expected.counters);
    EXPECT_EQ(actual.peak, expected.peak);
    EXPECT_EQ(actual.gain, expected.gain);
    const int n = expected.n;
    for (int r = 0; r < 8; ++r) {
        const float* a = actual.x.data() + r * n;
        const float* e = expected.x.data() + r * n;
        if (tolerance == 0.0f) {
            ASSERT_TRUE(std::equal(a, a + n, e)) << "run " << r;
            continue;
        }
        float peak = 0.0f;
        for (int k = 0; k < n; ++k) {
            peak = std::max(peak, std::fabs(e[k]));
        }
        for (int k = 0; k < n; ++k) {
            ASSERT_LE(std::fabs(a[k] - e[k]), tolerance * peak) << "run " << r << ", bin " << k;
        }
    }
}

TEST(BinLoops, EveryLevelMatchesThePlainLoops)
{
    using Loop = void (*)(const BinLoops&, Work&);
    const Loop loops[] = {
        [](const BinLoops& l, Work& w) {
            l.splitPolar(w.Run(0), w.Run(1), w.Run(6), w.Run(2), w.Run(0), w.Run(1), 1e-30f, w.n);
        },
        [](const BinLoops& l, Work& w) {
            l.updateStability(w.Run(6), w.Run(7), w.Run(5), w.counters.data(), false, 1e-30f, w.n);
            l.updateStabilityPairs(w.Run(7), w.Run(6), w.Run(6), w.counters.data(), false, 1e-30f, w.n);
            l.updateStability(w.Run(6), w.Run(7), w.Run(7), w.counters.data(), true, 1e-30f, w.n);
        },
        [](const BinLoops& l, Work& w) {
            l.phaseAdvance(w.Run(0), w.Run(1), w.Run(2), w.Run(3), w.Run(4), w.Run(5), w.counters.data(),
                           w.n);
        },
        [](const BinLoops& l, Work& w) {
            l.turnPhasors(w.Run(0), w.Run(1), w.Run(2), w.Run(3), w.Run(4), w.Run(5), w.counters.data(),
                          w.Run(6), w.Run(7), w.n);
        },
        // Rotations unit, 0 or too short; peaks anywhere in the run.
        [](const BinLoops& l, Work& w) {
            for (int k = 0; k < w.n; ++k) {
                const float angle = 0.37f * static_cast<float>(k);
                const bool usable = k % 4 != 1;
                w.Run(6)[k] = usable ? std::cos(angle) : 0.1f;
                w.Run(7)[k] = usable ? std::sin(angle) : 0.0f;
                w.peak[k] = static_cast<std::int16_t>((k * 7) % w.n);
            }
            l.lockPhasors(w.Run(0), w.Run(1), w.Run(2), w.Run(3), w.counters.data(), w.Run(6), w.Run(7),
                          w.peak.data(), w.n);
        },
        // Magnitudes with ties and plateaus.
        [](const BinLoops& l, Work& w) {
            float* magnitude = w.Run(6);
            for (int k = 10; k < w.n; k += 9) {
                magnitude[k] = magnitude[k - 1];
            }
            l.findPeaks(magnitude, w.peak.data(), w.n);
        },
        // The loudest so far, ties included, kept in place.
        [](const BinLoops& l, Work& w) {
            w.Run(7)[3] = w.Run(6)[3];
            l.takeLouder(w.Run(0), w.Run(1), w.Run(6), w.Run(2), w.Run(3), w.Run(7), w.Run(2), w.Run(3),
                         w.Run(7), w.n);
        },
        // The formant envelope: log magnitudes (those of the wide loops the
        // same bits, so the reach counted from them is the same), the loudest
        // of three, and the smoothing sweeps at both coefficients.
        [](const BinLoops& l, Work& w) {
            float* magnitude = w.Run(6);
            for (int k = 0; k < w.n; ++k) {
                magnitude[k] += 0.01f;
            }
            l.logMagnitudes(magnitude, w.Run(0), w.n);
            for (int k = 0; k < w.n; ++k) {
                ASSERT_EQ(BitsOf(w.Run(0)[k]), BitsOf(formant_loops::Log2(magnitude[k])));
            }
            l.holdPeaks(w.Run(0), w.Run(1), w.n);
            l.holdPeaks(w.Run(1), w.Run(2), w.n);
            l.smoothEnvelope(w.Run(2), w.n, 0.4f, 2);
            l.holdPeaks(w.Run(0), w.Run(3), w.n);
            l.smoothEnvelope(w.Run(3), w.n, 0.15f, 1);
        },
        // The two bands' gains from a smooth envelope, read above and below
        // each bin and past the envelope's top, which falls on every lane.
        [](const BinLoops& l, Work& w) {
            for (const float ratio : {0.63f, 1.0f, 1.41f, 3.7f}) {
                float* envelope = w.Run(0);
                for (int k = 0; k < w.n; ++k) {
                    envelope[k] =
                        2.0f * std::sin(0.05f * static_cast<float>(k)) - 0.1f * static_cast<float>(k % 7);
                }
                const int envelopeCount = std::max(2, w.n / 2 + 3);
                l.shapeLongBand(w.Run(7), w.Run(6), envelope, w.Run(1), ratio, envelopeCount, w.n);
                std::copy(w.Run(1), w.Run(1) + w.n, w.Run(7));
                l.shapeShortBand(w.Run(6), envelope, w.Run(5), ratio, w.n);
                std::copy(envelope, envelope + w.n, w.Run(6));
                // Work space, which the forms leave differently.
                std::fill(w.Run(5), w.Run(5) + w.n, 0.0f);
            }
        },
    };
    // Products alone, and the onset check and the hold: the same bits at
    // every level, so that no level finds an onset another does not. Ratios
    // (run 7) from 0 to 4: some restarting bins rise, some fall; some bins
    // belong to an onset.
    const Loop exactLoops[] = {
        [](const BinLoops& l, Work& w) {
            l.windowRun(w.Run(0), w.Run(6), w.Run(1), w.n);
            w.gain = l.sumOfSquares(w.Run(0), w.n);
            l.emitBins(w.Run(0), w.Run(1), w.Run(6), 0.7f, w.Run(7), w.Run(2), w.Run(3), w.n);
            l.emitBins(w.Run(0), w.Run(1), w.Run(7), 1.3f, nullptr, w.Run(4), w.Run(5), w.n);
        },
        [](const BinLoops& l, Work& w) {
            // Lane sums carried on from 0.5, and the count, in runs 0 and 1.
            float* sums = w.x.data();
            std::fill(sums, sums + 8, 0.5f);
            const int restarts =
                l.sumOnsetPower(w.Run(6), w.Run(7), w.counters.data(), sums, sums + 4, w.n - w.n % 4);
            sums[8] = static_cast<float>(restarts);
            w.gain = l.risingGain(w.Run(6), w.Run(7), w.counters.data(), w.n);
        },
        [](const BinLoops& l, Work& w) {
            std::vector<std::uint8_t> onset(w.n);
            for (int k = 0; k < w.n; ++k) {
                onset[k] = k % 7 == 0 ? 1 : 0;
            }
            l.holdRestarts(w.counters.data(), onset.data(), w.Run(0), w.Run(1), w.Run(2), w.Run(3), w.n);
        },
        // Which bins stay with their peak: the advances of two and of three
        // channels (runs 0 to 5), summed into runs 6 and 7, at every angle to
        // their peak's; restarting bins; a half bin at overlap 4 and at 8.
        [](const BinLoops& l, Work& w) {
            float* advance[3] = {w.Run(0), w.Run(2), w.Run(4)};
            for (const auto& [channels, least] : {std::pair{2, 0.5f}, std::pair{3, 0.8535534f}}) {
                for (int k = 0; k < w.n; ++k) {
                    w.peak[k] = static_cast<std::int16_t>((k * 7) % w.n);
                }
                l.keepMembers(w.peak.data(), advance, w.n, channels, w.counters.data(), least, w.Run(6),
                              w.Run(7), w.n);
                if (channels == 2) {
                    // Compared too, as floats.
                    std::copy(w.peak.begin(), w.peak.end(), w.Run(5));
                }
            }
        },
    };
    const BinLoops& plain = BinLoopsFor(SimdLevel::scalar);
    for (const LevelCase& c : levelCases) {
        SCOPED_TRACE(SimdLevelName(c.level));
        if (!LevelRuns(c.level)) {
            continue;
        }
        const BinLoops& wide = BinLoopsFor(c.level);
        // Runs shorter than one vector, with tails, and whole vectors.
        for (const int n : {5, 61, 64, 517}) {
            SCOPED_TRACE(n);
            const int count = static_cast<int>(std::size(loops) + std::size(exactLoops));
            for (int run = 0; run < count; ++run) {
                const bool exact = run >= static_cast<int>(std::size(loops));
                const Loop loop = exact ? exactLoops[run - std::size(loops)] : loops[run];
                Work expected(n, 11u + n);
                Work actual(n, 11u + n);
                loop(plain, expected);
                loop(wide, actual);
                ExpectClose(actual, expected, exact ? 0.0f : c.tolerance, run);
            }
        }
    }
}

// Stereo and eight channels, every band at work: a pitch shift with formants
// kept, and a slowing; chords, a sweep and noise bursts. The AVX2 loops' last
// bits move the output by far less than anything heard (-100 dB).
TEST(BinLoops, TheEngineOnTheWideLoopsSoundsAsOnThePlainOnes)
{
    if (!LevelRuns(SimdLevel::avx2)) {
        return;
    }
    struct Setting {
        int channels;
        float speedPercent;
        float semitones;
        float formantSemitones;
    };
    const Setting settings[] = {{2, 100.0f, 3.0f, -3.0f}, {2, 50.0f, 0.0f, 0.0f}, {8, 200.0f, -5.0f, 0.0f}};
    constexpr int rate = 44100;
    constexpr int frames = rate;
    constexpr int block = 256;
    const double pi = std::numbers::pi;
    for (const Setting& s : settings) {
        SCOPED_TRACE(s.channels);
        SCOPED_TRACE(s.speedPercent);
        std::vector<float> input(static_cast<std::size_t>(frames) * s.channels);
        std::mt19937 generator(3);
        std::normal_distribution<float> noise(0.0f, 0.1f);
        for (int i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i) / rate;
            const bool burst = std::fmod(t, 0.3) < 0.02;
            for (int ch = 0; ch < s.channels; ++ch) {
                double v = 0.2 * std::sin(2.0 * pi * (196.0 + 30.0 * ch) * t) +
                           0.1 * std::sin(2.0 * pi * 440.0 * t) +
                           0.1 * std::sin(2.0 * pi * (300.0 + 2000.0 * t) * t);
                input[static_cast<std::size_t>(i) * s.channels + ch] =
                    static_cast<float>(v) + (burst ? noise(generator) : 0.0f);
            }
        }
        std::vector<float> outputs[2];
        const SimdLevel levels[2] = {SimdLevel::scalar, SimdLevel::avx2};
        for (int form = 0; form < 2; ++form) {
            test::TestEngine engine(s.channels, rate);
            engine->binLoops = &BinLoopsFor(levels[form]);
            const EngineOperations& call = engine.Call();
            call.SetSpeedPercent(engine.handle, s.speedPercent);
            call.SetPitchSemitones(engine.handle, s.semitones);
            call.SetFormantSemitones(engine.handle, s.formantSemitones);
            std::vector<float>& out = outputs[form];
            for (int position = 0; position < frames; position += block) {
                const int count = std::min(block, frames - position);
                ASSERT_EQ(call.PushInput(engine.handle,
                                         input.data() + static_cast<std::size_t>(position) * s.channels,
                                         count, KELVANE_FORWARD),
                          0);
                call.Process(engine.handle);
                const int available = call.GetOutputAvailable(engine.handle);
                out.resize(out.size() + static_cast<std::size_t>(available) * s.channels);
                ASSERT_EQ(call.PullOutput(engine.handle, out.data() + out.size() - available * s.channels,
                                          available),
                          0);
            }
        }
        ASSERT_EQ(outputs[0].size(), outputs[1].size());
        ASSERT_GT(outputs[0].size(), static_cast<std::size_t>(frames / 4));
        float peak = 0.0f;
        float difference = 0.0f;
        for (std::size_t i = 0; i < outputs[0].size(); ++i) {
            peak = std::max(peak, std::fabs(outputs[0][i]));
            difference = std::max(difference, std::fabs(outputs[1][i] - outputs[0][i]));
        }
        EXPECT_GT(peak, 0.1f);
        EXPECT_LT(difference, 1e-5f * peak);
    }
}

}  // namespace
}  // namespace kelvane

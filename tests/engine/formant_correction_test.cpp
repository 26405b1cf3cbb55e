// Formant correction on hand-filled magnitudes: a flat spectrum stays flat
// (large ratios leave no hole in the bass), a resonance moves by the inverse
// ratio in both bands, bass only the long frame has seen is not lifted, and
// channels share one envelope: each keeps its balance, a silent one stays
// silent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "engine_instance.h"
#include "kelvane/engine.h"
#include "test_engine.h"

namespace kelvane {
namespace {

using Engine = test::TestEngine;

// Magnitudes of a resonance over harmonics every 6 short bins; long bin j
// lies at the frequency of short bin j/2.
float Voiced(double shortBin, double centre)
{
    const double d = (shortBin - centre) / 12.0;
    const double harmonic = std::fmod(shortBin, 6.0) < 0.75 ? 1.0 : 0.05;
    return static_cast<float>(200.0 * harmonic * (0.05 + 1.0 / (1.0 + d * d)));
}

void Fill(EngineInstance& e, int ch, float (*shape)(double, double), double centre)
{
    for (int k = 0; k < e.halfBlock; ++k) {
        e.shortMagnitude[ch][k] = shape(k, centre);
    }
    for (int j = 0; j < e.lowBinCount; ++j) {
        e.longMagnitude[ch][j] = shape(0.5 * j, centre);
    }
}

float Flat(double, double)
{
    return 1.0f;
}

TEST(FormantCorrectionTest, FlatSpectrumStaysFlatInsideTheBand)
{
    Engine engine;
    EngineInstance& e = *engine;
    const int half = e.halfBlock;
    // At ratio 4 the long bins from 28 on read the envelope at short bins 56
    // and up: inside the envelope, so they stay flat too and leave no hole.
    for (const float ratio : {0.5f, 1.5f, 2.0f, 4.0f}) {
        Fill(e, 0, Flat, 0.0);
        e.formantRatio = ratio;
        e.CorrectFormants();
        // The envelope dips towards both ends: judge only bins read more than
        // 16 bins inside, or beyond its top, where the floor stands in for it.
        const int first = static_cast<int>(16.0f / std::min(ratio, 1.0f));
        for (int k = first; k < half - 16; ++k) {
            const float read = static_cast<float>(k) * ratio;
            if (read > half - 16 && read < half - 1) {
                continue;
            }
            const bool beyond = read >= half - 1;
            const float expected = beyond ? 0.01f : 1.0f;
            ASSERT_NEAR(e.shortCorrectedMagnitude[0][k], expected, 0.01f * expected) << ratio << " " << k;
        }
        for (int j = 2 * first; j < e.lowBinCount; ++j) {
            ASSERT_NEAR(e.longCorrectedMagnitude[0][j], 1.0f, 0.02f) << ratio << " " << j;
        }
    }
}

TEST(FormantCorrectionTest, ResonanceMovesByTheInverseRatio)
{
    Engine engine;
    EngineInstance& e = *engine;
    // A resonance at bin 150 read through ratio 1.5 sits at bin 100.
    Fill(e, 0, Voiced, 150.0);
    e.formantRatio = 1.5f;
    e.CorrectFormants();
    float loudest = 0.0f;
    int peak = 0;
    for (int k = 0; k < e.halfBlock; k += 6) {
        if (e.shortCorrectedMagnitude[0][k] > loudest) {
            loudest = e.shortCorrectedMagnitude[0][k];
            peak = k;
        }
    }
    EXPECT_NEAR(peak, 100, 6);

    // Both bands apply the same gain at the same frequency: long bin j lies
    // at short bin j/2.
    Fill(e, 0, Voiced, 16.0);
    e.formantRatio = 0.8f;
    e.CorrectFormants();
    for (int j = 0; j < e.lowBinCount; j += 2) {
        const float longGain = e.longCorrectedMagnitude[0][j] / e.longMagnitude[0][j];
        const float shortGain = e.shortCorrectedMagnitude[0][j / 2] / e.shortMagnitude[0][j / 2];
        ASSERT_NEAR(longGain, shortGain, 1e-3f * shortGain) << j;
    }
}

TEST(FormantCorrectionTest, BassOnlyTheLongFrameHasSeenKeepsItsLevel)
{
    // A loud resonance at short bin 52; long bin 30 (short bin 15) holds a
    // bass note. Read at ratio 3.5, long bin 30 takes the envelope at bin
    // 52.5, the resonance's peak: a lift of some 40 dB.
    Engine engine;
    EngineInstance& e = *engine;
    for (const float shortBass : {50.0f, 0.0f}) {
        for (int k = 0; k < e.halfBlock; ++k) {
            const double d = (k - 52.0) / 3.0;
            e.shortMagnitude[0][k] =
                static_cast<float>(1e-15 + 500.0 * std::exp(-d * d)) + (k == 15 ? shortBass : 0.0f);
        }
        for (int j = 0; j < e.lowBinCount; ++j) {
            e.longMagnitude[0][j] = j == 30 ? 100.0f : 1e-15f;
        }
        e.formantRatio = 3.5f;
        e.CorrectFormants();
        const float gain = e.shortCorrectedMagnitude[0][15] / e.shortMagnitude[0][15];
        if (shortBass > 0.0f) {
            // Seen by both frames: both bands take the same lift.
            EXPECT_GT(gain, 10.0f);
            EXPECT_NEAR(e.longCorrectedMagnitude[0][30] / 100.0f, gain, 1e-3f * gain);
        } else {
            // Only the long frame (its newer half) holds it yet: no lift.
            EXPECT_EQ(e.longCorrectedMagnitude[0][30], 100.0f);
        }
    }
}

TEST(FormantCorrectionTest, ChannelsStayApartAndSilenceStaysSilent)
{
    Engine engine(2);
    EngineInstance& e = *engine;
    Fill(e, 0, Voiced, 120.0);
    for (int k = 0; k < e.halfBlock; ++k) {
        e.shortMagnitude[1][k] = 1e-15f;  // what the analysis leaves for silence
    }
    for (int j = 0; j < e.lowBinCount; ++j) {
        e.longMagnitude[1][j] = 1e-15f;
    }
    e.formantRatio = 0.7f;
    e.CorrectFormants();
    const std::vector<float> loud(e.shortCorrectedMagnitude[0], e.shortCorrectedMagnitude[0] + e.halfBlock);
    for (int k = 0; k < e.halfBlock; ++k) {
        ASSERT_LT(e.shortCorrectedMagnitude[1][k], 1e-12f) << k;
    }
    for (int j = 0; j < e.lowBinCount; ++j) {
        ASSERT_LT(e.longCorrectedMagnitude[1][j], 1e-12f) << j;
    }

    // The loud channel alone gives the same result (the pair's envelope is
    // its own, 6 dB down, which the gains do not see), and so does a second
    // call.
    Engine single(1);
    EngineInstance& s = *single;
    Fill(s, 0, Voiced, 120.0);
    s.formantRatio = 0.7f;
    s.CorrectFormants();
    s.CorrectFormants();
    for (int k = 0; k < e.halfBlock; ++k) {
        ASSERT_NEAR(s.shortCorrectedMagnitude[0][k], loud[k], 1e-4f * loud[k]) << k;
    }
}

// Channels share one envelope: each bin keeps its balance between them in
// both bands, whatever their own envelopes, so the stereo image stays where
// it was. Channels that carry the same sound come out as that sound alone.
TEST(FormantCorrectionTest, ChannelsKeepTheirBalanceInEveryBin)
{
    struct Case {
        float ratio;       // 0.67: a fifth up with formants kept
        double centre;     // of the second channel's resonance
        float level;       // of the second channel
    };
    for (const Case c : {Case{0.6674f, 40.0, 0.3f}, Case{1.4983f, 220.0, 2.0f}, Case{0.8409f, 120.0, 1.0f}}) {
        Engine engine(2);
        EngineInstance& e = *engine;
        Fill(e, 0, Voiced, 120.0);
        Fill(e, 1, Voiced, c.centre);
        for (int k = 0; k < e.halfBlock; ++k) {
            e.shortMagnitude[1][k] *= c.level;
        }
        for (int j = 0; j < e.lowBinCount; ++j) {
            e.longMagnitude[1][j] *= c.level;
        }
        e.formantRatio = c.ratio;
        e.CorrectFormants();
        const auto balanced = [](const float* in0, const float* in1, const float* out0, const float* out1, int k) {
            return std::abs(out1[k] * in0[k] - out0[k] * in1[k]) <= 1e-5f * out0[k] * in1[k];
        };
        for (int k = 0; k < e.halfBlock; ++k) {
            ASSERT_TRUE(balanced(e.shortMagnitude[0], e.shortMagnitude[1], e.shortCorrectedMagnitude[0],
                                 e.shortCorrectedMagnitude[1], k))
                << c.ratio << " short " << k;
        }
        for (int j = 0; j < e.lowBinCount; ++j) {
            ASSERT_TRUE(balanced(e.longMagnitude[0], e.longMagnitude[1], e.longCorrectedMagnitude[0],
                                 e.longCorrectedMagnitude[1], j))
                << c.ratio << " long " << j;
        }

        if (c.centre == 120.0 && c.level == 1.0f) {
            Engine single(1);
            EngineInstance& s = *single;
            Fill(s, 0, Voiced, 120.0);
            s.formantRatio = c.ratio;
            s.CorrectFormants();
            for (int ch = 0; ch < 2; ++ch) {
                ASSERT_TRUE(std::equal(s.shortCorrectedMagnitude[0], s.shortCorrectedMagnitude[0] + s.halfBlock,
                                       e.shortCorrectedMagnitude[ch]));
                ASSERT_TRUE(std::equal(s.longCorrectedMagnitude[0], s.longCorrectedMagnitude[0] + s.lowBinCount,
                                       e.longCorrectedMagnitude[ch]));
            }
        }
    }
}

}  // namespace
}  // namespace kelvane

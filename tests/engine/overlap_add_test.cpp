// The time-domain loops at every vector level this processor runs: the
// overlap-adds give the plain loops' bits at every level, and the
// resampler's kernel sums give them below eight lanes and stay within a
// stated bound of them at eight, where eight reads at once give the single
// reads' bits.
#include "overlap_add.h"
#include "resampler.h"
#include "simd_level.h"
#include "vector_ops.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace kelvane {
namespace {

std::vector<float> Noise(int count, unsigned seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::vector<float> x(static_cast<std::size_t>(count));
    for (float& v : x) {
        v = value(generator);
    }
    return x;
}

bool SameBits(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// The levels to compare, each only where the processor and the build have it.
std::vector<SimdLevel> UsableLevels()
{
    std::vector<SimdLevel> levels;
    for (SimdLevel level : {SimdLevel::scalar, SimdLevel::sse2, SimdLevel::avx2}) {
        if (UsableSimdLevel(level) == level) {
            levels.push_back(level);
        } else {
            std::printf("the processor or the build has no %s: not compared\n", SimdLevelName(level));
        }
    }
    return levels;
}

// The synthesis's overlap-add in place and shifted by a hop, and the
// bypass's runs with and without the carried part, written out here as the
// formulas they compute, on lengths that leave every kind of tail past
// whole vectors.
TEST(OverlapAdd, EveryLevelGivesThePlainBits)
{
    struct Shape {
        int shortLength;
        int longLength;
        int shift;
    };
    const Shape shapes[] = {{1024, 2048, 0}, {1024, 2048, 256}, {1024, 2048, 512}, {2048, 4096, 1024},
                            {13, 29, 0},     {13, 29, 9},       {7, 14, 7},        {0, 5, 2}};
    for (SimdLevel level : UsableLevels()) {
        SCOPED_TRACE(SimdLevelName(level));
        for (const Shape& s : shapes) {
            SCOPED_TRACE(testing::Message() << s.shortLength << "/" << s.longLength << " shift " << s.shift);
            const int n = s.shortLength;
            const int frame = s.longLength;
            const std::vector<float> longWindow = Noise(frame, 1);
            const std::vector<float> longOut = Noise(frame, 2);
            const std::vector<float> shortWindow = Noise(n, 3);
            const std::vector<float> shortOut = Noise(n, 4);
            const std::vector<float> start = Noise(frame + 8, 5);

            std::vector<float> expected = start;
            float* e = expected.data();
            if (s.shift == 0) {
                for (int j = 0; j < frame; ++j) {
                    e[j] = j < n ? e[j] + longWindow[j] * longOut[j] + shortWindow[j] * shortOut[j]
                                 : e[j] + longWindow[j] * longOut[j];
                }
            } else {
                for (int j = 0; j < frame; ++j) {
                    const float carried = j + s.shift < frame ? start[j + s.shift] : 0.0f;
                    const float longPart = longWindow[j] * longOut[j];
                    if (j < n) {
                        e[j] = longPart + carried + shortWindow[j] * shortOut[j];
                    } else {
                        e[j] = j + s.shift < frame ? longPart + carried : longPart;
                    }
                }
            }
            std::vector<float> actual = start;
            const overlap::SynthesisFrames frames{longWindow.data(), longOut.data(), shortWindow.data(),
                                                  shortOut.data(), n, frame};
            overlap::AddFrames(level, actual.data(), frames, s.shift);
            EXPECT_TRUE(SameBits(actual, expected));

            // The bypass carries only what lies a shift further on.
            for (const bool carried : {false, true}) {
                const float gain = 0.25f;
                const int count = carried ? frame - s.shift : frame;
                std::vector<float> bypassExpected = start;
                for (int j = 0; j < count; ++j) {
                    const float windowed = gain * longOut[j] * longWindow[j];
                    bypassExpected[j] = carried ? windowed + start[j + s.shift] : windowed;
                }
                std::vector<float> bypass = start;
                overlap::AddWindowed(level, bypass.data(), longOut.data(), longWindow.data(), gain, count, s.shift,
                                     carried);
                EXPECT_TRUE(SameBits(bypass, bypassExpected)) << "carried " << carried;
            }
        }
    }
}

// Every kernel length the resampler uses (the unit-step one and every
// stretched one, four taps at a time), on several channels at once, against
// the plain sum: below eight lanes bit for bit; eight lanes with fused
// multiply-adds within 1e-6 of the sum of the products' sizes.
TEST(ResamplerKernel, EveryLevelMatchesThePlainSum)
{
    constexpr int channels = 3;
    const std::vector<float> kernel = Noise(resamplerLongestKernel, 11);
    std::vector<std::vector<float>> lines;
    float* linePointers[channels];
    for (int ch = 0; ch < channels; ++ch) {
        lines.push_back(Noise(resamplerLongestKernel + 16, 20u + ch));
        linePointers[ch] = lines.back().data();
    }
    for (SimdLevel level : UsableLevels()) {
        SCOPED_TRACE(SimdLevelName(level));
        for (int taps = resamplerLanes; taps <= resamplerLongestKernel; taps += resamplerLanes) {
            SCOPED_TRACE(taps);
            for (const int first : {0, 3, 16}) {
                std::vector<float> out[channels];
                float* outPointers[channels];
                for (int ch = 0; ch < channels; ++ch) {
                    out[ch].assign(4, -7.0f);
                    outPointers[ch] = out[ch].data();
                }
                ReadThroughKernel(level, kernel.data(), taps, linePointers, first, outPointers, 2, channels);
                for (int ch = 0; ch < channels; ++ch) {
                    const float* samples = linePointers[ch] + first;
                    const float plain = vector_ops::scalar::KernelDot<>(kernel.data(), samples, taps);
                    double size = 0.0;
                    for (int j = 0; j < taps; ++j) {
                        size += std::fabs(static_cast<double>(kernel[j]) * samples[j]);
                    }
                    if (level == SimdLevel::avx2) {
                        EXPECT_NEAR(out[ch][2], plain, 1e-6 * size) << "channel " << ch;
                    } else {
                        EXPECT_EQ(out[ch][2], plain) << "channel " << ch;
                    }
                    // Only the one position is written.
                    EXPECT_EQ(out[ch][1], -7.0f);
                    EXPECT_EQ(out[ch][3], -7.0f);
                }
            }
        }
#if defined(KELVANE_EIGHT_LANES)
        if (level == SimdLevel::avx2) {
            // Eight unit-step reads at once, each from its own row and place
            // (rows of the real table, places in any order): each read's own
            // sum, bit for bit, written to its own position only.
            std::vector<float> table(resamplerTableLength);
            FillResamplerTable(table.data());
            const float* rows[resamplerReadsAtOnce];
            int firsts[resamplerReadsAtOnce];
            for (int i = 0; i < resamplerReadsAtOnce; ++i) {
                rows[i] = table.data() + (i * 293 + 17) % (resamplerPhases + 1) * resamplerTaps;
                firsts[i] = (i * 5) % 16;
            }
            std::vector<float> out[channels];
            float* outPointers[channels];
            for (int ch = 0; ch < channels; ++ch) {
                out[ch].assign(resamplerReadsAtOnce + 2, -7.0f);
                outPointers[ch] = out[ch].data();
            }
            ReadRowsEightLanes(rows, firsts, linePointers, outPointers, 1, channels);
            for (int ch = 0; ch < channels; ++ch) {
                std::vector<float> expected(resamplerReadsAtOnce + 2, -7.0f);
                float* expectedPointers[channels] = {};
                expectedPointers[ch] = expected.data();
                for (int i = 0; i < resamplerReadsAtOnce; ++i) {
                    ReadThroughKernel(level, rows[i], resamplerTaps, linePointers + ch, firsts[i],
                                      expectedPointers + ch, 1 + i, 1);
                }
                EXPECT_TRUE(SameBits(out[ch], expected)) << "channel " << ch;
            }
        }
#endif
    }
}

}  // namespace
}  // namespace kelvane

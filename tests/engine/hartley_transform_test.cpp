#include "hartley_transform.h"
#include "aligned_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace kelvane {
namespace {

using Spectrum = std::vector<std::complex<double>>;

std::vector<int> AllSizes()
{
    std::vector<int> sizes;
    for (int n = 4; n <= 32768; n *= 2) {
        sizes.push_back(n);
    }
    return sizes;
}

std::vector<float> Noise(int n, unsigned seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (float& value : x) {
        value = uniform(generator);
    }
    return x;
}

// Naive DFT: every term's angle is reduced exactly through (k m) mod n, so the
// only error is double rounding.
Spectrum NaiveDft(const std::vector<float>& x)
{
    const int n = static_cast<int>(x.size());
    std::vector<double> cosine(n);
    std::vector<double> sine(n);
    for (int m = 0; m < n; ++m) {
        cosine[m] = std::cos(2.0 * std::numbers::pi * m / n);
        sine[m] = std::sin(2.0 * std::numbers::pi * m / n);
    }
    Spectrum spectrum(n);
    for (int k = 0; k < n; ++k) {
        double re = 0.0;
        double im = 0.0;
        for (int m = 0; m < n; ++m) {
            const int index = static_cast<int>((static_cast<long long>(k) * m) % n);
            re += x[m] * cosine[index];
            im -= x[m] * sine[index];
        }
        spectrum[k] = {re, im};
    }
    return spectrum;
}

// Textbook radix-2 FFT in double, for the sizes where the naive sum is too slow.
Spectrum ReferenceFft(const std::vector<float>& x)
{
    const int n = static_cast<int>(x.size());
    Spectrum a(x.begin(), x.end());
    for (int i = 1, j = 0; i < n; ++i) {
        int bit = n >> 1;
        for (; (j & bit) != 0; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(a[i], a[j]);
        }
    }
    for (int length = 2; length <= n; length *= 2) {
        for (int start = 0; start < n; start += length) {
            for (int k = 0; k < length / 2; ++k) {
                const auto w = std::polar(1.0, -2.0 * std::numbers::pi * k / length);
                const auto even = a[start + k];
                const auto odd = a[start + k + length / 2] * w;
                a[start + k] = even + odd;
                a[start + k + length / 2] = even - odd;
            }
        }
    }
    return a;
}

Spectrum ReferenceDft(const std::vector<float>& x)
{
    return x.size() <= 4096 ? NaiveDft(x) : ReferenceFft(x);
}

// H[k] = Re X[k] - Im X[k] for a real input.
std::vector<double> ReferenceHartley(const std::vector<float>& x)
{
    const Spectrum spectrum = ReferenceDft(x);
    std::vector<double> hartley(x.size());
    for (std::size_t k = 0; k < x.size(); ++k) {
        hartley[k] = spectrum[k].real() - spectrum[k].imag();
    }
    return hartley;
}

double Peak(const std::vector<double>& values)
{
    double peak = 0.0;
    for (double value : values) {
        peak = std::max(peak, std::abs(value));
    }
    return peak;
}

// The largest deviation, relative to the expected peak.
double RelativeError(const float* actual, const std::vector<double>& expected)
{
    double worst = 0.0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        worst = std::max(worst, std::abs(actual[i] - expected[i]));
    }
    return worst / Peak(expected);
}

// Counts the raw blocks behind AlignedAllocate and can fail the k-th request.
struct AllocationLog {
    int calls = 0;
    int live = 0;
    int failOnCall = 0;  // 1-based; 0 never fails
};
AllocationLog allocationLog;

void* CountingAllocate(std::size_t bytes)
{
    ++allocationLog.calls;
    if (allocationLog.calls == allocationLog.failOnCall) {
        return nullptr;
    }
    ++allocationLog.live;
    return std::malloc(bytes);
}

void CountingRelease(void* block)
{
    --allocationLog.live;
    std::free(block);
}

class CountedAllocations {
public:
    explicit CountedAllocations(int failOnCall = 0)
    {
        allocationLog = AllocationLog{0, 0, failOnCall};
        SetRawAllocator(&CountingAllocate, &CountingRelease);
    }
    ~CountedAllocations() { RestoreRawAllocator(); }
};

TEST(HartleyTransform, MatchesDftAtEverySize)
{
    for (int n : AllSizes()) {
        SCOPED_TRACE(n);
        HartleyTransform transform(n);
        ASSERT_TRUE(transform.IsPrepared());
        ASSERT_EQ(transform.Size(), n);
        const std::vector<float> input = Noise(n, 1000u + n);
        const Spectrum dft = ReferenceDft(input);

        // Transform: H[k] = Re X[k] - Im X[k], in natural order.
        std::vector<double> hartley(n);
        for (int k = 0; k < n; ++k) {
            hartley[k] = dft[k].real() - dft[k].imag();
        }
        std::vector<float> x = input;
        transform.Transform(x.data());
        EXPECT_LT(RelativeError(x.data(), hartley), 2e-6);

        // Forward: bin k >= 1 is the pair (1 + i) X[k]; bin 0 holds DC and Nyquist.
        std::vector<double> pairs(n);
        pairs[0] = dft[0].real();
        pairs[n / 2] = dft[n / 2].real();
        for (int k = 1; k < n / 2; ++k) {
            pairs[k] = dft[k].real() - dft[k].imag();
            pairs[n / 2 + k] = dft[k].real() + dft[k].imag();
        }
        x = input;
        transform.Forward(x.data());
        EXPECT_LT(RelativeError(x.data(), pairs), 2e-6);
    }
}

// Every vector level this processor runs, against the plain passes, in all
// three directions and at every size: four lanes give the same bits; eight
// lanes fuse multiply-adds, which moves the last bits only (by up to 2e-7
// of the largest value at these sizes).
// Whether this processor and build run `level`; says so when they do not.
bool Compared(SimdLevel level)
{
    if (UsableSimdLevel(level) == level) {
        return true;
    }
    std::printf("the processor or the build has no %s: not compared\n", SimdLevelName(level));
    return false;
}

TEST(HartleyTransform, EveryLevelMatchesThePlainPasses)
{
    struct Case {
        SimdLevel level;
        double tolerance;  // relative to the reference's peak; 0: bit for bit
    };
    const Case cases[] = {{SimdLevel::sse2, 0.0}, {SimdLevel::avx2, 4e-7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(SimdLevelName(c.level));
        if (!Compared(c.level)) {
            continue;
        }
        for (int n : AllSizes()) {
            SCOPED_TRACE(n);
            HartleyTransform plain(n, SimdLevel::scalar);
            HartleyTransform wide(n, c.level);
            ASSERT_EQ(wide.Level(), c.level);
            const std::vector<float> input = Noise(n, 5000u + n);
            using Step = void (HartleyTransform::*)(float*) const;
            for (Step step : {&HartleyTransform::Transform, &HartleyTransform::Forward, &HartleyTransform::Inverse}) {
                std::vector<float> expected = input;
                std::vector<float> actual = input;
                (plain.*step)(expected.data());
                (wide.*step)(actual.data());
                if (c.tolerance == 0.0) {
                    ASSERT_EQ(actual, expected);
                } else {
                    const std::vector<double> reference(expected.begin(), expected.end());
                    ASSERT_LT(RelativeError(actual.data(), reference), c.tolerance);
                }
            }
        }
    }
}

// The low-bin inverse against Inverse of the same band with everything
// else cleared, at every level, size and band width: bit for bit, whether
// the first pass is cut (a band up to n/16 or n/32) or not. What lies
// outside the band, the Nyquist value included, is NaN: read, it would
// spread.
TEST(HartleyTransform, InverseLowBinsGivesTheBitsOfTheClearedInverse)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (SimdLevel level : {SimdLevel::scalar, SimdLevel::sse2, SimdLevel::avx2}) {
        SCOPED_TRACE(SimdLevelName(level));
        if (!Compared(level)) {
            continue;
        }
        for (int n : AllSizes()) {
            HartleyTransform transform(n, level);
            const int half = n / 2;
            const std::vector<float> noise = Noise(n, 9000u + n);
            for (int bins : {0, 1, 5, n / 64, n / 32 - 1, n / 32, n / 16, n / 16 + 1, half}) {
                const int m = std::clamp(bins, 0, half);
                SCOPED_TRACE(testing::Message() << "n " << n << ", bins " << m);
                std::vector<float> expected(n, 0.0f);
                std::vector<float> actual(n, nan);
                for (int k = 0; k < m; ++k) {
                    for (std::vector<float>* x : {&expected, &actual}) {
                        (*x)[k] = noise[k];
                        (*x)[half + k] = noise[half + k];
                    }
                }
                expected[half] = 0.0f;
                actual[half] = nan;
                transform.Inverse(expected.data());
                transform.InverseLowBins(actual.data(), m);
                ASSERT_EQ(std::memcmp(actual.data(), expected.data(), n * sizeof(float)), 0);
            }
        }
    }
}

// Forward with its last pass cut to a low band: the band's bins are
// Forward's at once, and CompleteForward then brings the whole of Forward,
// bit for bit, at every level, size and band width.
TEST(HartleyTransform, ForwardLowBinsGivesTheBandAtOnceAndTheWholeWhenCompleted)
{
    for (SimdLevel level : {SimdLevel::scalar, SimdLevel::sse2, SimdLevel::avx2}) {
        SCOPED_TRACE(SimdLevelName(level));
        if (!Compared(level)) {
            continue;
        }
        for (int n : AllSizes()) {
            HartleyTransform transform(n, level);
            const int half = n / 2;
            std::vector<float> expected = Noise(n, 7000u + n);
            const std::vector<float> input = expected;
            transform.Forward(expected.data());
            for (int bins : {0, 1, 2, 9, 17, n / 64, n / 8, half}) {
                const int m = std::clamp(bins, 0, half);
                SCOPED_TRACE(testing::Message() << "n " << n << ", bins " << m);
                std::vector<float> actual = input;
                transform.ForwardLowBins(actual.data(), m);
                for (int k = 0; k < m; ++k) {
                    ASSERT_EQ(actual[k], expected[k]) << k;
                    ASSERT_EQ(actual[half + k], expected[half + k]) << k;
                }
                transform.CompleteForward(actual.data(), m);
                ASSERT_EQ(std::memcmp(actual.data(), expected.data(), n * sizeof(float)), 0);
            }
        }
    }
}

TEST(HartleyTransform, ForwardThenInverseGivesNTimesInput)
{
    for (int n : AllSizes()) {
        SCOPED_TRACE(n);
        HartleyTransform transform(n);
        const std::vector<float> input = Noise(n, 3000u + n);
        std::vector<float> x = input;
        transform.Forward(x.data());
        transform.Inverse(x.data());
        std::vector<double> expected(input.begin(), input.end());
        for (double& value : expected) {
            value *= n;
        }
        EXPECT_LT(RelativeError(x.data(), expected), 2e-6);
    }
}

TEST(HartleyTransform, ImpulseGivesAllOnes)
{
    for (int n : AllSizes()) {
        SCOPED_TRACE(n);
        HartleyTransform transform(n);
        std::vector<float> x(n, 0.0f);
        x[0] = 1.0f;
        transform.Transform(x.data());
        for (int k = 0; k < n; ++k) {
            ASSERT_NEAR(x[k], 1.0f, 1e-5f) << "index " << k;
        }
    }
}

TEST(HartleyTransform, RejectsInvalidSizesAndHoldsNothing)
{
    CountedAllocations counted;
    for (int n : {-4, 0, 1, 2, 3, 6, 1000, 1025, 32769, 65536}) {
        SCOPED_TRACE(n);
        HartleyTransform transform(n);
        EXPECT_FALSE(transform.IsPrepared());
        EXPECT_EQ(transform.Size(), 0);
    }
    EXPECT_EQ(allocationLog.calls, 0);

    // An invalid size on a prepared object still releases its tables.
    HartleyTransform transform(256);
    ASSERT_TRUE(transform.IsPrepared());
    EXPECT_FALSE(transform.Prepare(100));
    EXPECT_FALSE(transform.IsPrepared());
    EXPECT_EQ(allocationLog.live, 0);

    // An empty object leaves the data alone.
    std::vector<float> x = {1.0f, 2.0f, 3.0f, 4.0f};
    transform.Forward(x.data());
    transform.Inverse(x.data());
    EXPECT_EQ(x, (std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f}));
}

TEST(HartleyTransform, PrepareAndReleaseKeepTablesBalanced)
{
    CountedAllocations counted;
    {
        HartleyTransform transform(1024);
        ASSERT_TRUE(transform.IsPrepared());
        EXPECT_EQ(allocationLog.live, 2);

        // Re-preparing frees the old tables first, and the new size works.
        ASSERT_TRUE(transform.Prepare(2048));
        EXPECT_EQ(transform.Size(), 2048);
        EXPECT_EQ(allocationLog.live, 2);
        const std::vector<float> input = Noise(2048, 7);
        std::vector<float> x = input;
        transform.Transform(x.data());
        EXPECT_LT(RelativeError(x.data(), ReferenceHartley(input)), 2e-6);

        transform.Release();
        EXPECT_FALSE(transform.IsPrepared());
        EXPECT_EQ(allocationLog.live, 0);
        transform.Release();
        EXPECT_EQ(allocationLog.live, 0);

        ASSERT_TRUE(transform.Prepare(4));
        EXPECT_EQ(allocationLog.live, 2);
    }
    EXPECT_EQ(allocationLog.live, 0);
}

TEST(HartleyTransform, TransformsAllocateNothing)
{
    HartleyTransform transform(4096);
    std::vector<float> x = Noise(4096, 11);
    CountedAllocations counted;
    transform.Transform(x.data());
    transform.Forward(x.data());
    transform.Inverse(x.data());
    transform.InverseLowBins(x.data(), 100);
    EXPECT_EQ(allocationLog.calls, 0);
}

TEST(HartleyTransform, AllocationFailureLeavesObjectEmpty)
{
    // The first call fails the twiddle table, the second the swap list.
    for (int failOnCall : {1, 2}) {
        SCOPED_TRACE(failOnCall);
        {
            CountedAllocations counted(failOnCall);
            HartleyTransform transform(1024);
            EXPECT_FALSE(transform.IsPrepared());
            EXPECT_EQ(transform.Size(), 0);
            EXPECT_EQ(allocationLog.live, 0);
        }
        {
            // Re-preparing: the first two calls build the original tables.
            CountedAllocations counted(2 + failOnCall);
            HartleyTransform transform(512);
            ASSERT_TRUE(transform.IsPrepared());
            EXPECT_FALSE(transform.Prepare(2048));
            EXPECT_FALSE(transform.IsPrepared());
            EXPECT_EQ(allocationLog.live, 0);
        }
    }
}

}  // namespace
}  // namespace kelvane
